// Adapter state, discovery, connection and loss of peers.
#include "bridge/scenario.hpp"

namespace scenario {
namespace {

struct StateCase {
    int state;
    const char* value;
    bool scans;
};

class AdapterState : public ::testing::TestWithParam<StateCase> {};

TEST_P(AdapterState, IsReportedByNameAndOnlyPoweredOnStartsTheScan) {
    const StateCase c = GetParam();
    SimFixture f(sim::WorldSpec{.adapter = {{.at = 0ms, .state = c.state}}, .peripherals = {}});
    f.start();
    f.runUntilIdle();
    EXPECT_THAT(f.takeLines(), ElementsAre(line::hello(), line::state(c.value)));
    EXPECT_EQ(f.requests(Kind::scan).size(), c.scans ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, AdapterState,
                         ::testing::Values(StateCase{0, "unknown", false}, StateCase{1, "resetting", false},
                                           StateCase{2, "unsupported", false}, StateCase{3, "unauthorized", false},
                                           StateCase{4, "powered_off", false}, StateCase{5, "ready", true},
                                           StateCase{6, "failed", false}, StateCase{-1, "failed", false}));

TEST(Connections, TheScanIsForTheServiceWithoutDuplicates) {
    SimFixture f(std::vector<sim::PeripheralSpec>{});
    startAndSettle(f);
    ASSERT_EQ(f.requests(Kind::scan).size(), 1u);
    EXPECT_THAT(f.requests(Kind::scan)[0].uuids, ElementsAre(ble::defaultServiceUuid));
    EXPECT_FALSE(f.requests(Kind::scan)[0].flag);
}

TEST(Connections, PoweredOnWhileScanningAsksForNoSecondScanButIsReported) {
    SimFixture f(std::vector<sim::PeripheralSpec>{});
    startAndSettle(f);
    f.bridge().centralDidUpdateState();
    EXPECT_THAT(f.takeLines(), ElementsAre(line::state("ready")));
    EXPECT_EQ(f.requests(Kind::scan).size(), 1u);
}

TEST(Connections, PoweringOffIsReportedBeforeTheLinksItDrops) {
    // The state update leaves the table alone: the links go only through their own disconnections.
    SimFixture f({Peer(peerA)});
    startAndSettle(f);
    f.setAdapterState(ble::ManagerState::poweredOff);
    f.runUntilIdle();
    EXPECT_THAT(f.takeLines(), ElementsAre(line::state("powered_off"), line::peer(peerA, false, 23)));
}

TEST(Connections, PoweringOnAgainRestartsTheScanAndFindsPeersAgain) {
    SimFixture f({Peer(peerA).readvertiseAfter(0ms)});
    startAndSettle(f);
    f.setAdapterState(ble::ManagerState::poweredOff);
    f.runUntilIdle();
    f.setAdapterState(ble::ManagerState::poweredOn);
    f.runUntilIdle();
    EXPECT_THAT(f.takeLines(), ElementsAre(line::state("powered_off"), line::peer(peerA, false, 23),
                                           line::state("ready"), line::peer(peerA, true, 23)));
    EXPECT_EQ(f.requests(Kind::scan).size(), 2u);
}

TEST(Connections, EachFoundPeripheralIsConnectedAndAskedForTheServiceOnly) {
    SimFixture f({Peer(peerA), Peer(peerB).advertiseAt(5ms)});
    startAndSettle(f);
    f.advance(5ms);
    EXPECT_EQ(f.requests(Kind::connect).size(), 2u);
    for (const sim::Request& r : f.requests(Kind::discoverServices))
        EXPECT_THAT(r.uuids, ElementsAre(ble::defaultServiceUuid));
    EXPECT_EQ(f.bridge().links().size(), 2u);
}

TEST(Connections, AFailedConnectionIsReportedAndNotRetried) {
    SimFixture f({Peer(peerA).connectFails().writeLimit(600)});
    f.start();
    f.runUntilIdle();
    f.advance(10s);
    // The figure of a lost peer is not capped.
    EXPECT_THAT(f.takeLines(), ElementsAre(line::hello(), line::state("ready"), line::peer(peerA, false, 603)));
    EXPECT_EQ(f.requests(Kind::connect).size(), 1u);
    EXPECT_EQ(f.bridge().links().size(), 0u);
}

TEST(Connections, ALostPeerIsReportedWithItsFigureAndFoundAgainLater) {
    SimFixture f({Peer(peerA).writeLimit(182).disconnectAt(100ms).readvertiseAfter(50ms)});
    startAndSettle(f);
    f.advance(100ms);
    EXPECT_THAT(f.takeLines(), ElementsAre(line::peer(peerA, false, 185)));
    f.advance(50ms);
    EXPECT_THAT(f.takeLines(), ElementsAre(line::peer(peerA, true, 185)));
    EXPECT_EQ(f.requests(Kind::connect).size(), 2u);
}

TEST(Connections, ADiscoveryWhileStoppingCreatesNoLink) {
    SimFixture f({Peer(peerA).advertiseAt(1h)});
    startAndSettle(f);
    f.bridge().stop();
    f.bridge().didDiscover(f.world().peripheral(uuid(peerA)), {});
    EXPECT_EQ(f.bridge().links().size(), 0u);
    EXPECT_THAT(f.requests(Kind::connect), IsEmpty());
}

TEST(Connections, ADiscoveryOfAPeripheralWithALinkIsIgnored) {
    SimFixture f({Peer(peerA)});
    startAndSettle(f);
    const bridge::LinkPtr before = f.bridge().links().find(uuid(peerA));
    f.bridge().didDiscover(f.world().peripheral(uuid(peerA)), {});
    EXPECT_EQ(f.bridge().links().find(uuid(peerA)), before);
    EXPECT_EQ(f.requests(Kind::connect).size(), 1u);
}

TEST(Connections, ADisconnectionWithoutALinkWritesNothing) {
    SimFixture f({Peer(peerA).advertiseAt(1h)});
    startAndSettle(f);
    f.bridge().didDisconnect(f.world().peripheral(uuid(peerA)), ble::Error{"gone"});
    f.bridge().didFailToConnect(f.world().peripheral(uuid(peerA)), std::nullopt);
    EXPECT_THAT(f.takeLines(), IsEmpty());
}

}  // namespace
}  // namespace scenario
