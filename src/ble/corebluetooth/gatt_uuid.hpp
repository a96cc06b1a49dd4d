#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "codec/uuid.hpp"

namespace corebluetooth {

// The 128-bit form of a GATT UUID given as CoreBluetooth's CBUUID data: 2 or 4 bytes (big endian)
// stand for the Bluetooth Base UUID with those bits at its front, 16 bytes for themselves; any
// other length is no UUID.
std::optional<codec::Uuid> gattUuid(const std::uint8_t* bytes, std::size_t size);

}  // namespace corebluetooth
