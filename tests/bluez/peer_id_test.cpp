#include "ble/bluez/peer_id.hpp"

#include <gtest/gtest.h>

namespace {

TEST(PeerId, IsTheAdapterAddressThenTheDeviceAddress) {
    struct Case {
        const char* adapter;
        const char* device;
        const char* id;  // nullptr: no identifier
    };
    const Case cases[] = {
        {"00:11:22:33:44:00", "C0:FF:EE:00:00:01", "00112233-4400-8000-8000-C0FFEE000001"},
        {"aa:bb:cc:dd:ee:ff", "0a:0b:0c:0d:0e:0f", "AABBCCDD-EEFF-8000-8000-0A0B0C0D0E0F"},
        {"00:00:00:00:00:00", "FF:FF:FF:FF:FF:FF", "00000000-0000-8000-8000-FFFFFFFFFFFF"},
        {"", "C0:FF:EE:00:00:01", nullptr},
        {"00:11:22:33:44", "C0:FF:EE:00:00:01", nullptr},
        {"00:11:22:33:44:00:", "C0:FF:EE:00:00:01", nullptr},
        {"00-11-22-33-44-00", "C0:FF:EE:00:00:01", nullptr},
        {"00:11:22:33:44:00", "C0:FF:EE:00:00:0G", nullptr},
        {"00:11:22:33:44:00", "C0:FF:EE:00:00:1", nullptr},
    };
    for (const Case& c : cases) {
        const auto id = bluez::peerId(c.adapter, c.device);
        if (c.id)
            EXPECT_EQ(id ? id->text() : "none", c.id) << c.adapter << " " << c.device;
        else
            EXPECT_FALSE(id) << c.adapter << " " << c.device;
    }
}

}  // namespace
