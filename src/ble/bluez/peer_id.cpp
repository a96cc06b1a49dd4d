#include "ble/bluez/peer_id.hpp"

#include <cstdint>

namespace bluez {

namespace {

bool readAddress(std::string_view text, std::uint8_t* out) {
    if (text.size() != 17) return false;
    for (std::size_t i = 0; i < 6; ++i) {
        const int hi = codec::hexDigitValue(text[i * 3]);
        const int lo = codec::hexDigitValue(text[i * 3 + 1]);
        if (hi < 0 || lo < 0 || (i < 5 && text[i * 3 + 2] != ':')) return false;
        out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return true;
}

}  // namespace

std::optional<codec::Uuid> peerId(std::string_view adapterAddress, std::string_view deviceAddress) {
    codec::Uuid id;
    if (!readAddress(adapterAddress, id.bytes.data()) || !readAddress(deviceAddress, id.bytes.data() + 10))
        return std::nullopt;
    id.bytes[6] = 0x80;
    id.bytes[8] = 0x80;
    return id;
}

}  // namespace bluez
