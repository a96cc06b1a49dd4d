// The fixture end to end: a bridge on a small world, read as its exact event lines.
#include "support/sim_fixture.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "runtime/constants.hpp"

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
    SimFixture f({Peer(peerA)});
    f.start();
    f.runUntilIdle();
    std::vector<Kind> kinds;
    for (const sim::Request& r : f.requests()) kinds.push_back(r.kind);
    EXPECT_THAT(kinds, ElementsAre(Kind::scan, Kind::connect, Kind::discoverServices, Kind::discoverCharacteristics,
                                   Kind::setNotifyValue));
    const sim::Request& scan = f.requests().front();
    EXPECT_THAT(scan.uuids, ElementsAre(runtime::serviceUUID));
    EXPECT_FALSE(scan.flag);
}

}  // namespace
