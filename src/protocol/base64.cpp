#include "protocol/base64.hpp"

#include <array>
#include <bit>
#include <cstring>

namespace protocol {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of each character; 0xFF for every byte outside the alphabet ("=" included).
constexpr std::array<std::uint8_t, 256> decodeTable = [] {
    std::array<std::uint8_t, 256> table{};
    table.fill(0xFF);
    for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = i;
    return table;
}();

// For the k-th character of a group, its six bits already placed where they land in the three
// decoded bytes, as stored little-endian in a 32-bit word: a group decodes with four look-ups
// and ORs and one store. Bytes outside the alphabet set bit 24, which no valid group sets.
constexpr std::uint32_t invalid = 0x01000000;
static_assert(std::endian::native == std::endian::little);

template <int k>
constexpr std::array<std::uint32_t, 256> placedTable = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::size_t c = 0; c < 256; ++c) {
        const std::uint32_t v = decodeTable[c];
        if (v == 0xFF) {
            table[c] = invalid;
        } else if (k == 0) {
            table[c] = v << 2;
        } else if (k == 1) {
            table[c] = v >> 4 | (v & 0xF) << 12;
        } else if (k == 2) {
            table[c] = (v >> 2) << 8 | (v & 3) << 22;
        } else {
            table[c] = v << 16;
        }
    }
    return table;
}();

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
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    // Every group but the last is four alphabet characters. Each stores four bytes, the fourth
    // overwritten by the next group (the last group always adds at least one byte).
    const auto* lastGroup = in + text.size() - 4;
    std::uint32_t seen = 0;
    for (; in != lastGroup; in += 4, out += 3) {
        const std::uint32_t v =
            placedTable<0>[in[0]] | placedTable<1>[in[1]] | placedTable<2>[in[2]] | placedTable<3>[in[3]];
        seen |= v;
        std::memcpy(out, &v, 4);
    }
    if (seen & invalid) return std::nullopt;
    // The last group: "xxxx", "xxx=" or "xx==".
    const std::uint32_t a = decodeTable[in[0]], b = decodeTable[in[1]];
    const std::uint32_t c = padding == 2 ? 0 : decodeTable[in[2]];
    const std::uint32_t d = padding >= 1 ? 0 : decodeTable[in[3]];
    if ((a | b | c | d) & 0x80) return std::nullopt;
    const std::uint32_t v = a << 18 | b << 12 | c << 6 | d;
    out[0] = static_cast<std::uint8_t>(v >> 16);
    if (padding < 2) out[1] = static_cast<std::uint8_t>(v >> 8);
    if (padding < 1) out[2] = static_cast<std::uint8_t>(v);
    return bytes;
}

}  // namespace protocol
