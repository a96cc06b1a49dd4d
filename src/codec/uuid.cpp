#include "codec/uuid.hpp"

#include <cstdlib>
#include <cstring>

namespace codec {

namespace {

constexpr bool isDashPosition(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

}  // namespace

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    Uuid u;
    std::size_t out = 0;
    for (std::size_t i = 0; i < 36;) {
        if (isDashPosition(i)) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        int hi = hexDigitValue(text[i]);
        int lo = hexDigitValue(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        u.bytes[out++] = static_cast<std::uint8_t>(hi << 4 | lo);
        i += 2;
    }
    return u;
}

std::optional<Uuid> Uuid::parseGatt(std::string_view text) {
    if (text.size() == 36) return parse(text);
    if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
    if (text.size() != 4 && text.size() != 8) return std::nullopt;
    std::uint32_t number = 0;
    for (char c : text) {
        const int digit = hexDigitValue(c);
        if (digit < 0) return std::nullopt;
        number = number << 4 | static_cast<std::uint32_t>(digit);
    }
    Uuid u = of("00000000-0000-1000-8000-00805F9B34FB");
    for (std::size_t i = 0; i < 4; ++i) u.bytes[i] = static_cast<std::uint8_t>(number >> (24 - 8 * i));
    return u;
}

Uuid Uuid::of(std::string_view text) {
    auto u = parse(text);
    if (!u) std::abort();
    return *u;
}

void Uuid::appendText(std::string& out) const {
    static constexpr char digits[] = "0123456789ABCDEF";
    char buf[36];
    std::size_t pos = 0;
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) buf[pos++] = '-';
        buf[pos++] = digits[bytes[i] >> 4];
        buf[pos++] = digits[bytes[i] & 0xF];
    }
    out.append(buf, sizeof buf);
}

std::string Uuid::text() const {
    std::string s;
    appendText(s);
    return s;
}

std::size_t UuidHash::operator()(const Uuid& u) const noexcept {
    std::uint64_t a, b;
    std::memcpy(&a, u.bytes.data(), 8);
    std::memcpy(&b, u.bytes.data() + 8, 8);
    return static_cast<std::size_t>(a * 0x9E3779B97F4A7C15ull ^ b);
}

}  // namespace codec
