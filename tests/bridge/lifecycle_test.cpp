// Start-up and stop of the bridge.
#include "bridge/scenario.hpp"

namespace scenario {
namespace {

TEST(Lifecycle, HelloComesFirstEvenWhenTheAdapterStateIsKnownAtOnce) {
    SimFixture f({Peer(peerA)});
    f.start();
    // Before the queue is served, only the hello line exists.
    EXPECT_THAT(f.takeLines(), ElementsAre(line::hello()));
    f.runUntilIdle();
    EXPECT_THAT(f.takeLines(), ElementsAre(line::state("ready"), line::peer(peerA, true, 23)));
}

TEST(Lifecycle, StopWithLiveLinksCancelsThemAndWritesNothing) {
    SimFixture f({Peer(peerA).echo(), Peer(peerB).subscribeFails(), Peer(peerC).delays({.connect = 50ms})});
    startAndSettle(f);
    f.send(peerA, bytes("queued"));
    f.stop();
    f.runUntilIdle();
    f.advance(1s);

    EXPECT_THAT(f.takeLines(), IsEmpty());
    EXPECT_EQ(f.bridge().links().size(), 0u);
    EXPECT_TRUE(f.queue().stopped());
    EXPECT_EQ(f.requests(Kind::stopScan).size(), 1u);
    EXPECT_EQ(f.requests(Kind::cancelConnection).size(), 3u);
    // The send posted before the stop ran first and was written; nothing ran after the stop.
    EXPECT_THAT(f.writes(peerA), ElementsAre(bytes("queued")));
}

TEST(Lifecycle, StopWithNoLinksStillStopsTheScanAndTheLoop) {
    SimFixture f(std::vector<sim::PeripheralSpec>{});
    startAndSettle(f);
    f.stop();
    f.runUntilIdle();
    EXPECT_EQ(f.requests(Kind::stopScan).size(), 1u);
    EXPECT_TRUE(f.queue().stopped());
    EXPECT_THAT(f.takeLines(), IsEmpty());
}

TEST(Lifecycle, ASecondStopDoesNothing) {
    SimFixture f({Peer(peerA)});
    startAndSettle(f);
    f.bridge().stop();
    f.bridge().stop();
    EXPECT_EQ(f.requests(Kind::stopScan).size(), 1u);
    EXPECT_EQ(f.requests(Kind::cancelConnection).size(), 1u);
}

TEST(Lifecycle, TasksPostedAfterTheStopNeverRun) {
    SimFixture f({Peer(peerA).echo()});
    startAndSettle(f);
    f.stop();
    f.send(peerA, bytes("late"));
    f.runUntilIdle();
    EXPECT_THAT(f.writes(peerA), IsEmpty());
    EXPECT_THAT(f.takeLines(), IsEmpty());
}

TEST(Lifecycle, ARediscoveredPeerGetsAFreshLink) {
    // Every write fails: at the disconnect the old link waits for a retry with frames queued.
    SimFixture f({Peer(peerA).failAllWrites().readvertiseAfter(10ms)});
    startAndSettle(f);
    f.send(peerA, bytes("one"));
    f.send(peerA, bytes("two"));
    f.runUntilIdle();
    f.disconnect(peerA);
    f.runUntilIdle();
    EXPECT_THAT(f.takeLines(), ElementsAre(line::peer(peerA, false, 23)));

    f.advance(10ms);
    EXPECT_THAT(f.takeLines(), ElementsAre(line::peer(peerA, true, 23)));
    const bridge::LinkPtr link = f.bridge().links().find(uuid(peerA));
    ASSERT_TRUE(link);
    EXPECT_TRUE(link->writes.empty());
    EXPECT_FALSE(link->writing);
    EXPECT_FALSE(link->writeRetryScheduled);
    EXPECT_EQ(link->writeAttemptCount, 0);
    EXPECT_TRUE(link->announced);
    // The old frames are gone: only the first attempt of "one" was ever written.
    f.advance(1s);
    EXPECT_THAT(f.writes(peerA), ElementsAre(bytes("one")));
}

}  // namespace
}  // namespace scenario
