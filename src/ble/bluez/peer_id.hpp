#pragma once

#include <optional>
#include <string_view>

#include "codec/uuid.hpp"

namespace bluez {

// A peer's identifier from the adapter's and the device's Bluetooth addresses
// ("AA:BB:CC:DD:EE:FF"): the adapter's six bytes, then 80 00 80 00 (a version 8, variant 10
// UUID), then the device's six bytes. The same pair always gives the same identifier, in this
// run and the next. Nothing for an address that is not six hexadecimal pairs.
std::optional<codec::Uuid> peerId(std::string_view adapterAddress, std::string_view deviceAddress);

}  // namespace bluez
