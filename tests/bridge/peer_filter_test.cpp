// Which peripherals the bridge uses: --peer, --name and --min-rssi, alone and together.
#include <ostream>

#include "bridge/scenario.hpp"

namespace scenario {
namespace {

using ::testing::UnorderedElementsAreArray;

// Four peripherals that differ in each thing a filter looks at.
std::vector<sim::PeripheralSpec> neighbourhood() {
    return {Peer(peerA).name("Kit-1").rssi(-40).address("AA:BB:CC:00:00:0A"),
            Peer(peerB).name("Kit-2").rssi(-80).address("AA:BB:CC:00:00:0B"),
            Peer(peerC).name("Other"),
            Peer(peerId(0xD)).rssi(-60).address("AA:BB:CC:00:00:0D")};
}

struct FilterCase {
    const char* name;
    bridge::PeerFilter::Rules rules;
    std::vector<std::string> connected;
};

void PrintTo(const FilterCase& c, std::ostream* out) { *out << c.name; }

class Filter : public ::testing::TestWithParam<FilterCase> {};

// The peers announced, and only they were ever connected, in either protocol.
TEST_P(Filter, ConnectsOnlyThePeersItLetsThrough) {
    const FilterCase& c = GetParam();
    for (int protocol : {1, 2}) {
        SCOPED_TRACE(protocol);
        SimFixture f(neighbourhood(), {.protocol = protocol, .filter = c.rules});
        f.start();
        f.advance(1s);
        std::vector<std::string> connectedIds;
        for (const sim::Request& r : f.requests(Kind::connect)) connectedIds.push_back(r.peripheral.text());
        EXPECT_THAT(connectedIds, UnorderedElementsAreArray(c.connected));
        // Hello, state, and one announcement for each.
        const auto lines = f.takeLines();
        EXPECT_EQ(lines.size(), 2 + c.connected.size());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Filter,
    ::testing::Values(
        FilterCase{"NoRules", {}, {peerA, peerB, peerC, peerId(0xD)}},
        FilterCase{"Ids", {.ids = {uuid(peerA), uuid(peerC)}}, {peerA, peerC}},
        FilterCase{"AnAddressInAnyCase", {.addresses = {"aa:bb:cc:00:00:0b"}}, {peerB}},
        FilterCase{"IdsAndAddressesAreOneKind", {.ids = {uuid(peerA)}, .addresses = {"AA:BB:CC:00:00:0D"}},
                   {peerA, peerId(0xD)}},
        FilterCase{"ANamePrefix", {.namePrefixes = {"Kit"}}, {peerA, peerB}},
        FilterCase{"NamePrefixesAreOr", {.namePrefixes = {"Kit-2", "Oth"}}, {peerB, peerC}},
        FilterCase{"NamesAreCaseSensitiveAndANamelessPeerHasNone", {.namePrefixes = {"kit", ""}},
                   {peerA, peerB, peerC}},
        FilterCase{"MinRssiIsInclusiveAndAnUnknownSignalFails", {.minRssi = -60}, {peerA, peerId(0xD)}},
        FilterCase{"KindsAreAnd", {.namePrefixes = {"Kit"}, .minRssi = -60}, {peerA}},
        FilterCase{"KindsAreAndEvenWhenNothingIsLeft", {.ids = {uuid(peerB)}, .minRssi = -60}, {}}),
    [](const ::testing::TestParamInfo<FilterCase>& info) { return std::string(info.param.name); });

TEST(Filter, APeerTooWeakIsConsideredAgainAtItsNextReportAndExplainedOnce) {
    SimFixture f({Peer(peerA).rssi(-90).rssiAt(1s, -85).rssiAt(2s, -50)}, {.verbose = true, .filter = {.minRssi = -60}});
    f.start();
    f.advance(1500ms);
    EXPECT_TRUE(f.requests(Kind::connect).empty());
    f.advance(1s);
    EXPECT_EQ(f.requests(Kind::connect).size(), 1u);
    EXPECT_THAT(f.takeLines(), ElementsAre(line::hello(), line::state("ready"), line::peer(peerA, true, 23)));
    unsigned explained = 0;
    for (const std::string& d : f.takeDiagnostics())
        if (d == "peer " + peerA + ": left alone: signal too weak: -90 dBm, below --min-rssi -60") ++explained;
    EXPECT_EQ(explained, 1u);
}

}  // namespace
}  // namespace scenario
