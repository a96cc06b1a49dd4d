#include "app/options.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace app {
namespace {

const Program bluez{
    .name = "gattrelay", .backend = "bluez", .takesAdapter = true, .showsAddresses = true, .pairs = true};
const Program sim{.name = "gattrelay-sim", .backend = "sim", .takesWorld = true, .showsAddresses = true};
const Program macos{.name = "gattrelay", .backend = "corebluetooth"};

const std::string own = "0000FEED-0000-1000-8000-00805F9B34FB";

// The options as one line of text, or the error after "error: ".
std::string parse(const Program& program, const std::vector<const char*>& args) {
    const ParsedOptions parsed = parseOptions(program, args);
    if (!parsed.options) return "error: " + parsed.error;
    const Options& o = *parsed.options;
    std::string text = o.action == Options::Action::help      ? "help"
                       : o.action == Options::Action::version ? "version"
                                                              : "run";
    text += " p" + std::to_string(static_cast<int>(o.protocol));
    if (o.verbose) text += " verbose";
    if (o.profile.service != ble::defaultServiceUuid) text += " service=" + o.profile.service.text();
    if (o.profile.inbox != ble::defaultInboxUuid) text += " inbox=" + o.profile.inbox.text();
    if (o.profile.outbox != ble::defaultOutboxUuid) text += " outbox=" + o.profile.outbox.text();
    if (o.adapter) text += " adapter=" + *o.adapter;
    if (o.world) text += " world=" + *o.world;
    for (const codec::Uuid& id : o.filter.ids) text += " peer=" + id.text();
    for (const std::string& address : o.filter.addresses) text += " peer=" + address;
    for (const std::string& prefix : o.filter.namePrefixes) text += " name=" + prefix;
    if (o.filter.minRssi) text += " min-rssi=" + std::to_string(*o.filter.minRssi);
    if (o.listSeconds) text += " list=" + std::to_string(*o.listSeconds);
    if (o.pairing) text += " pairing=" + *o.pairing;
    return text;
}

struct Case {
    const Program& program;
    std::vector<const char*> args;
    std::string expected;
};

template <std::size_t n>
void expectAll(const Case (&cases)[n]) {
    for (const Case& c : cases) {
        std::string args;
        for (const char* a : c.args) args += std::string(a) + " ";
        EXPECT_EQ(parse(c.program, c.args), c.expected) << c.program.name << " " << args;
    }
}

TEST(Options, ParseEveryOptionAndNameWhatIsWrong) {
    const Case cases[] = {
        // Nothing: today's bridge.
        {bluez, {}, "run p1"},
        {sim, {}, "run p1"},
        {sim, {"--help"}, "help p1"},
        {bluez, {"-h"}, "help p1"},
        {sim, {"-h", "--help"}, "error: option '--help' given twice"},
        {bluez, {"--version"}, "version p1"},
        {sim, {"--protocol", "2", "-v"}, "run p2 verbose"},
        {bluez, {"--verbose", "--protocol", "1"}, "run p1 verbose"},
        {sim, {"--service", own.c_str(), "--inbox", "0000fee1-0000-1000-8000-00805f9b34fb", "--outbox",
               "0000FEE2-0000-1000-8000-00805F9B34FB", "w.json"},
         "run p1 service=" + own +
             " inbox=0000FEE1-0000-1000-8000-00805F9B34FB outbox=0000FEE2-0000-1000-8000-00805F9B34FB world=w.json"},
        {bluez, {"--adapter", "hci1"}, "run p1 adapter=hci1"},
        {bluez, {"--adapter", "HCI1"}, "run p1 adapter=HCI1"},
        {bluez, {"--adapter", "00:1a:7D:DA:71:13"}, "run p1 adapter=00:1a:7D:DA:71:13"},
        // "--name=value" is "--name value".
        {sim, {"--protocol=2", "--service=0x180D"}, "run p2 service=0000180D-0000-1000-8000-00805F9B34FB"},
        {bluez, {"--adapter=hci0", "--inbox=a=b"},
         "error: bad value 'a=b' for option '--inbox': expected a UUID like a3e5b7c9-5d1f-4e2a-9b6c-000000000001 or "
         "180d"},
        {sim, {"--protocol="}, "error: bad value '' for option '--protocol': expected 1 or 2"},
        {sim, {"--verbose=yes"}, "error: option '--verbose' takes no value"},
        {sim, {"--help=1"}, "error: option '--help' takes no value"},
        {sim, {"--bogus=1"}, "error: unknown option '--bogus'"},
        {sim, {"--protocol=2", "--protocol", "2"}, "error: option '--protocol' given twice"},
        // Options before or after the world file; "--" ends them.
        {sim, {"w.json", "-v", "--protocol", "2"}, "run p2 verbose world=w.json"},
        {sim, {"-v", "--", "-x.json"}, "run p1 verbose world=-x.json"},
        {sim, {"--", "--help"}, "run p1 world=--help"},
        {sim, {"w.json", "--", "-v"}, "error: unexpected argument '-v'"},
        {sim, {"-"}, "run p1 world=-"},
        {sim, {"-x.json"}, "error: unknown option '-x.json'"},
        {sim, {"a.json", "-v", "b.json"}, "error: unexpected argument 'b.json'"},
        {bluez, {"w.json"}, "error: unexpected argument 'w.json'"},
        // Unknown options, missing and bad values, repeats.
        {bluez, {"--bogus"}, "error: unknown option '--bogus'"},
        {bluez, {"-V"}, "error: unknown option '-V'"},
        {sim, {"--adapter", "hci0"}, "error: unknown option '--adapter'"},
        {sim, {"--protocol"}, "error: option '--protocol' needs a value"},
        {sim, {"--protocol", "3"}, "error: bad value '3' for option '--protocol': expected 1 or 2"},
        {sim, {"--protocol", "02"}, "error: bad value '02' for option '--protocol': expected 1 or 2"},
        // 16- and 32-bit UUIDs, in the Bluetooth base UUID.
        {sim, {"--service", "180d", "--inbox", "0x2A37", "--outbox", "0000FEED"},
         "run p1 service=0000180D-0000-1000-8000-00805F9B34FB inbox=00002A37-0000-1000-8000-00805F9B34FB outbox=" +
             own},
        {sim, {"--service", "0X12345678"}, "run p1 service=12345678-0000-1000-8000-00805F9B34FB"},
        {sim, {"--inbox", "feed", "--outbox", "0xFEED"}, "error: --inbox and --outbox must differ"},
        {bluez, {"--adapter", "hci"}, "error: bad value 'hci' for option '--adapter': expected hciN or an address like "
                                      "00:11:22:33:44:55"},
        {bluez, {"--adapter", "00:11:22:33:44"}, "error: bad value '00:11:22:33:44' for option '--adapter': expected "
                                                 "hciN or an address like 00:11:22:33:44:55"},
        {bluez, {"--adapter", "00-11-22-33-44-55"}, "error: bad value '00-11-22-33-44-55' for option '--adapter': "
                                                    "expected hciN or an address like 00:11:22:33:44:55"},
        {sim, {"--protocol", "2", "--protocol", "2"}, "error: option '--protocol' given twice"},
        {sim, {"-v", "--verbose"}, "error: option '--verbose' given twice"},
        {sim, {"--help", "--help"}, "error: option '--help' given twice"},
        {sim, {"--outbox", "a3e5b7c9-5d1f-4e2a-9b6c-000000000002"}, "error: --inbox and --outbox must differ"},
        {sim, {"--inbox", own.c_str(), "--outbox", own.c_str()}, "error: --inbox and --outbox must differ"},
    };
    expectAll(cases);
}

TEST(Options, FiltersAndListCombineAndNameWhatIsWrong) {
    const std::string id = "5EC1A5E0-0000-4000-8000-000000000001";
    const Case cases[] = {
        {sim, {"--peer", id.c_str(), "--peer", "aa:bb:cc:00:11:22", "--name", "Kit", "--name", "Lab", "--min-rssi", "-70",
               "w.json"},
         "run p1 world=w.json peer=" + id + " peer=aa:bb:cc:00:11:22 name=Kit name=Lab min-rssi=-70"},
        // An empty prefix would match every peripheral.
        {bluez, {"--name", ""}, "error: bad value '' for option '--name': expected a name prefix of at least one byte"},
        {bluez, {"--name="}, "error: bad value '' for option '--name': expected a name prefix of at least one byte"},
        {bluez, {"--peer", "5ec1a5e0-0000-4000-8000-000000000001"}, "run p1 peer=" + id},
        {macos, {"--peer", id.c_str()}, "run p1 peer=" + id},
        {bluez, {"--min-rssi", "20"}, "run p1 min-rssi=20"},
        {bluez, {"--min-rssi", "-127"}, "run p1 min-rssi=-127"},
        // --list takes the next argument as its value only when it is a number.
        {sim, {"--list"}, "run p1 list=5"},
        {sim, {"--list", "w.json"}, "run p1 world=w.json list=5"},
        {sim, {"--list", "12", "w.json"}, "run p1 world=w.json list=12"},
        {bluez, {"--list", "-v"}, "run p1 verbose list=5"},
        {bluez, {"--list", "0"}, "error: bad value '0' for option '--list': expected a number of seconds from 1 to 3600"},
        {bluez, {"--list", "3601"},
         "error: bad value '3601' for option '--list': expected a number of seconds from 1 to 3600"},
        {bluez, {"--list", "5s"}, "error: bad value '5s' for option '--list': expected a number of seconds from 1 to 3600"},
        {bluez, {"--list", "--list"}, "error: option '--list' given twice"},
        {bluez, {"--list", "-1"}, "error: bad value '-1' for option '--list': expected a number of seconds from 1 to 3600"},
        // --list writes its own lines: no protocol, no MQTT.
        {bluez, {"--list", "--protocol", "2"}, "error: option '--list' cannot be used with '--protocol'"},
        {bluez, {"--mqtt", "mqtt://127.0.0.1", "--list"}, "error: option '--list' cannot be used with '--mqtt'"},
        // Pairings are asked and answered in protocol 2's lines only, and only BlueZ answers them.
        {bluez, {"--pairing", "keyboard-only", "--protocol", "2"}, "run p2 pairing=keyboard-only"},
        {bluez, {"--protocol=2", "--pairing=display-only"}, "run p2 pairing=display-only"},
        {bluez, {"--pairing", "keyboard-display"}, "error: option '--pairing' needs '--protocol 2' (not with --mqtt or --list)"},
        {bluez, {"--pairing", "keyboard-display", "--protocol", "2", "--mqtt", "mqtt://127.0.0.1"},
         "error: option '--pairing' needs '--protocol 2' (not with --mqtt or --list)"},
        {bluez, {"--pairing", "KeyboardOnly", "--protocol", "2"},
         "error: bad value 'KeyboardOnly' for option '--pairing': expected display-only, keyboard-only or keyboard-display"},
        {sim, {"--pairing", "keyboard-only", "--protocol", "2"}, "error: unknown option '--pairing'"},
        {macos, {"--pairing", "keyboard-only", "--protocol", "2"}, "error: unknown option '--pairing'"},
        {macos, {"--peer", "AA:BB:CC:00:11:22"},
         "error: bad value 'AA:BB:CC:00:11:22' for option '--peer': expected a peer id like "
         "a3e5b7c9-5d1f-4e2a-9b6c-000000000001 (this system does not show device addresses)"},
        {bluez, {"--peer", "AA-BB-CC-00-11-22"},
         "error: bad value 'AA-BB-CC-00-11-22' for option '--peer': expected a peer id or an address like "
         "00:11:22:33:44:55"},
        {bluez, {"--peer"}, "error: option '--peer' needs a value"},
        {bluez, {"--name"}, "error: option '--name' needs a value"},
        {bluez, {"--min-rssi", "-128"}, "error: bad value '-128' for option '--min-rssi': expected an integer from -127 to 20"},
        {bluez, {"--min-rssi", "+5"}, "error: bad value '+5' for option '--min-rssi': expected an integer from -127 to 20"},
        {bluez, {"--min-rssi", "-70", "--min-rssi", "-60"}, "error: option '--min-rssi' given twice"},
    };
    expectAll(cases);
}

TEST(Options, AUuidIsFullOrSixteenOrThirtyTwoBitsInHex) {
    for (const char* bad : {"FEE", "0x", "0x180d0", "180g", "+180", "0x0x180d", "a3e5b7c9-5d1f-4e2a-9b6c-00000000000",
                            "a3e5b7c95d1f4e2a9b6c000000000001", " 180d"}) {
        EXPECT_EQ(parse(sim, {"--service", bad}),
                  std::string("error: bad value '") + bad +
                      "' for option '--service': expected a UUID like a3e5b7c9-5d1f-4e2a-9b6c-000000000001 or 180d");
    }
}

TEST(Options, UsageAndVersionNameTheProgramAndItsBackend) {
    EXPECT_EQ(versionLine(bluez), "gattrelay " GATTRELAY_VERSION " (protocols 1 2; backend bluez)");
    EXPECT_EQ(versionLine(sim), "gattrelay-sim " GATTRELAY_VERSION " (protocols 1 2; backend sim)");
    EXPECT_EQ(usage(sim).rfind("usage: gattrelay-sim [OPTIONS] [--] [WORLD.json]\n", 0), 0u);
    EXPECT_NE(usage(bluez).find("--adapter"), std::string::npos);
    EXPECT_EQ(usage(sim).find("--adapter"), std::string::npos);
}

}  // namespace
}  // namespace app
