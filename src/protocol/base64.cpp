#include "protocol/base64.hpp"

#include <array>

namespace protocol {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of each character; 0xFF for every byte outside the alphabet ("=" included), so one test
// of the high bit over four looked-up values checks a whole group.
constexpr std::array<std::uint8_t, 256> decodeTable = [] {
    std::array<std::uint8_t, 256> table{};
    table.fill(0xFF);
    for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = i;
    return table;
}();

std::uint8_t valueOf(char c) { return decodeTable[static_cast<unsigned char>(c)]; }

}  // namespace

void appendBase64(std::string& out, std::span<const std::uint8_t> bytes) {
    const std::size_t start = out.size();
    out.resize(start + (bytes.size() + 2) / 3 * 4);
    char* p = out.data() + start;
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = std::uint32_t{bytes[i]} << 16 | std::uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
        *p++ = alphabet[v >> 18];
        *p++ = alphabet[v >> 12 & 63];
        *p++ = alphabet[v >> 6 & 63];
        *p++ = alphabet[v & 63];
    }
    const std::size_t left = bytes.size() - i;
    if (left == 0) return;
    const std::uint32_t v = std::uint32_t{bytes[i]} << 16 | (left == 2 ? std::uint32_t{bytes[i + 1]} << 8 : 0);
    *p++ = alphabet[v >> 18];
    *p++ = alphabet[v >> 12 & 63];
    *p++ = left == 2 ? alphabet[v >> 6 & 63] : '=';
    *p = '=';
}

std::optional<ble::Bytes> decodeBase64(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    if (text.empty()) return ble::Bytes{};
    const std::size_t padding = text.back() != '=' ? 0 : text[text.size() - 2] == '=' ? 2 : 1;
    ble::Bytes bytes(text.size() / 4 * 3 - padding);
    std::uint8_t* out = bytes.data();
    const char* in = text.data();
    // Every group but the last is four alphabet characters.
    const char* lastGroup = in + text.size() - 4;
    for (; in != lastGroup; in += 4) {
        const std::uint32_t a = valueOf(in[0]), b = valueOf(in[1]), c = valueOf(in[2]), d = valueOf(in[3]);
        if ((a | b | c | d) & 0x80) return std::nullopt;
        const std::uint32_t v = a << 18 | b << 12 | c << 6 | d;
        out[0] = static_cast<std::uint8_t>(v >> 16);
        out[1] = static_cast<std::uint8_t>(v >> 8);
        out[2] = static_cast<std::uint8_t>(v);
        out += 3;
    }
    // The last group: "xxxx", "xxx=" or "xx==".
    const std::uint32_t a = valueOf(in[0]), b = valueOf(in[1]);
    const std::uint32_t c = padding == 2 ? 0 : valueOf(in[2]);
    const std::uint32_t d = padding >= 1 ? 0 : valueOf(in[3]);
    if ((a | b | c | d) & 0x80) return std::nullopt;
    const std::uint32_t v = a << 18 | b << 12 | c << 6 | d;
    out[0] = static_cast<std::uint8_t>(v >> 16);
    if (padding < 2) out[1] = static_cast<std::uint8_t>(v >> 8);
    if (padding < 1) out[2] = static_cast<std::uint8_t>(v);
    return bytes;
}

}  // namespace protocol
