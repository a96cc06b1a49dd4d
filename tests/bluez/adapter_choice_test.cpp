#include "ble/bluez/adapter_choice.hpp"

#include <gtest/gtest.h>

namespace {

using bluez::AdapterSeen;

TEST(AdapterChoice, NamesSortByTheirNumber) {
    EXPECT_TRUE(bluez::adapterBefore("/org/bluez/hci2", "/org/bluez/hci10"));
    EXPECT_FALSE(bluez::adapterBefore("/org/bluez/hci10", "/org/bluez/hci2"));
    EXPECT_TRUE(bluez::adapterBefore("/org/bluez/hci0", "/org/bluez/hci1"));
    EXPECT_TRUE(bluez::adapterBefore("/org/bluez/hci9", "/org/bluez/hci011"));
    EXPECT_FALSE(bluez::adapterBefore("/org/bluez/hci3", "/org/bluez/hci3"));
}

TEST(AdapterChoice, PicksThePoweredOneFirstInOrderAndStaysWithAWorkingOne) {
    const std::vector<AdapterSeen> offOnOn = {{"/org/bluez/hci0", "00:00:00:00:00:00", false},
                                              {"/org/bluez/hci10", "00:00:00:00:00:10", true},
                                              {"/org/bluez/hci2", "00:00:00:00:00:02", true}};
    const std::vector<AdapterSeen> allOff = {{"/org/bluez/hci10", "AA:00:00:00:00:10", false},
                                             {"/org/bluez/hci3", "00:00:00:00:00:03", false}};
    struct Case {
        const char* name;
        const std::vector<AdapterSeen>& adapters;
        const char* current;
        const char* wanted;
        const char* chosen;
    };
    const Case cases[] = {
        {"first powered in numeric order", offOnOn, "", "", "/org/bluez/hci2"},
        {"a working current one is kept", offOnOn, "/org/bluez/hci10", "", "/org/bluez/hci10"},
        {"a current one that is off is left", offOnOn, "/org/bluez/hci0", "", "/org/bluez/hci2"},
        {"none powered: the first present", allOff, "/org/bluez/hci10", "", "/org/bluez/hci3"},
        {"none at all", {}, "", "", ""},
        {"asked for by name, powered off", offOnOn, "/org/bluez/hci2", "HCI0", "/org/bluez/hci0"},
        {"asked for by address", offOnOn, "", "00:00:00:00:00:10", "/org/bluez/hci10"},
        {"asked for by address, any case", allOff, "", "aa:00:00:00:00:10", "/org/bluez/hci10"},
        {"asked for and absent: none", offOnOn, "/org/bluez/hci2", "hci7", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(bluez::chooseAdapter(c.adapters, c.current, c.wanted), c.chosen) << c.name;
}

}  // namespace
