#include "ble/sim/world_file.hpp"

#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

using ::testing::StartsWith;
using sim::Ms;

const std::string idA = "5EC1A5E0-0000-4000-8000-00000000000A";
const std::string idB = "5EC1A5E0-0000-4000-8000-00000000000B";

std::string withPeripheral(const std::string& members) {
    return R"({"peripherals":[{"id":")" + idA + "\"" + (members.empty() ? "" : ",") + members + "}]}";
}

TEST(WorldFile, EmptyObjectIsOnePoweredOnAdapterAndNoPeripherals) {
    auto loaded = sim::parseWorld("{}", "w.json");
    ASSERT_TRUE(loaded.world) << loaded.error;
    ASSERT_EQ(loaded.world->adapter.size(), 1u);
    EXPECT_EQ(loaded.world->adapter[0].at, Ms{0});
    EXPECT_EQ(loaded.world->adapter[0].state, ble::ManagerState::poweredOn);
    EXPECT_TRUE(loaded.world->peripherals.empty());
}

TEST(WorldFile, PeripheralDefaultsMatchTheSpecDefaults) {
    auto loaded = sim::parseWorld(withPeripheral(""), "w.json");
    ASSERT_TRUE(loaded.world) << loaded.error;
    const sim::PeripheralSpec defaults;
    const auto& p = loaded.world->peripherals.at(0);
    EXPECT_EQ(p.id.text(), idA);
    EXPECT_EQ(p.serviceCount, defaults.serviceCount);
    EXPECT_EQ(p.inbox, defaults.inbox);
    EXPECT_EQ(p.outbox, defaults.outbox);
    ASSERT_EQ(p.writeLimit.size(), 1u);
    EXPECT_EQ(p.writeLimit[0].limit, defaults.writeLimit[0].limit);
    EXPECT_FALSE(p.disconnectAfterWrites);
    EXPECT_FALSE(p.readvertiseAfter);
    EXPECT_FALSE(p.echo);
}

TEST(WorldFile, EveryKeyReachesItsField) {
    auto text = R"({
      "adapter": [{"state": "powered_off"}, {"at": 100, "state": "powered_on"}, {"at": 200, "state": 9}],
      "peripherals": [{
        "id": "5ec1a5e0-0000-4000-8000-00000000000a",
        "advertiseAt": 5, "serviceCount": 2, "inbox": false, "outbox": false, "outboxNotifying": true,
        "writeLimit": [{"limit": 20}, {"at": 50, "limit": 512}],
        "connectFails": true, "discoverServicesFails": true, "discoverCharacteristicsFails": true,
        "subscribeFails": true,
        "writeFailures": {"all": true, "firstAttemptsOfEachFrame": 2, "nth": [1, 4]},
        "delays": {"connect": 1, "discoverServices": 2, "discoverCharacteristics": 3, "subscribe": 4,
                   "write": 5, "disconnect": 6},
        "disconnectAt": [300, 100], "disconnectAfterWrites": 7, "readvertiseAfter": 8,
        "notifications": [{"after": 10, "data": "aGk/"}, {"data": ""}],
        "echo": true
      }]
    })";
    auto loaded = sim::parseWorld(text, "w.json");
    ASSERT_TRUE(loaded.world) << loaded.error;
    const auto& adapter = loaded.world->adapter;
    ASSERT_EQ(adapter.size(), 3u);
    EXPECT_EQ(adapter[0].state, ble::ManagerState::poweredOff);
    EXPECT_EQ(adapter[1].at, Ms{100});
    EXPECT_EQ(adapter[1].state, ble::ManagerState::poweredOn);
    EXPECT_EQ(adapter[2].state, 9);

    const auto& p = loaded.world->peripherals.at(0);
    EXPECT_EQ(p.id.text(), idA);
    EXPECT_EQ(p.advertiseAt, Ms{5});
    EXPECT_EQ(p.serviceCount, 2);
    EXPECT_FALSE(p.inbox);
    EXPECT_FALSE(p.outbox);
    EXPECT_TRUE(p.outboxNotifying);
    ASSERT_EQ(p.writeLimit.size(), 2u);
    EXPECT_EQ(p.writeLimit[0].at, Ms{0});
    EXPECT_EQ(p.writeLimit[0].limit, 20u);
    EXPECT_EQ(p.writeLimit[1].at, Ms{50});
    EXPECT_EQ(p.writeLimit[1].limit, 512u);
    EXPECT_TRUE(p.connectFails);
    EXPECT_TRUE(p.discoverServicesFails);
    EXPECT_TRUE(p.discoverCharacteristicsFails);
    EXPECT_TRUE(p.subscribeFails);
    EXPECT_TRUE(p.writeFailures.all);
    EXPECT_EQ(p.writeFailures.firstAttemptsOfEachFrame, 2u);
    EXPECT_EQ(p.writeFailures.nth, (std::vector<std::uint64_t>{1, 4}));
    EXPECT_EQ(p.delays.connect, Ms{1});
    EXPECT_EQ(p.delays.discoverServices, Ms{2});
    EXPECT_EQ(p.delays.discoverCharacteristics, Ms{3});
    EXPECT_EQ(p.delays.subscribe, Ms{4});
    EXPECT_EQ(p.delays.write, Ms{5});
    EXPECT_EQ(p.delays.disconnect, Ms{6});
    EXPECT_EQ(p.disconnectAt, (std::vector<Ms>{Ms{300}, Ms{100}}));
    EXPECT_EQ(p.disconnectAfterWrites, 7u);
    EXPECT_EQ(p.readvertiseAfter, Ms{8});
    ASSERT_EQ(p.notifications.size(), 2u);
    EXPECT_EQ(p.notifications[0].after, Ms{10});
    EXPECT_EQ(p.notifications[0].value, (codec::Bytes{'h', 'i', '?'}));
    EXPECT_TRUE(p.notifications[1].value.empty());
    EXPECT_TRUE(p.echo);
}

TEST(WorldFile, APeripheralMayNameItsOwnUuids) {
    const std::string service = "0000FEED-0000-1000-8000-00805F9B34FB";
    const std::string inbox = "0000FEE1-0000-1000-8000-00805F9B34FB";
    const std::string members = R"("serviceUuid":")" + service + R"(","inboxUuid":")" + inbox + "\"";
    auto loaded = sim::parseWorld(withPeripheral(members), "w.json");
    ASSERT_TRUE(loaded.world) << loaded.error;
    const ble::GattProfile& profile = loaded.world->peripherals.at(0).profile;
    EXPECT_EQ(profile.service.text(), service);
    EXPECT_EQ(profile.inbox.text(), inbox);
    EXPECT_EQ(profile.outbox, ble::defaultOutboxUuid);

    const std::pair<std::string, std::string> invalid[] = {
        {R"("serviceUuid": "FEE")",
         "w.json: peripherals[0].serviceUuid: not a UUID (expected 8-4-4-4-12 hexadecimal digits, or 4 or 8 for a "
         "16- or 32-bit one)"},
        {R"("outboxUuid": 3)", "w.json: peripherals[0].outboxUuid: expected a string, found an integer"},
        {R"("outboxUuid": "a3e5b7c9-5d1f-4e2a-9b6c-000000000002")",
         "w.json: peripherals[0].outboxUuid: the same UUID as the inbox"},
    };
    for (const auto& [bad, error] : invalid) EXPECT_EQ(sim::parseWorld(withPeripheral(bad), "w.json").error, error);

    // 16- and 32-bit UUIDs stand for the Bluetooth base UUID with that number.
    auto short_ = sim::parseWorld(withPeripheral(R"("serviceUuid":"180d","inboxUuid":"0x2A37","outboxUuid":"0000FEE2")"),
                                  "w.json");
    ASSERT_TRUE(short_.world) << short_.error;
    const ble::GattProfile& shortProfile = short_.world->peripherals.at(0).profile;
    EXPECT_EQ(shortProfile.service.text(), "0000180D-0000-1000-8000-00805F9B34FB");
    EXPECT_EQ(shortProfile.inbox.text(), "00002A37-0000-1000-8000-00805F9B34FB");
    EXPECT_EQ(shortProfile.outbox.text(), "0000FEE2-0000-1000-8000-00805F9B34FB");
}

TEST(WorldFile, AnAdapterTimelineMayStartLateOrBeEmpty) {
    // The adapter's state is unknown before its first step.
    for (const char* text : {R"({"adapter": []})", R"({"adapter": [{"at": 500, "state": "powered_on"}]})"}) {
        auto loaded = sim::parseWorld(text, "w.json");
        EXPECT_TRUE(loaded.world) << text << ": " << loaded.error;
    }
}

TEST(WorldFile, NameSignalAddressAndAdapterReasonReachTheirFields) {
    auto loaded = sim::parseWorld(
        R"({"adapter": [{"state": "powered_off", "reason": "blocked"}, {"at": 9, "state": "powered_on"}],
            "peripherals": [{"id": ")" + idA + R"(", "name": "Kit\u00e9", "address": "aa:BB:cc:00:11:22", "rssi": -60},
                            {"id": ")" + idB + R"(", "rssi": [{"dbm": -90}, {"at": 500, "dbm": 20}]}]})",
        "w.json");
    ASSERT_TRUE(loaded.world) << loaded.error;
    EXPECT_EQ(loaded.world->adapter[0].reason, "blocked");
    EXPECT_EQ(loaded.world->adapter[1].reason, "");
    const auto& a = loaded.world->peripherals.at(0);
    EXPECT_EQ(a.name, "Kit\xC3\xA9");
    EXPECT_EQ(a.address, "AA:BB:CC:00:11:22");  // shown in upper case, as BlueZ shows addresses
    ASSERT_EQ(a.rssi.size(), 1u);
    EXPECT_EQ(a.rssi[0].dbm, -60);
    const auto& b = loaded.world->peripherals.at(1);
    EXPECT_FALSE(b.name);
    EXPECT_FALSE(b.address);
    ASSERT_EQ(b.rssi.size(), 2u);
    EXPECT_EQ(b.rssi[1].at, Ms{500});
    EXPECT_EQ(b.rssi[1].dbm, 20);
}

TEST(WorldFile, AWriteLimitNumberIsOneStepAtZero) {
    auto loaded = sim::parseWorld(withPeripheral(R"("writeLimit": 182)"), "w.json");
    ASSERT_TRUE(loaded.world) << loaded.error;
    const auto& steps = loaded.world->peripherals.at(0).writeLimit;
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].at, Ms{0});
    EXPECT_EQ(steps[0].limit, 182u);
}

TEST(WorldFile, NotificationBytesAreStrictBase64) {
    struct Case {
        const char* data;
        std::optional<codec::Bytes> bytes;
    };
    const Case cases[] = {
        {"", codec::Bytes{}},
        {"AA==", codec::Bytes{0}},
        {"AAE=", codec::Bytes{0, 1}},
        {"+/8A", codec::Bytes{0xFB, 0xFF, 0}},
        {"aGVsbG8", std::nullopt},     // unpadded
        {"AB==", codec::Bytes{0}},       // leftover bits ignored, as in commands
        {"AAA=AAAA", std::nullopt},    // padding inside
        {"aGVs bG8=", std::nullopt},   // space
        {"aGVs\\nbG8=", std::nullopt}, // line break
        {"-_8A", std::nullopt},        // URL-safe alphabet
        {"====", std::nullopt},
    };
    for (const auto& c : cases) {
        auto loaded = sim::parseWorld(withPeripheral(std::string(R"("notifications": [{"data": ")") + c.data + "\"}]"),
                                      "w.json");
        if (c.bytes) {
            ASSERT_TRUE(loaded.world) << c.data << ": " << loaded.error;
            EXPECT_EQ(loaded.world->peripherals[0].notifications[0].value, *c.bytes) << c.data;
        } else {
            EXPECT_EQ(loaded.error, "w.json: peripherals[0].notifications[0].data: not base64 (standard alphabet, "
                                    "padded with \"=\")")
                << c.data;
        }
    }
}

TEST(WorldFile, InvalidWorldsNameTheKeyAndTheProblem) {
    struct Case {
        std::string text;
        std::string error;
    };
    const Case cases[] = {
        {"[]", "w.json: top level: expected an object, found an array"},
        {R"({"adaptor": []})", "w.json: adaptor: unknown key"},
        {R"({"peripherals": [{"id": ")" + idA + R"("}, {"id": ")" + idB +
             R"(", "delays": {"wirte": 5}}]})",
         "w.json: peripherals[1].delays.wirte: unknown key"},
        {R"({"peripherals": [], "peripherals": []})", "w.json: peripherals: duplicate key"},
        {R"({"peripherals": {}})", "w.json: peripherals: expected an array, found an object"},
        {R"({"peripherals": [7]})", "w.json: peripherals[0]: expected an object, found an integer"},
        {R"({"peripherals": [{}]})", "w.json: peripherals[0].id: missing"},
        {withPeripheral(R"("id": "5EC1A5E0")"), "w.json: peripherals[0].id: duplicate key"},
        {R"({"peripherals": [{"id": "5EC1A5E0-0000-4000-8000-00000000000G"}]})",
         "w.json: peripherals[0].id: not a UUID (expected 8-4-4-4-12 hexadecimal digits)"},
        {R"({"peripherals": [{"id": ")" + idA + R"("}, {"id": "5ec1a5e0-0000-4000-8000-00000000000a"}]})",
         "w.json: peripherals[1].id: the same id as peripherals[0]"},
        {withPeripheral(R"("echo": 1)"), "w.json: peripherals[0].echo: expected true or false, found an integer"},
        {withPeripheral(R"("echo": "true")"), "w.json: peripherals[0].echo: expected true or false, found a string"},
        {withPeripheral(R"("delays": {"write": -1})"),
         "w.json: peripherals[0].delays.write: must be from 0 to 2147483647, not -1"},
        {withPeripheral(R"("advertiseAt": 1.5)"),
         "w.json: peripherals[0].advertiseAt: expected an integer, found a number with a fraction or exponent"},
        {withPeripheral(R"("advertiseAt": 18446744073709551615)"),
         "w.json: peripherals[0].advertiseAt: must be at most 2147483647"},
        {withPeripheral(R"("readvertiseAfter": 0)"),
         "w.json: peripherals[0].readvertiseAfter: must be from 1 to 2147483647, not 0"},
        {withPeripheral(R"("readvertiseAfter": null)"),
         "w.json: peripherals[0].readvertiseAfter: expected an integer, found null"},
        {withPeripheral(R"("serviceCount": 17)"), "w.json: peripherals[0].serviceCount: must be from 0 to 16, not 17"},
        {withPeripheral(R"("writeLimit": "20")"),
         "w.json: peripherals[0].writeLimit: expected an integer or an array of steps, found a string"},
        {withPeripheral(R"("writeLimit": 65536)"),
         "w.json: peripherals[0].writeLimit: must be from 0 to 65535, not 65536"},
        {withPeripheral(R"("writeLimit": [])"), "w.json: peripherals[0].writeLimit: must hold at least one step"},
        {withPeripheral(R"("writeLimit": [{"limit": 20}, {"at": 0, "limit": 30}])"),
         "w.json: peripherals[0].writeLimit[1].at: must be later than the step before (0)"},
        {withPeripheral(R"("writeLimit": [{"at": 10}])"), "w.json: peripherals[0].writeLimit[0].at: the first step must be at 0"},
        {withPeripheral(R"("writeFailures": {"nth": [2, 0]})"),
         "w.json: peripherals[0].writeFailures.nth[1]: must be from 1 to 9223372036854775807, not 0"},
        {withPeripheral(R"("writeFailures": {"firstAttemptsOfEachFrame": -2})"),
         "w.json: peripherals[0].writeFailures.firstAttemptsOfEachFrame: must be from 0 to 4294967295, not -2"},
        {withPeripheral(R"("disconnectAfterWrites": 0)"),
         "w.json: peripherals[0].disconnectAfterWrites: must be from 1 to 9223372036854775807, not 0"},
        {withPeripheral(R"("disconnectAt": [5, "10"])"),
         "w.json: peripherals[0].disconnectAt[1]: expected an integer, found a string"},
        {withPeripheral(R"("notifications": [{"after": 5}])"), "w.json: peripherals[0].notifications[0].data: missing"},
        {withPeripheral(R"("notifications": [{"data": "", "at": 5}])"),
         "w.json: peripherals[0].notifications[0].at: unknown key"},
        {R"({"adapter": [{"at": 0}]})", "w.json: adapter[0].state: missing"},
        {R"({"adapter": [{"state": "powered_off", "reason": "off"}]})",
         "w.json: adapter[0].reason: unknown reason \"off\" (expected no_bus, no_bluetoothd, no_adapter, "
         "adapter_missing, access_denied or blocked)"},
        {R"({"adapter": [{"state": "powered_off", "why": "blocked"}]})", "w.json: adapter[0].why: unknown key"},
        {withPeripheral(R"("rssi": -128)"), "w.json: peripherals[0].rssi: must be from -127 to 20, or 127 (no measure), not -128"},
        {withPeripheral(R"("rssi": [{"dbm": 21}])"),
         "w.json: peripherals[0].rssi[0].dbm: must be from -127 to 20, or 127 (no measure), not 21"},
        {withPeripheral(R"("rssi": [{"at": 5, "dbm": -50}])"),
         "w.json: peripherals[0].rssi[0].at: the first step must be at 0"},
        {withPeripheral(R"("rssi": [{"limit": 5}])"), "w.json: peripherals[0].rssi[0].limit: unknown key"},
        {withPeripheral(R"("name": 5)"), "w.json: peripherals[0].name: expected a string, found an integer"},
        {withPeripheral(R"("address": "AA:BB:CC:DD:EE")"),
         "w.json: peripherals[0].address: not an address (expected six two-digit hexadecimal numbers joined by "
         "\":\")"},
        {R"({"adapter": [{"at": 5, "state": "powered_on"}, {"at": 5, "state": "powered_off"}]})",
         "w.json: adapter[1].at: must be later than the step before (5)"},
        {R"({"adapter": [{"state": "on"}]})",
         "w.json: adapter[0].state: unknown state \"on\" (expected unknown, resetting, unsupported, unauthorized, "
         "powered_off, powered_on or an integer)"},
        {R"({"adapter": [{"state": -1}]})", "w.json: adapter[0].state: must be from 0 to 2147483647, not -1"},
        // Text from the file that appears in the message cannot break the line or reach a terminal raw.
        {R"({"adaptor\n\u001b[2J": []})", "w.json: adaptor\\u000a\\u001b[2J: unknown key"},
        {R"({"adapter": [{"state": "on\r"}]})",
         "w.json: adapter[0].state: unknown state \"on\\u000d\" (expected unknown, resetting, unsupported, "
         "unauthorized, powered_off, powered_on or an integer)"},
    };
    for (const auto& c : cases) {
        auto loaded = sim::parseWorld(c.text, "w.json");
        EXPECT_FALSE(loaded.world) << c.text;
        EXPECT_EQ(loaded.error, c.error) << c.text;
    }
}

TEST(WorldFile, TextThatIsNotJsonNamesTheLineAndColumnOfTheFault) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "w.json:1:1: not JSON: unexpected end of text"},
        {"{", "w.json:1:2: not JSON: expected a key in double quotes"},
        {"{} {}", "w.json:1:4: not JSON: text after the value"},
        {"{\"a\":1,}", "w.json:1:8: not JSON: expected a key in double quotes"},
        {"nul", "w.json:1:4: not JSON: expected true, false or null"},
        {"{\"peripherals\": [\xff]}", "w.json:1:18: not JSON: expected a value"},
        {"{\n  \"peripherals\": [\n    {\"id\": \"x\" \"echo\": true}", "w.json:3:16: not JSON: expected ',' or '}'"},
        {"{\"name\": \"\xc3\xa9t\xc3\xa9\", 3}", "w.json:1:17: not JSON: expected a key in double quotes"},
        {"[1,\r\n 01]", "w.json:2:3: not JSON: a number with a leading zero"},
        {"[-]", "w.json:1:3: not JSON: expected a digit"},
        {"[1.e3]", "w.json:1:4: not JSON: expected a digit"},
        {"[\"a\\x\"]", "w.json:1:5: not JSON: unknown escape in a string"},
        {"[\"\\u12g4\"]", "w.json:1:7: not JSON: expected four hexadecimal digits after \\u"},
        {"[\"a\tb\"]", "w.json:1:4: not JSON: a control character in a string"},
        {"[\"ab", "w.json:1:5: not JSON: unterminated string"},
        {"{\"a\" 1}", "w.json:1:6: not JSON: expected ':'"},
        {"[1 2]", "w.json:1:4: not JSON: expected ',' or ']'"},
        {std::string(1025, '[') + std::string(1025, ']'), "w.json:1:1025: not JSON: nested deeper than 1024"},
    };
    for (const auto& [text, error] : cases) {
        auto loaded = sim::parseWorld(text, "w.json");
        EXPECT_FALSE(loaded.world) << text;
        EXPECT_EQ(loaded.error, error) << text;
    }
    // Sound grammar with a fault elsewhere: the parser's own words, without a position.
    for (const char* text : {"{\"a\": \"\xff\"}", "[1e999]"}) {
        EXPECT_THAT(sim::parseWorld(text, "w.json").error, StartsWith("w.json: not JSON: ")) << text;
    }
}

TEST(WorldFile, AFileThatCannotBeReadIsAnError) {
    auto missing = sim::loadWorldFile("/nonexistent/world.json");
    EXPECT_FALSE(missing.world);
    EXPECT_EQ(missing.error, "/nonexistent/world.json: cannot open: No such file or directory");

    auto folder = sim::loadWorldFile(GATTRELAY_WORLDS_DIR);
    EXPECT_FALSE(folder.world);
    EXPECT_EQ(folder.error, std::string(GATTRELAY_WORLDS_DIR) + ": cannot read: Is a directory");
}

TEST(WorldFile, AFileIsReadUpTo16MiB) {
    // Named per process, so suites run side by side never share it.
    const auto name = "world_file_test_large_" + std::to_string(::getpid()) + ".json";
    const std::string path = (std::filesystem::temp_directory_path() / name).string();
    for (const std::size_t size : {sim::maxWorldFileBytes, sim::maxWorldFileBytes + 1}) {
        SCOPED_TRACE(size);
        {
            std::ofstream file(path, std::ios::binary | std::ios::trunc);
            file << "{}" << std::string(size - 2, ' ');
        }
        auto loaded = sim::loadWorldFile(path);
        EXPECT_EQ(loaded.world.has_value(), size == sim::maxWorldFileBytes) << loaded.error;
        EXPECT_EQ(loaded.error, loaded.world ? "" : path + ": larger than 16 MiB");
    }
    std::filesystem::remove(path);
    // An endless file ends as soon as it is past the limit.
    EXPECT_EQ(sim::loadWorldFile("/dev/zero").error, "/dev/zero: larger than 16 MiB");
}

TEST(WorldFile, EveryExampleWorldLoads) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(GATTRELAY_WORLDS_DIR)) {
        if (entry.path().extension() != ".json") continue;
        auto loaded = sim::loadWorldFile(entry.path().string());
        EXPECT_TRUE(loaded.world) << loaded.error;
        ++count;
    }
    EXPECT_GT(count, 0) << "no example worlds in " << GATTRELAY_WORLDS_DIR;
}

}  // namespace
