#include "codec/utf8_repair.hpp"

#include <simdjson.h>

namespace codec {

namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";

bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the well-formed sequence starting at `p`, or 0 if it is ill-formed; in that case
// `consumed` is the length of its maximal subpart (at least 1 byte).
std::size_t wellFormedLength(const unsigned char* p, const unsigned char* end, std::size_t& consumed) {
    const unsigned char lead = p[0];
    std::size_t length;
    // The second byte's allowed range narrows for the leads that could encode overlong forms,
    // surrogates or code points above U+10FFFF.
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        consumed = 1;
        return 0;
    }
    std::size_t i = 1;
    if (p + 1 < end && p[1] >= low && p[1] <= high) {
        for (i = 2; i < length && p + i < end && isContinuation(p[i]); ++i) {
        }
    }
    if (i == length) return length;
    consumed = i;
    return 0;
}

}  // namespace

std::string_view repairUtf8(std::string_view text, std::string& scratch) {
    if (simdjson::validate_utf8(text)) return text;
    scratch.clear();
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    const auto* run = p;  // start of the well-formed bytes not yet copied
    while (p < end) {
        if (*p < 0x80) {
            ++p;
            continue;
        }
        std::size_t consumed = 0;
        if (std::size_t length = wellFormedLength(p, end, consumed)) {
            p += length;
            continue;
        }
        scratch.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
        scratch.append(replacement);
        p += consumed;
        run = p;
    }
    scratch.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
    return scratch;
}

}  // namespace codec
