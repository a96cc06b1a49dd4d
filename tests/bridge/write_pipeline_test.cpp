// Frames from the client to a peer: admission, ordering, write limits and retries.
#include "bridge/scenario.hpp"

namespace scenario {
namespace {

codec::Bytes frameOf(std::size_t size, std::uint8_t fill = 'x') { return codec::Bytes(size, fill); }

TEST(WritePipeline, FramesAreWrittenOneAtATimeInOrder) {
    SimFixture f({Peer(peerA).delays({.write = 10ms})});
    startAndSettle(f);
    f.send(peerA, bytes("a"));
    f.send(peerA, bytes("bb"));
    f.send(peerA, bytes("ccc"));
    f.runUntilIdle();
    EXPECT_EQ(f.writes(peerA).size(), 1u);
    f.advance(10ms);
    EXPECT_EQ(f.writes(peerA).size(), 2u);
    f.advance(20ms);
    EXPECT_THAT(f.writes(peerA), ElementsAre(bytes("a"), bytes("bb"), bytes("ccc")));
    EXPECT_THAT(f.takeLines(),
                ElementsAre(line::write(peerA, true, 1), line::write(peerA, true, 2), line::write(peerA, true, 3)));
}

TEST(WritePipeline, SendsThatCannotBeQueuedAreDroppedSilently) {
    SimFixture f({Peer(peerA), Peer(peerB).subscribeFails()});
    startAndSettle(f);
    f.send(peerC, bytes("unknown peer"));
    f.send(peerB, bytes("not announced"));
    f.runUntilIdle();
    EXPECT_THAT(f.requests(Kind::write), IsEmpty());
    EXPECT_THAT(f.takeLines(), IsEmpty());
}

TEST(WritePipeline, PayloadsUpTo16384BytesAreAdmitted) {
    SimFixture f({Peer(peerA).writeLimit(512)});
    startAndSettle(f);
    const bridge::LinkPtr link = f.bridge().links().find(uuid(peerA));
    // Fill the head with a write in flight so admitted payloads stay visible in the queue.
    f.bridge().send(uuid(peerA), frameOf(1));
    f.bridge().send(uuid(peerA), frameOf(16385));
    EXPECT_EQ(link->writes.size(), 1u);
    f.bridge().send(uuid(peerA), frameOf(16384));
    EXPECT_EQ(link->writes.size(), 2u);
    // Admitted, but longer than the write limit: discarded without an event when its turn comes.
    f.runUntilIdle();
    EXPECT_THAT(f.takeLines(), ElementsAre(line::write(peerA, true, 1)));
    EXPECT_TRUE(link->writes.empty());
}

TEST(WritePipeline, AQueueTakes512FramesAndDropsTheNext) {
    SimFixture f({Peer(peerA)});
    startAndSettle(f);
    const bridge::LinkPtr link = f.bridge().links().find(uuid(peerA));
    for (int i = 0; i < 511; ++i) f.bridge().send(uuid(peerA), frameOf(1));
    ASSERT_EQ(link->writes.size(), 511u);
    f.bridge().send(uuid(peerA), frameOf(2));
    EXPECT_EQ(link->writes.size(), 512u);
    f.bridge().send(uuid(peerA), frameOf(3));
    EXPECT_EQ(link->writes.size(), 512u);
    EXPECT_EQ(link->writes.back().payload, frameOf(2));
}

TEST(WritePipeline, TheWriteLimitIsReadWhenEachFrameGoes) {
    SimFixture f({Peer(peerA).writeLimit(100).delays({.write = 10ms})});
    startAndSettle(f);
    f.send(peerA, frameOf(50, 'a'));
    f.send(peerA, frameOf(80, 'b'));
    f.send(peerA, frameOf(40, 'c'));
    f.runUntilIdle();
    f.setWriteLimit(peerA, 60);
    f.advance(30ms);
    // The 80-byte frame no longer fits when its turn comes: it goes silently, the next follows.
    EXPECT_THAT(f.writes(peerA), ElementsAre(frameOf(50, 'a'), frameOf(40, 'c')));
    EXPECT_THAT(f.takeLines(), ElementsAre(line::write(peerA, true, 50), line::write(peerA, true, 40)));
}

TEST(WritePipeline, ThreeFailuresGiveOneRefusalAfter400msThenTheNextFrameGoesAtOnce) {
    SimFixture f({Peer(peerA).failFirstAttempts(3)});
    startAndSettle(f);
    f.send(peerA, bytes("first"));
    f.send(peerA, bytes("second"));
    f.runUntilIdle();
    f.advance(399ms);
    EXPECT_THAT(f.takeLines(), IsEmpty());
    EXPECT_EQ(f.writes(peerA).size(), 2u);
    f.advance(1ms);
    // The next frame went at the same instant, and the world answers it at once.
    EXPECT_THAT(f.takeLines(), ElementsAre(line::write(peerA, false, 5), line::write(peerA, true, 6)));
    EXPECT_THAT(f.writes(peerA), ElementsAre(bytes("first"), bytes("first"), bytes("first"), bytes("second")));
}

TEST(WritePipeline, AFrameDiscardedAtItsRetryLeavesTheNextFrameAllItsAttempts) {
    // "big" fails once; before its retry the limit falls below its size, so it is discarded.
    // "small" then fails twice and goes through on its third attempt.
    SimFixture f({Peer(peerA).writeLimit(100).failWrite(1).failWrite(2).failWrite(3)});
    startAndSettle(f);
    f.send(peerA, frameOf(80, 'b'));
    f.send(peerA, frameOf(10, 's'));
    f.runUntilIdle();
    f.setWriteLimit(peerA, 50);
    f.advance(1s);
    EXPECT_THAT(f.writes(peerA), ElementsAre(frameOf(80, 'b'), frameOf(10, 's'), frameOf(10, 's'), frameOf(10, 's')));
    EXPECT_THAT(f.takeLines(), ElementsAre(line::write(peerA, true, 10)));
}

TEST(WritePipeline, ARetrySucceedsAfter200ms) {
    SimFixture f({Peer(peerA).failWrite(1)});
    startAndSettle(f);
    f.send(peerA, bytes("again"));
    f.advance(199ms);
    EXPECT_EQ(f.writes(peerA).size(), 1u);
    f.advance(1ms);
    EXPECT_THAT(f.writes(peerA), ElementsAre(bytes("again"), bytes("again")));
    EXPECT_THAT(f.takeLines(), ElementsAre(line::write(peerA, true, 5)));
}

TEST(WritePipeline, AFailureWhileNotConnectedGivesUpAtOnce) {
    // The write fails while the connection is being torn down; the link is still the table's.
    SimFixture f({Peer(peerA).delays({.write = 10ms, .disconnect = 100ms})});
    startAndSettle(f);
    const ble::PeripheralPtr p = f.world().peripheral(uuid(peerA));
    f.send(peerA, bytes("head"));
    f.send(peerA, bytes("next"));
    f.runUntilIdle();
    // A failed characteristic discovery makes the bridge cancel the connection.
    f.bridge().didDiscoverCharacteristics(p, p->services().value().front(), ble::Error{"x"});
    ASSERT_EQ(p->state(), ble::PeripheralState::disconnecting);
    f.bridge().didWriteValue(p, characteristicOf(p, ble::defaultInboxUuid), ble::Error{"link lost"});
    EXPECT_THAT(f.takeLines(), ElementsAre(line::write(peerA, false, 4)));
    EXPECT_FALSE(f.bridge().links().find(uuid(peerA))->writeRetryScheduled);
    f.advance(1s);
    EXPECT_THAT(f.takeLines(), ElementsAre(line::peer(peerA, false, 23)));
}

TEST(WritePipeline, ARetryDueAfterTheLinkWasReplacedDoesNothing) {
    SimFixture f({Peer(peerA).failWrite(1).readvertiseAfter(50ms)});
    startAndSettle(f);
    f.send(peerA, bytes("old"));
    f.runUntilIdle();
    f.disconnect(peerA);
    f.advance(50ms);
    f.send(peerA, bytes("new"));
    f.advance(1s);
    // The old link's retry found a newer link in the table and left it alone.
    EXPECT_THAT(f.writes(peerA), ElementsAre(bytes("old"), bytes("new")));
    EXPECT_THAT(f.takeLines(), ElementsAre(line::peer(peerA, false, 23), line::peer(peerA, true, 23),
                                           line::write(peerA, true, 3)));
}

TEST(WritePipeline, FramesQueuedAtADisconnectGetNoEvents) {
    SimFixture f({Peer(peerA).delays({.write = 10ms})});
    startAndSettle(f);
    f.send(peerA, bytes("1"));
    f.send(peerA, bytes("2"));
    f.runUntilIdle();
    f.disconnect(peerA);
    f.advance(1s);
    EXPECT_THAT(f.takeLines(), ElementsAre(line::peer(peerA, false, 23)));
}

TEST(WritePipeline, ACompletionWithAnEmptyQueueWritesNothing) {
    SimFixture f({Peer(peerA)});
    startAndSettle(f);
    const ble::PeripheralPtr p = f.world().peripheral(uuid(peerA));
    const ble::CharacteristicPtr inbox = characteristicOf(p, ble::defaultInboxUuid);
    const bridge::LinkPtr link = f.bridge().links().find(uuid(peerA));

    link->writeAttemptCount = 2;
    f.bridge().didWriteValue(p, inbox, std::nullopt);
    EXPECT_EQ(link->writeAttemptCount, 0);

    // A failure is handled like any failure: retried while attempts remain...
    f.bridge().didWriteValue(p, inbox, ble::Error{"x"});
    EXPECT_TRUE(link->writeRetryScheduled);
    f.advance(200ms);
    EXPECT_FALSE(link->writeRetryScheduled);
    // ...and then given up, with the count reset.
    link->writeAttemptCount = 3;
    f.bridge().didWriteValue(p, inbox, ble::Error{"x"});
    EXPECT_FALSE(link->writeRetryScheduled);
    EXPECT_EQ(link->writeAttemptCount, 0);
    EXPECT_THAT(f.takeLines(), IsEmpty());
}

TEST(WritePipeline, AFailedWriteThenADisconnectLeavesTheLinkWaiting) {
    // The retry comes due while the peripheral is still the table's but not connected.
    SimFixture f({Peer(peerA).failWrite(1).delays({.disconnect = 500ms})});
    startAndSettle(f);
    f.send(peerA, bytes("stuck"));
    f.send(peerA, bytes("behind"));
    f.runUntilIdle();
    f.world().setAdapterState(ble::ManagerState::poweredOff);
    f.advance(1s);
    EXPECT_THAT(f.writes(peerA), ElementsAre(bytes("stuck")));
    EXPECT_THAT(f.takeLines(), ElementsAre(line::state("powered_off"), line::peer(peerA, false, 23)));
}

}  // namespace
}  // namespace scenario
