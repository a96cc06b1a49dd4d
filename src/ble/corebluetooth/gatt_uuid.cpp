#include "ble/corebluetooth/gatt_uuid.hpp"

#include <algorithm>

namespace corebluetooth {

std::optional<codec::Uuid> gattUuid(const std::uint8_t* bytes, std::size_t size) {
    // 00000000-0000-1000-8000-00805F9B34FB
    codec::Uuid u{{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}};
    switch (size) {
        case 2: std::copy_n(bytes, 2, u.bytes.begin() + 2); return u;
        case 4:
        case 16: std::copy_n(bytes, size, u.bytes.begin()); return u;
        default: return std::nullopt;
    }
}

}  // namespace corebluetooth
