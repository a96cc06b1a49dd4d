#include "ble/bluez/bus.hpp"

#include <cstdlib>
#include <optional>

#include <gtest/gtest.h>

#include "loop/main_loop.hpp"
#include "support/child_process.hpp"

namespace {

using namespace std::chrono_literals;

// A private bus daemon standing in for the system bus.
class BusTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto address = daemon_.readLine();
        ASSERT_TRUE(address && !address->empty()) << "dbus-daemon gave no address";
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address->c_str(), 1);
    }

    // Calls ListNames, which takes no arguments, with `append` building them; the reply once
    // it came. The handler must not run inside the call.
    std::optional<bluez::Reply> listNames(const bluez::Bus::Arguments& append) {
        loop::MainLoop loop;
        bluez::Bus bus(loop, [] {});
        EXPECT_TRUE(bus.connected());
        std::optional<bluez::Reply> reply;
        bus.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ListNames", append, 5s,
                 [&](const bluez::Reply& r) {
                     reply = r;
                     reply->message = nullptr;  // only valid inside the handler
                     loop.stop();
                 });
        EXPECT_FALSE(reply) << "answered from inside the call";
        const loop::Timer giveUp = loop.postAfter(5s, [&] { loop.stop(); });
        loop.run();
        return reply;
    }

    testsupport::ChildProcess daemon_{"/usr/bin/dbus-daemon", {"--session", "--nofork", "--print-address=1"}};
};

TEST_F(BusTest, ACallWhoseArgumentsCannotBeBuiltFailsWithoutGoingOut) {
    struct Case {
        const char* name;
        bluez::Bus::Arguments append;
        std::optional<std::string> error;
    };
    const Case cases[] = {
        {"no arguments", {}, std::nullopt},
        {"a builder that succeeds", [](sd_bus_message*) { return 0; }, std::nullopt},
        // Half built, the message would still be a valid ListNames: only the status tells.
        {"an invalid object path", [](sd_bus_message* m) { return sd_bus_message_append(m, "o", "no/slash"); },
         "org.freedesktop.DBus.Error.InvalidArgs"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto reply = listNames(c.append);
        ASSERT_TRUE(reply) << "no reply";
        EXPECT_EQ(reply->error, c.error) << reply->errorText;
    }
}

// Replies come in bursts, many in the socket at once: each pass reads what it needs and the wait on
// the socket brings the rest, none left behind until some later message.
TEST_F(BusTest, EveryReplyOfABurstIsHandled) {
    loop::MainLoop loop;
    bluez::Bus bus(loop, [] {});
    ASSERT_TRUE(bus.connected());
    constexpr int calls = 3 * bluez::Bus::maxOutstanding;
    int answered = 0;
    for (int i = 0; i < calls; ++i) {
        bus.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId", {}, 5s,
                 [&](const bluez::Reply& r) {
                     EXPECT_FALSE(r.error) << r.errorText;
                     if (++answered == calls) loop.stop();
                 });
    }
    const loop::Timer giveUp = loop.postAfter(10s, [&] { loop.stop(); });
    loop.run();
    EXPECT_EQ(answered, calls);
}

}  // namespace
