#include "ble/corebluetooth/gatt_uuid.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

TEST(GattUuid, ShortFormsStandForTheBluetoothBaseUuid) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        const char* text;  // null: no UUID
    };
    const Case cases[] = {
        {{0x18, 0x0D}, "0000180D-0000-1000-8000-00805F9B34FB"},
        {{0xFF, 0xFF}, "0000FFFF-0000-1000-8000-00805F9B34FB"},
        {{0x12, 0x34, 0x56, 0x78}, "12345678-0000-1000-8000-00805F9B34FB"},
        {{0xA3, 0xE5, 0xB7, 0xC9, 0x5D, 0x1F, 0x4E, 0x2A, 0x9B, 0x6C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01},
         "A3E5B7C9-5D1F-4E2A-9B6C-000000000001"},
        {{}, nullptr},
        {{0x18}, nullptr},
        {{0x00, 0x00, 0x18}, nullptr},
        {std::vector<std::uint8_t>(17, 0xAB), nullptr},
    };
    for (const Case& c : cases) {
        const auto u = corebluetooth::gattUuid(c.bytes.data(), c.bytes.size());
        if (c.text)
            EXPECT_EQ(u ? u->text() : "none", c.text) << c.bytes.size() << " bytes";
        else
            EXPECT_FALSE(u) << c.bytes.size() << " bytes";
    }
}

}  // namespace
