#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "codec/bytes.hpp"

namespace codec {

// Standard alphabet with "=" padding, no line breaks.
void appendBase64(std::string& out, std::span<const std::uint8_t> bytes);

// Strict decoding: standard alphabet only, padded with "=" to a multiple of 4 characters, no
// whitespace or other characters. Unused bits of the last character before the padding are
// ignored rather than required to be zero: the text is still unambiguous. "" decodes to no bytes.
std::optional<codec::Bytes> decodeBase64(std::string_view text);

}  // namespace codec
