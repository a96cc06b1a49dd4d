// Protocol 2 sessions: every send answered with a reason, peers gone with a reason, write-limit
// changes reported, rejected lines answered, and the diagnostic lines that explain silent steps.
#include <algorithm>
#include <functional>
#include <ostream>

#include "bridge/scenario.hpp"

namespace scenario {
namespace {

const Session protocol2{.protocol = 2};

// Protocol 2's lines, without their line feed.
std::string written(std::string_view id, int bytes, std::string_view tag = "") {
    std::string text = R"({"accepted":true,"bytes":)" + std::to_string(bytes) + R"(,"event":"write","id":")" +
                       std::string(id) + "\"";
    if (!tag.empty()) text += R"(,"tag":")" + std::string(tag) + "\"";
    return text + "}";
}

std::string refused(std::string_view id, int bytes, std::string_view reason, std::string_view tag = "") {
    std::string text = R"({"accepted":false,"bytes":)" + std::to_string(bytes) + R"(,"event":"write","id":")" +
                       std::string(id) + R"(","reason":")" + std::string(reason) + "\"";
    if (!tag.empty()) text += R"(,"tag":")" + std::string(tag) + "\"";
    return text + "}";
}

std::string gone(std::string_view id, int mtu, std::string_view reason) {
    return R"({"connected":false,"event":"peer","id":")" + std::string(id) + R"(","mtu":)" + std::to_string(mtu) +
           R"(,"reason":")" + std::string(reason) + "\"}";
}

std::string mtu(std::string_view id, int value) {
    return R"({"event":"mtu","id":")" + std::string(id) + R"(","mtu":)" + std::to_string(value) + "}";
}

codec::Bytes frameOf(std::size_t size, std::uint8_t fill = 'x') { return codec::Bytes(size, fill); }

struct SessionCase {
    const char* name;
    std::vector<sim::PeripheralSpec> peers;
    // Acts on a fixture that has started and settled; its lines are then compared.
    std::function<void(SimFixture&)> act;
    std::vector<std::string> lines;
};

// Test names and failures show a case by its name.
void PrintTo(const SessionCase& c, std::ostream* out) { *out << c.name; }

class Protocol2Session : public ::testing::TestWithParam<SessionCase> {};

TEST_P(Protocol2Session, WritesExactlyTheseLines) {
    const SessionCase& c = GetParam();
    SimFixture f(c.peers, protocol2);
    startAndSettle(f);
    c.act(f);
    f.advance(10s);
    EXPECT_EQ(f.takeLines(), c.lines);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Protocol2Session,
    ::testing::Values(
        SessionCase{"AdmissionRefusalsInTheirOrder",
                    {Peer(peerA).delays({.write = 10ms}), Peer(peerB).subscribeFails()},
                    [](SimFixture& f) {
                        // Too long wins over unknown peer; unknown over not ready.
                        f.sendTagged(peerC, frameOf(16385), "t1");
                        f.sendTagged(peerC, frameOf(16384), "t2");
                        f.sendTagged(peerB, frameOf(3), "t3");
                        for (int i = 0; i < 512; ++i) f.send(peerA, frameOf(1));
                        f.sendTagged(peerA, frameOf(2), "t4");
                        f.runUntilIdle();
                        // Refusals come at once, before the queued frames' outcomes.
                        const auto lines = f.takeLines();
                        ASSERT_EQ(lines.size(), 4u);
                        EXPECT_EQ(lines[0], refused(peerC, 16385, "too_long", "t1"));
                        EXPECT_EQ(lines[1], refused(peerC, 16384, "unknown_peer", "t2"));
                        EXPECT_EQ(lines[2], refused(peerB, 3, "not_ready", "t3"));
                        EXPECT_EQ(lines[3], refused(peerA, 2, "queue_full", "t4"));
                        f.advance(10s);
                        EXPECT_EQ(f.takeLines(), std::vector<std::string>(512, written(peerA, 1)));
                    },
                    {}},
        SessionCase{"TagsAreEchoedWithTheirEscapes",
                    {Peer(peerA)},
                    [](SimFixture& f) {
                        f.sendTagged(peerA, bytes("a"), "a/b\"\\\n\x01\xC3\xA9");
                        f.sendTagged(peerA, bytes("b"), std::string(64, 'z'));
                        f.send(peerA, bytes("c"));
                    },
                    {written(peerA, 1, R"(a\/b\"\\\n\u0001)" "\xC3\xA9"), written(peerA, 1, std::string(64, 'z')),
                     written(peerA, 1)}},
        SessionCase{"AFrameOverTheLimitAtItsTurnFollowsTheMtuEvent",
                    {Peer(peerA).writeLimit(100).delays({.write = 10ms})},
                    [](SimFixture& f) {
                        f.sendTagged(peerA, frameOf(50), "a");
                        f.sendTagged(peerA, frameOf(80), "b");
                        f.sendTagged(peerA, frameOf(40), "c");
                        f.runUntilIdle();
                        f.setWriteLimit(peerA, 60);
                        f.advance(100ms);
                        // Back up: reported at the next frame's turn, and only then.
                        f.setWriteLimit(peerA, 1000);
                        f.advance(100ms);
                        f.send(peerA, frameOf(5));
                    },
                    {written(peerA, 50, "a"), mtu(peerA, 63), refused(peerA, 80, "too_long", "b"),
                     written(peerA, 40, "c"), mtu(peerA, 517), written(peerA, 5)}},
        SessionCase{"EveryAttemptFailed",
                    {Peer(peerA).failFirstAttempts(3)},
                    [](SimFixture& f) {
                        f.sendTagged(peerA, bytes("first"), "1");
                        f.sendTagged(peerA, bytes("second"), "2");
                    },
                    {refused(peerA, 5, "write_failed", "1"), written(peerA, 6, "2")}},
        SessionCase{"APeerGoneWithFramesWaitingForARetryAndQueued",
                    {Peer(peerA).failWrite(1)},
                    [](SimFixture& f) {
                        f.sendTagged(peerA, bytes("retry"), "1");
                        f.sendTagged(peerA, bytes("q2"), "2");
                        f.send(peerA, bytes("q3"));
                        f.advance(100ms);
                        f.disconnect(peerA);
                    },
                    {refused(peerA, 5, "peer_gone", "1"), refused(peerA, 2, "peer_gone", "2"),
                     refused(peerA, 2, "peer_gone"), gone(peerA, 23, "disconnected")}},
        SessionCase{"APeerGoneWithAFrameInFlight",
                    {Peer(peerA).delays({.write = 50ms})},
                    [](SimFixture& f) {
                        f.sendTagged(peerA, bytes("flying"), "1");
                        f.sendTagged(peerA, bytes("queued"), "2");
                        f.advance(10ms);
                        f.disconnect(peerA);
                    },
                    {refused(peerA, 6, "peer_gone", "1"), refused(peerA, 6, "peer_gone", "2"),
                     gone(peerA, 23, "disconnected")}},
        SessionCase{"AFailureWhileTheLinkIsStuckWaitingEndsAsPeerGone",
                    // The retry comes due while the peripheral is still the table's but not connected.
                    {Peer(peerA).failWrite(1).delays({.disconnect = 500ms})},
                    [](SimFixture& f) {
                        f.sendTagged(peerA, bytes("stuck"), "1");
                        f.sendTagged(peerA, bytes("behind"), "2");
                        f.runUntilIdle();
                        f.setAdapterState(ble::ManagerState::poweredOff);
                    },
                    {R"({"event":"state","value":"powered_off"})", refused(peerA, 5, "peer_gone", "1"),
                     refused(peerA, 6, "peer_gone", "2"), gone(peerA, 23, "disconnected")}},
        SessionCase{"AWriteFailingAsTheConnectionEndsIsGivenUpAsPeerGone",
                    {Peer(peerA).delays({.write = 10ms, .disconnect = 100ms})},
                    [](SimFixture& f) {
                        const ble::PeripheralPtr p = f.world().peripheral(uuid(peerA));
                        f.sendTagged(peerA, bytes("head"), "1");
                        f.sendTagged(peerA, bytes("next"), "2");
                        f.runUntilIdle();
                        // A failed characteristic discovery makes the bridge cancel the connection.
                        f.bridge().didDiscoverCharacteristics(p, p->services().value().front(), ble::Error{"x"});
                        f.bridge().didWriteValue(p, characteristicOf(p, ble::defaultInboxUuid), ble::Error{"lost"});
                    },
                    {refused(peerA, 4, "peer_gone", "1"), refused(peerA, 4, "peer_gone", "2"),
                     gone(peerA, 23, "setup_failed")}},
        SessionCase{"DisconnectWithAFrameInFlightAndFramesQueued",
                    // It comes back, but stays alone; the backend's own end of the link says nothing.
                    {Peer(peerA).delays({.write = 50ms, .disconnect = 20ms}).readvertiseAfter(100ms)},
                    [](SimFixture& f) {
                        f.sendTagged(peerA, bytes("flying"), "1");
                        f.sendTagged(peerA, bytes("queued"), "2");
                        f.advance(10ms);
                        f.disconnectPeer(peerA);
                        f.send(peerA, bytes("after"));
                    },
                    {refused(peerA, 6, "peer_gone", "1"), refused(peerA, 6, "peer_gone", "2"),
                     gone(peerA, 23, "closed"), refused(peerA, 5, "unknown_peer")}},
        SessionCase{"ConnectLiftsADisconnectAtTheNextDiscovery",
                    {Peer(peerA)},
                    [](SimFixture& f) {
                        f.disconnectPeer(peerA);
                        f.runUntilIdle();
                        f.advertise(peerA);
                        f.advance(1s);
                        f.connectPeer(peerA);
                        f.runUntilIdle();
                        f.advertise(peerA);
                    },
                    {gone(peerA, 23, "closed"), line::peer(peerA, true, 23)}},
        SessionCase{"ConnectRightAfterDisconnectWaitsForTheOldConnectionToEnd",
                    // Found again while its old connection still ends: the end of that one must
                    // not be taken for the end of a new one.
                    {Peer(peerA).delays({.disconnect = 200ms}).readvertiseAfter(100ms)},
                    [](SimFixture& f) {
                        f.disconnectPeer(peerA);
                        f.connectPeer(peerA);
                        f.advertise(peerA);
                    },
                    {gone(peerA, 23, "closed"), line::peer(peerA, true, 23)}},
        SessionCase{"DisconnectBeforeThePeerIsFoundAndTwice",
                    {Peer(peerB).advertiseAt(1s)},
                    [](SimFixture& f) {
                        f.disconnectPeer(peerB);
                        f.disconnectPeer(peerB);
                        f.disconnectPeer(peerC);
                        f.advance(2s);
                        f.send(peerB, bytes("x"));
                    },
                    {refused(peerB, 1, "unknown_peer")}},
        SessionCase{"StopAnswersNothingStillQueued",
                    {Peer(peerA).delays({.write = 10ms})},
                    [](SimFixture& f) {
                        f.send(peerA, bytes("1"));
                        f.send(peerA, bytes("2"));
                        f.stop();
                        f.send(peerA, bytes("3"));
                    },
                    {}},
        SessionCase{"RejectedLinesAreAnsweredInLineOrder",
                    {Peer(peerA)},
                    [](SimFixture& f) {
                        f.reject(1, bridge::LineError::notJson);
                        f.sendTagged(peerC, bytes("x"), "t");
                        f.reject(3, bridge::LineError::notACommand);
                        f.reject(4, bridge::LineError::badId);
                        f.reject(5, bridge::LineError::badData);
                        f.reject(6, bridge::LineError::badTag);
                        f.reject(7, bridge::LineError::tooLong);
                    },
                    {R"({"event":"rejected","line":1,"reason":"not_json"})", refused(peerC, 1, "unknown_peer", "t"),
                     R"({"event":"rejected","line":3,"reason":"not_a_command"})",
                     R"({"event":"rejected","line":4,"reason":"bad_id"})",
                     R"({"event":"rejected","line":5,"reason":"bad_data"})",
                     R"({"event":"rejected","line":6,"reason":"bad_tag"})",
                     R"({"event":"rejected","line":7,"reason":"too_long"})"}}),
    [](const ::testing::TestParamInfo<SessionCase>& info) { return std::string(info.param.name); });

TEST(Protocol2, HelloNamesTheVersionAndPeersGoneNameTheirReason) {
    SimFixture f({Peer(peerA).connectFails(), Peer(peerB).services(0),
                  Peer(peerC).discoverCharacteristicsFails().advertiseAt(10ms), Peer(peerId(0xD)).advertiseAt(20ms),
                  Peer(peerId(0xE)).discoverServicesFails().advertiseAt(30ms)},
                 protocol2);
    f.start();
    f.advance(25ms);
    f.disconnect(peerId(0xD));
    f.advance(1s);
    EXPECT_THAT(f.takeLines(),
                ElementsAre(R"({"event":"hello","protocol":2,"version":")" GATTRELAY_VERSION R"("})",
                            line::state("ready"),
                            gone(peerA, 23, "connect_failed"), gone(peerB, 23, "setup_failed"),
                            gone(peerC, 23, "setup_failed"), line::peer(peerId(0xD), true, 23),
                            gone(peerId(0xD), 23, "disconnected"), gone(peerId(0xE), 23, "setup_failed")));
}

TEST(Protocol2, APeerIsAnnouncedWithWhatItsReportsSaidAndTheStateWithItsReason) {
    sim::WorldSpec world{
        .adapter = {{.at = 0ms, .state = ble::ManagerState::poweredOff, .reason = "blocked"},
                    {.at = 10ms, .state = ble::ManagerState::poweredOn}},
        .peripherals = {Peer(peerA).name("Kit/1").rssi(-42).address("AA:BB:CC:DD:EE:0A"),
                        Peer(peerB).advertiseAt(20ms)}};
    SimFixture f(world, protocol2);
    f.start();
    f.advance(1s);
    EXPECT_THAT(f.takeLines(),
                ElementsAre(R"({"event":"hello","protocol":2,"version":")" GATTRELAY_VERSION R"("})",
                            R"({"event":"state","reason":"blocked","value":"powered_off"})", line::state("ready"),
                            R"({"address":"AA:BB:CC:DD:EE:0A","connected":true,"event":"peer","id":")" + peerA +
                                R"(","mtu":23,"name":"Kit\/1","rssi":-42})",
                            line::peer(peerB, true, 23)));
}

TEST(Protocol2, ThePeerEndingAConnectionTheBridgeWasSettingUpIsDisconnected) {
    // A subscription that fails leaves the link up and unannounced: the bridge cancelled nothing.
    SimFixture f({Peer(peerA).subscribeFails().disconnectAt(50ms)}, protocol2);
    startAndSettle(f);
    f.send(peerA, bytes("x"));
    f.advance(1s);
    EXPECT_THAT(f.takeLines(), ElementsAre(refused(peerA, 1, "not_ready"), gone(peerA, 23, "disconnected")));
}

TEST(Profile, TheBridgeUsesTheServiceAndCharacteristicsItIsGiven) {
    const ble::GattProfile own{uuid("0000FEED-0000-1000-8000-00805F9B34FB"),
                               uuid("0000FEE1-0000-1000-8000-00805F9B34FB"),
                               uuid("0000FEE2-0000-1000-8000-00805F9B34FB")};
    // peerB offers the default service, which this bridge does not look for.
    SimFixture f({Peer(peerA).profile(own).echo(), Peer(peerB)}, {.profile = own});
    startAndSettle(f);
    EXPECT_THAT(f.requests(Kind::scan)[0].uuids, ElementsAre(own.service));
    EXPECT_THAT(f.requests(Kind::discoverCharacteristics)[0].uuids, ElementsAre(own.inbox, own.outbox));
    f.send(peerA, bytes("hi"));
    f.runUntilIdle();
    EXPECT_THAT(f.takeLines(), ElementsAre(line::write(peerA, true, 2), line::frame(peerA, bytes("hi"))));
    EXPECT_EQ(f.bridge().links().size(), 1u);
}

TEST(Diagnostics, ExplainTheStepsTheEventsLeaveSilent) {
    SimFixture f({Peer(peerA).failWrite(1).writeLimit(50), Peer(peerB).connectFails(), Peer(peerC).services(0)},
                 {.verbose = true});
    startAndSettle(f);
    f.send(peerA, bytes("retried"));
    f.send(peerB, bytes("nobody"));
    f.reject(9, bridge::LineError::badTag);
    f.advance(1s);
    f.setWriteLimit(peerA, 2);
    f.send(peerA, bytes("big"));
    f.runUntilIdle();
    const auto lines = f.takeDiagnostics();
    for (const std::string& expected : std::vector<std::string>{
             "adapter state ready",
             "scan started for service A3E5B7C9-5D1F-4E2A-9B6C-000000000001",
             "peer " + peerA + ": found, connecting",
             "peer " + peerB + ": connect_failed: the connection failed",
             "peer " + peerC + ": setup_failed: no such service",
             "peer " + peerA + ": ready, write limit 50",
             "peer " + peerA + ": send 1, attempt 1 of 3: the write failed; retrying",
             "peer " + peerB + ": send 2 of 6 bytes not written: unknown peer",
             "line 9 rejected: bad_tag",
             "peer " + peerA + ": write limit now 2",
             "peer " + peerA + ": send 3 of 3 bytes not written: too long",
         })
        EXPECT_THAT(lines, ::testing::Contains(expected));
}

TEST(Diagnostics, NameEachDroppedFrameAndSayOnceThatAHeldPeerIsLeftAlone) {
    SimFixture f({Peer(peerA).readvertiseAfter(100ms).rssiAt(300ms, -50).rssiAt(400ms, -40)},
                 {.protocol = 2, .verbose = true});
    startAndSettle(f);
    for (const char* tag : {"a", "b", "c"}) f.sendTagged(peerB, bytes("x"), tag);
    f.send(peerB, bytes("x"));
    f.disconnectPeer(peerA);
    f.advance(1s);
    const auto lines = f.takeDiagnostics();
    for (const std::string& expected : std::vector<std::string>{
             "peer " + peerB + ": send 1 (tag \"a\") of 1 bytes not written: unknown peer",
             "peer " + peerB + ": send 2 (tag \"b\") of 1 bytes not written: unknown peer",
             "peer " + peerB + ": send 3 (tag \"c\") of 1 bytes not written: unknown peer",
             "peer " + peerB + ": send 4 of 1 bytes not written: unknown peer",
         })
        EXPECT_THAT(lines, ::testing::Contains(expected));
    // Advertised again three times while held: said once.
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "peer " + peerA + ": found, left alone until a \"connect\" (disconnected by the client)"),
              1);
}

TEST(Diagnostics, AreNotMadeWithoutAListener) {
    // The same session without -v writes the same events and nothing else.
    const auto run = [](bool verbose) {
        SimFixture f({Peer(peerA).failWrite(1), Peer(peerB).connectFails()}, {.protocol = 2, .verbose = verbose});
        startAndSettle(f);
        f.send(peerA, bytes("x"));
        f.advance(1s);
        return std::pair{f.takeLines(), f.takeDiagnostics()};
    };
    const auto [quietLines, quietDiagnostics] = run(false);
    const auto [verboseLines, verboseDiagnostics] = run(true);
    EXPECT_EQ(quietLines, verboseLines);
    EXPECT_THAT(quietDiagnostics, IsEmpty());
    EXPECT_THAT(verboseDiagnostics, ::testing::Not(IsEmpty()));
}

}  // namespace
}  // namespace scenario
