// The fixture end to end: a bridge on a small world, read as its exact event lines.
#include "support/sim_fixture.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ble/gatt_profile.hpp"

namespace {

using namespace testsupport;
using ::testing::ElementsAre;
using Kind = sim::Request::Kind;

TEST(SimFixture, EchoPeerIsAnnouncedAndEchoesWhatIsSent) {
    SimFixture f({Peer(peerA).echo().writeLimit(182)});
    f.start();
    f.runUntilIdle();
    EXPECT_THAT(f.takeLines(), ElementsAre(line::hello(), line::state("ready"), line::peer(peerA, true, 185)));

    f.send(peerA, bytes("hi?>"));
    f.runUntilIdle();
    EXPECT_THAT(f.takeLines(), ElementsAre(line::write(peerA, true, 4), line::frame(peerA, bytes("hi?>"))));
    EXPECT_THAT(f.writes(peerA), ElementsAre(bytes("hi?>")));
    EXPECT_EQ(f.now(), 0ms);
}

TEST(SimFixture, RecordsTheBridgesRequestsInOrder) {
    using sim::Request;
    SimFixture f({Peer(peerA)});
    f.start();
    f.runUntilIdle();
    f.send(peerA, bytes("hi"));
    f.runUntilIdle();
    f.stop();
    f.runUntilIdle();
    const codec::Uuid a = uuid(peerA);
    EXPECT_THAT(
        f.requests(),
        ElementsAre(Request{.kind = Kind::scan, .uuids = {ble::defaultServiceUuid}},
                    Request{.kind = Kind::connect, .peripheral = a},
                    Request{.kind = Kind::discoverServices, .peripheral = a, .uuids = {ble::defaultServiceUuid}},
                    Request{.kind = Kind::discoverCharacteristics,
                            .peripheral = a,
                            .uuids = {ble::defaultInboxUuid, ble::defaultOutboxUuid},
                            .serviceInstance = 0},
                    Request{.kind = Kind::setNotifyValue,
                            .peripheral = a,
                            .serviceInstance = 0,
                            .characteristic = ble::defaultOutboxUuid,
                            .flag = true},
                    Request{.kind = Kind::write,
                            .peripheral = a,
                            .serviceInstance = 0,
                            .characteristic = ble::defaultInboxUuid,
                            .bytes = bytes("hi")},
                    Request{.kind = Kind::stopScan}, Request{.kind = Kind::cancelConnection, .peripheral = a}));
    EXPECT_THAT(f.takeLines(), ElementsAre(line::hello(), line::state("ready"), line::peer(peerA, true, 23),
                                           line::write(peerA, true, 2)));
}

}  // namespace
