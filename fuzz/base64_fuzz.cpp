// Strict base64: the decoder agrees with a plain reference decoder on every input, what decodes
// re-encodes to the same text (up to the ignored low bits of the last character), and any bytes
// encode to text that decodes back to them.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "codec/base64.hpp"

namespace {

int valueOf(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Four characters at a time; "=" only as the last one or two of the last group.
std::optional<codec::Bytes> reference(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    codec::Bytes out;
    for (std::size_t at = 0; at < text.size(); at += 4) {
        const bool last = at + 4 == text.size();
        int pad = 0;
        if (last && text[at + 3] == '=') pad = text[at + 2] == '=' ? 2 : 1;
        std::uint32_t group = 0;
        for (int i = 0; i < 4; ++i) {
            const int v = i >= 4 - pad ? 0 : valueOf(text[at + static_cast<std::size_t>(i)]);
            if (v < 0) return std::nullopt;
            group = group << 6 | static_cast<std::uint32_t>(v);
        }
        for (int i = 0; i < 3 - pad; ++i) out.push_back(static_cast<std::uint8_t>(group >> (16 - 8 * i)));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::optional<codec::Bytes> decoded = codec::decodeBase64(text);
    if (decoded != reference(text)) std::abort();
    if (decoded) {
        std::string again;
        codec::appendBase64(again, *decoded);
        if (again.size() != text.size()) std::abort();
        // Only the last character before "=" may differ: its unused low bits are ignored.
        const std::size_t padAt = text.find('=');
        if (padAt == std::string_view::npos) {
            if (again != text) std::abort();
        } else if (padAt == 0 || again.compare(0, padAt - 1, text, 0, padAt - 1) != 0 ||
                   again.compare(padAt, std::string::npos, text, padAt) != 0) {
            std::abort();
        }
    }
    // The input as bytes: encodes, then decodes back.
    std::string encoded;
    codec::appendBase64(encoded, {data, size});
    if (encoded.size() != (size + 2) / 3 * 4) std::abort();
    if (codec::decodeBase64(encoded) != codec::Bytes(data, data + size)) std::abort();
    return 0;
}
