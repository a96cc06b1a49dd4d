#include "codec/json_text.hpp"

#include <array>
#include <charconv>

namespace codec {

namespace {

// The bytes a JSON string cannot hold as they are, "/" included.
constexpr std::array<bool, 256> needsEscape = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 0x20; ++c) table[c] = true;
    table['"'] = table['\\'] = table['/'] = true;
    return table;
}();

void appendEscape(std::string& out, unsigned char c) {
    static constexpr char hex[] = "0123456789abcdef";
    switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '/': out += "\\/"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 0xF];
    }
}

}  // namespace

// Runs of bytes that need no escape are copied whole: base64 text is mostly such a run.
void appendJsonString(std::string& out, std::string_view text) {
    out += '"';
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (!needsEscape[c]) continue;
        out.append(text, run, i - run);
        appendEscape(out, c);
        run = i + 1;
    }
    out.append(text, run);
    out += '"';
}

void appendJsonInteger(std::string& out, std::int64_t value) {
    char digits[20];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

}  // namespace codec
