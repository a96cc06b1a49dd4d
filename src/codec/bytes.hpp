#pragma once

#include <cstdint>
#include <vector>

namespace codec {

// A run of bytes: a frame, a characteristic value, a decoded payload.
using Bytes = std::vector<std::uint8_t>;

}  // namespace codec
