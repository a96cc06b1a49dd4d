#include "ble/bluez/object_tree.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// Builds sd-bus messages as bluetoothd would send them and hands them over ready to read. The
// bus is never connected: its socket's far end only has to exist.
class Messages {
public:
    Messages() {
        socketpair(AF_UNIX, SOCK_STREAM, 0, fds_);
        sd_bus_new(&bus_);
        sd_bus_set_fd(bus_, fds_[0], fds_[0]);
        sd_bus_start(bus_);
    }
    ~Messages() {
        for (sd_bus_message* m : made_) sd_bus_message_unref(m);
        sd_bus_close_unref(bus_);
        close(fds_[1]);
    }

    sd_bus_message* signal(const char* path, const char* interface, const char* member) {
        sd_bus_message* m = nullptr;
        sd_bus_message_new_signal(bus_, &m, path, interface, member);
        made_.push_back(m);
        return m;
    }
    static sd_bus_message* readable(sd_bus_message* m) {
        sd_bus_message_seal(m, 1, 0);
        sd_bus_message_rewind(m, 1);
        return m;
    }

private:
    int fds_[2] = {-1, -1};
    sd_bus* bus_ = nullptr;
    std::vector<sd_bus_message*> made_;
};

constexpr const char* device = "/org/bluez/hci0/dev_C0_FF_EE_00_00_01";

TEST(ObjectTree, KeepsTheValuesItReadsAndReportsEveryChangedName) {
    Messages messages;
    bluez::ObjectTree tree;
    sd_bus_message* added = messages.signal("/", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded");
    sd_bus_message_append(added, "oa{sa{sv}}", device, 1, "org.bluez.Device1", 3, "Address", "s",
                          "C0:FF:EE:00:00:01", "RSSI", "n", -50, "Connected", "b", 0);
    EXPECT_EQ(tree.readAdded(Messages::readable(added)), device);

    // Every type bluetoothd uses for the properties read here, a dictionary of a type that is
    // not kept (ManufacturerData, a{qv}) in the middle, and an invalidated name.
    sd_bus_message* changed = messages.signal(device, "org.freedesktop.DBus.Properties", "PropertiesChanged");
    sd_bus_message_append(changed, "s", "org.bluez.Device1");
    sd_bus_message_open_container(changed, 'a', "{sv}");
    sd_bus_message_append(changed, "{sv}", "Connected", "b", 1);
    sd_bus_message_append(changed, "{sv}", "MTU", "q", 247);
    sd_bus_message_append(changed, "{sv}", "Adapter", "o", "/org/bluez/hci0");
    sd_bus_message_append(changed, "{sv}", "UUIDs", "as", 2, "a3e5b7c9-5d1f-4e2a-9b6c-000000000001",
                          "0000180f-0000-1000-8000-00805f9b34fb");
    sd_bus_message_append(changed, "{sv}", "ManufacturerData", "a{qv}", 1, 0x004c, "ay", 2, 1, 2);
    const std::uint8_t value[] = {0, 1, 255};
    sd_bus_message_open_container(changed, 'e', "sv");
    sd_bus_message_append(changed, "s", "Value");
    sd_bus_message_open_container(changed, 'v', "ay");
    sd_bus_message_append_array(changed, 'y', value, sizeof value);
    sd_bus_message_close_container(changed);
    sd_bus_message_close_container(changed);
    sd_bus_message_close_container(changed);
    sd_bus_message_append(changed, "as", 1, "RSSI");

    std::vector<std::string> names;
    EXPECT_EQ(tree.readChanged(device, Messages::readable(changed), names), "org.bluez.Device1");
    EXPECT_EQ(names, (std::vector<std::string>{"Connected", "MTU", "Adapter", "UUIDs", "ManufacturerData", "Value",
                                               "RSSI"}));
    const bluez::Properties* props = tree.find(device, "org.bluez.Device1");
    ASSERT_TRUE(props);
    EXPECT_TRUE(bluez::flag(props, "Connected"));
    EXPECT_EQ(bluez::number(props, "MTU", 0), 247);
    EXPECT_EQ(bluez::text(props, "Adapter"), "/org/bluez/hci0");
    EXPECT_EQ(bluez::text(props, "Address"), "C0:FF:EE:00:00:01");
    EXPECT_EQ(bluez::texts(props, "UUIDs").size(), 2u);
    ASSERT_TRUE(bluez::bytes(props, "Value"));
    EXPECT_EQ(*bluez::bytes(props, "Value"), (codec::Bytes{0, 1, 255}));
    EXPECT_EQ(bluez::number(props, "RSSI", 0), 0) << "invalidated";
    EXPECT_FALSE(props->contains("ManufacturerData"));
}

TEST(ObjectTree, FindsObjectsBelowAPathInPathOrder) {
    Messages messages;
    bluez::ObjectTree tree;
    sd_bus_message* all = messages.signal("/", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded");
    sd_bus_message_open_container(all, 'a', "{oa{sa{sv}}}");
    for (const char* path : {"/org/bluez/hci1", "/org/bluez/hci0", "/org/bluez/hci0/dev_1/service10",
                             "/org/bluez/hci0/dev_10/service10", "/org/bluez/hci0/dev_1/service0a"}) {
        const bool adapter = std::string_view(path).find("dev_") == std::string_view::npos;
        sd_bus_message_append(all, "{oa{sa{sv}}}", path, 1, adapter ? "org.bluez.Adapter1" : "org.bluez.GattService1",
                              1, "UUID", "s", path);
    }
    sd_bus_message_close_container(all);
    ASSERT_TRUE(tree.readAll(Messages::readable(all)));

    auto paths = [](const std::vector<std::pair<std::string, const bluez::Properties*>>& found) {
        std::vector<std::string> out;
        for (const auto& [path, props] : found) out.push_back(path);
        return out;
    };
    EXPECT_EQ(paths(tree.below("", "org.bluez.Adapter1")),
              (std::vector<std::string>{"/org/bluez/hci0", "/org/bluez/hci1"}));
    EXPECT_EQ(paths(tree.below("/org/bluez/hci0/dev_1/", "org.bluez.GattService1")),
              (std::vector<std::string>{"/org/bluez/hci0/dev_1/service0a", "/org/bluez/hci0/dev_1/service10"}));

    EXPECT_EQ(paths(tree.children("/org/bluez", "org.bluez.Adapter1")),
              (std::vector<std::string>{"/org/bluez/hci0", "/org/bluez/hci1"}));
    // Grandchildren are not children, also where the child itself is not in the tree.
    EXPECT_EQ(paths(tree.children("/org/bluez/hci0", "org.bluez.GattService1")), std::vector<std::string>{});
    EXPECT_EQ(paths(tree.children("/org/bluez/hci0/dev_1", "org.bluez.GattService1")),
              (std::vector<std::string>{"/org/bluez/hci0/dev_1/service0a", "/org/bluez/hci0/dev_1/service10"}));

    sd_bus_message* removed = messages.signal("/", "org.freedesktop.DBus.ObjectManager", "InterfacesRemoved");
    sd_bus_message_append(removed, "oas", "/org/bluez/hci0", 1, "org.bluez.Adapter1");
    std::vector<std::string> interfaces;
    EXPECT_EQ(tree.readRemoved(Messages::readable(removed), interfaces), "/org/bluez/hci0");
    EXPECT_EQ(interfaces, std::vector<std::string>{"org.bluez.Adapter1"});
    EXPECT_EQ(paths(tree.below("", "org.bluez.Adapter1")), std::vector<std::string>{"/org/bluez/hci1"});
}

TEST(ObjectTree, RejectsAReplyOfAnotherShape) {
    Messages messages;
    bluez::ObjectTree tree;
    sd_bus_message* wrong = messages.signal("/", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded");
    sd_bus_message_append(wrong, "a{sv}", 1, "Powered", "b", 1);
    EXPECT_FALSE(tree.readAll(Messages::readable(wrong)));
    EXPECT_TRUE(tree.below("", "org.bluez.Adapter1").empty());
}

}  // namespace
