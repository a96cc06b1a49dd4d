// Service and characteristic discovery, subscription, announcement and inbound frames.
#include "bridge/scenario.hpp"

namespace scenario {
namespace {

class AnnouncedMtu : public ::testing::TestWithParam<std::pair<std::size_t, int>> {};

TEST_P(AnnouncedMtu, IsTheWriteLimitPlusThreeBetween23And517) {
    const auto [writeLimit, mtu] = GetParam();
    SimFixture f({Peer(peerA).writeLimit(writeLimit)});
    f.start();
    f.runUntilIdle();
    EXPECT_THAT(f.takeLines(), ElementsAre(line::hello(), line::state("ready"), line::peer(peerA, true, mtu)));
}

INSTANTIATE_TEST_SUITE_P(Table, AnnouncedMtu,
                         ::testing::Values(std::pair{std::size_t{0}, 23}, std::pair{std::size_t{20}, 23},
                                           std::pair{std::size_t{182}, 185}, std::pair{std::size_t{512}, 515},
                                           std::pair{std::size_t{600}, 517}));

TEST(GattSetup, APeripheralWithoutTheServiceIsCancelledThenReported) {
    SimFixture f({Peer(peerA).services(0), Peer(peerB).discoverServicesFails()});
    startAndSettle(f);
    f.advance(1s);
    EXPECT_EQ(f.requests(Kind::cancelConnection).size(), 2u);
    EXPECT_THAT(f.requests(Kind::discoverCharacteristics), IsEmpty());
    EXPECT_EQ(f.bridge().links().size(), 0u);
}

TEST(GattSetup, FailedCharacteristicDiscoveryCancelsTheConnection) {
    SimFixture f({Peer(peerA).discoverCharacteristicsFails()});
    f.start();
    f.runUntilIdle();
    EXPECT_THAT(f.takeLines(), ElementsAre(line::hello(), line::state("ready"), line::peer(peerA, false, 23)));
    EXPECT_EQ(f.requests(Kind::cancelConnection).size(), 1u);
}

TEST(GattSetup, TheServiceOfferedTwiceIsSearchedTwice) {
    SimFixture f({Peer(peerA).services(2)});
    startAndSettle(f);
    const auto searches = f.requests(Kind::discoverCharacteristics);
    ASSERT_EQ(searches.size(), 2u);
    EXPECT_EQ(searches[0].serviceInstance, 0);
    EXPECT_EQ(searches[1].serviceInstance, 1);
    for (const sim::Request& r : searches) EXPECT_THAT(r.uuids, ElementsAre(ble::defaultInboxUuid, ble::defaultOutboxUuid));
    // The later instance's characteristics replace the earlier ones: frames go to the second inbox.
    f.send(peerA, bytes("x"));
    f.runUntilIdle();
    ASSERT_EQ(f.requests(Kind::write).size(), 1u);
    EXPECT_EQ(f.requests(Kind::write)[0].serviceInstance, 1);
}

TEST(GattSetup, APeripheralMissingACharacteristicStaysConnectedAndUnannounced) {
    SimFixture f({Peer(peerA).noOutbox(), Peer(peerB).noInbox()});
    startAndSettle(f);
    f.send(peerA, bytes("dropped"));
    f.advance(10s);
    EXPECT_THAT(f.takeLines(), IsEmpty());
    EXPECT_THAT(f.requests(Kind::cancelConnection), IsEmpty());
    EXPECT_THAT(f.requests(Kind::write), IsEmpty());
    EXPECT_EQ(f.bridge().links().size(), 2u);
    // Only an outbox is subscribed.
    EXPECT_EQ(f.requests(Kind::setNotifyValue).size(), 1u);
}

TEST(GattSetup, AFailedSubscriptionLeavesThePeerUnannounced) {
    SimFixture f({Peer(peerA).subscribeFails()});
    startAndSettle(f);
    f.advance(10s);
    EXPECT_THAT(f.takeLines(), IsEmpty());
    EXPECT_FALSE(f.bridge().links().find(uuid(peerA))->announced);
    EXPECT_THAT(f.requests(Kind::cancelConnection), IsEmpty());
}

TEST(GattSetup, AnOutboxAlreadyNotifyingIsAnnouncedAtDiscovery) {
    // The subscription would fail: the announcement cannot have come from it.
    SimFixture f({Peer(peerA).outboxNotifying().subscribeFails()});
    f.start();
    f.runUntilIdle();
    EXPECT_THAT(f.takeLines(), ElementsAre(line::hello(), line::state("ready"), line::peer(peerA, true, 23)));
}

TEST(GattSetup, TheAnnouncementWaitsForTheSubscription) {
    SimFixture f({Peer(peerA).delays({.subscribe = 30ms})});
    startAndSettle(f);
    f.advance(29ms);
    EXPECT_THAT(f.takeLines(), IsEmpty());
    f.advance(1ms);
    EXPECT_THAT(f.takeLines(), ElementsAre(line::peer(peerA, true, 23)));
}

TEST(GattSetup, ASecondNotificationStateUpdateWritesNothing) {
    SimFixture f({Peer(peerA)});
    startAndSettle(f);
    const ble::PeripheralPtr p = f.world().peripheral(uuid(peerA));
    f.bridge().didUpdateNotificationState(p, characteristicOf(p, ble::defaultOutboxUuid), std::nullopt);
    EXPECT_THAT(f.takeLines(), IsEmpty());
}

TEST(GattSetup, CharacteristicsFoundForAPeripheralWithoutALinkCancelItQuietly) {
    SimFixture f({Peer(peerA).delays({.disconnect = 5ms})});
    startAndSettle(f);
    const ble::PeripheralPtr p = f.world().peripheral(uuid(peerA));
    const ble::ServicePtr service = p->services().value().front();
    f.bridge().stop();
    f.bridge().didDiscoverCharacteristics(p, service, std::nullopt);
    f.bridge().didDisconnect(p, std::nullopt);
    EXPECT_EQ(f.requests(Kind::cancelConnection).size(), 2u);
    EXPECT_THAT(f.takeLines(), IsEmpty());
}

TEST(GattSetup, NotificationsBecomeFramesInOrderAndEmptyOnesAreDropped) {
    SimFixture f({Peer(peerA).notification(10ms, bytes("first")).notification(10ms, {}).notification(
        20ms, codec::Bytes{0xFB, 0xFF, 0xBF})});
    startAndSettle(f);
    f.advance(20ms);
    EXPECT_THAT(f.takeLines(),
                ElementsAre(line::frame(peerA, bytes("first")), line::frame(peerA, codec::Bytes{0xFB, 0xFF, 0xBF})));
}

TEST(GattSetup, FramesAreReportedWhetherOrNotThePeerHasALink) {
    SimFixture f({Peer(peerA).noInbox()});
    startAndSettle(f);
    const ble::PeripheralPtr p = f.world().peripheral(uuid(peerA));
    const ble::CharacteristicPtr outbox = characteristicOf(p, ble::defaultOutboxUuid);
    f.notify(peerA, bytes("unannounced"));
    f.runUntilIdle();
    f.bridge().stop();
    // A value update already delivered in the same pass as the stop is still written.
    const codec::Bytes value = bytes("unannounced");
    f.bridge().didUpdateValue(p, outbox, value, std::nullopt);
    f.bridge().didUpdateValue(p, outbox, value, ble::Error{"bad"});
    EXPECT_THAT(f.takeLines(),
                ElementsAre(line::frame(peerA, bytes("unannounced")), line::frame(peerA, bytes("unannounced"))));
}

}  // namespace
}  // namespace scenario
