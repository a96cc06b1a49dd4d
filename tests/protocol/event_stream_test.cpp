#include "protocol/event_stream.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace protocol {
namespace {

using bridge::LineError;
using bridge::PeerEnd;
using bridge::WriteOutcome;

const codec::Uuid id = codec::Uuid::of("0123abcd-89ab-cdef-0123-456789abcdef");

class EventStreamTest : public ::testing::Test {
protected:
    std::vector<std::string> lines;
    EventStream events{[this](std::string_view line) { lines.emplace_back(line); }};
};

TEST_F(EventStreamTest, WritesEveryEventAsOneSortedLine) {
    const std::uint8_t slashes[] = {0xFF, 0xFF, 0xFE, 0x01};
    const std::uint8_t hello[] = {'h', 'e', 'l', 'l', 'o'};
    events.hello();
    events.state("ready");
    events.state("powered_off");
    events.peerConnected(id, 23);
    events.peerDisconnected(id, 603);
    events.frame(id, slashes);
    events.frame(id, hello);
    events.write(id, true, 5);
    events.write(id, false, 16384);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "{\"event\":\"hello\",\"protocol\":1}\n",
                         "{\"event\":\"state\",\"value\":\"ready\"}\n",
                         "{\"event\":\"state\",\"value\":\"powered_off\"}\n",
                         "{\"connected\":true,\"event\":\"peer\",\"id\":\"0123ABCD-89AB-CDEF-0123-456789ABCDEF\",\"mtu\":23}\n",
                         "{\"connected\":false,\"event\":\"peer\",\"id\":\"0123ABCD-89AB-CDEF-0123-456789ABCDEF\",\"mtu\":603}\n",
                         "{\"data\":\"\\/\\/\\/+AQ==\",\"event\":\"frame\",\"id\":\"0123ABCD-89AB-CDEF-0123-456789ABCDEF\"}\n",
                         "{\"data\":\"aGVsbG8=\",\"event\":\"frame\",\"id\":\"0123ABCD-89AB-CDEF-0123-456789ABCDEF\"}\n",
                         "{\"accepted\":true,\"bytes\":5,\"event\":\"write\",\"id\":\"0123ABCD-89AB-CDEF-0123-456789ABCDEF\"}\n",
                         "{\"accepted\":false,\"bytes\":16384,\"event\":\"write\",\"id\":\"0123ABCD-89AB-CDEF-0123-456789ABCDEF\"}\n",
                     }));
}

TEST_F(EventStreamTest, EscapesStringsAndDropsInvalidText) {
    events.state("a\"b\\c/d\n\x01\xC3\xA9");
    events.state("bad \xFF");
    events.state("/\t/");
    events.state("");
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "{\"event\":\"state\",\"value\":\"a\\\"b\\\\c\\/d\\n\\u0001\xC3\xA9\"}\n",
                         "{\"event\":\"state\",\"value\":\"\\/\\t\\/\"}\n",
                         "{\"event\":\"state\",\"value\":\"\"}\n",
                     }));
}

TEST_F(EventStreamTest, WritesIntegersInPlainDecimal) {
    events.peerDisconnected(id, 9223372036854775807);
    events.write(id, true, -1);
    EXPECT_EQ(lines[0].substr(lines[0].find("\"mtu\"")), "\"mtu\":9223372036854775807}\n");
    EXPECT_EQ(lines[1].substr(0, 30), "{\"accepted\":true,\"bytes\":-1,\"e");
}

TEST(EventStreamProtocols, Protocol2ReportsEveryOutcomeAndProtocol1OnlyWhatItAlwaysDid) {
    struct Event {
        std::function<void(EventStream&)> write;
        std::string protocol1;
        std::string protocol2;
    };
    const std::string idText = R"("id":"0123ABCD-89AB-CDEF-0123-456789ABCDEF")";
    const auto refused = [&](const char* reason) {
        return R"({"accepted":false,"bytes":3,"event":"write",)" + idText + R"(,"reason":")" + reason + "\"}\n";
    };
    const Event events[] = {
        {[](EventStream& e) { e.hello(); }, "{\"event\":\"hello\",\"protocol\":1}\n",
         "{\"event\":\"hello\",\"protocol\":2,\"version\":\"" GATTRELAY_VERSION "\"}\n"},
        {[](EventStream& e) { e.write(id, WriteOutcome::written, 3, "t/1"); },
         R"({"accepted":true,"bytes":3,"event":"write",)" + idText + "}\n",
         R"({"accepted":true,"bytes":3,"event":"write",)" + idText + R"(,"tag":"t\/1"})" + "\n"},
        {[](EventStream& e) { e.write(id, WriteOutcome::writeFailed, 3); },
         R"({"accepted":false,"bytes":3,"event":"write",)" + idText + "}\n", refused("write_failed")},
        {[](EventStream& e) { e.write(id, WriteOutcome::failedAsPeerWent, 3); },
         R"({"accepted":false,"bytes":3,"event":"write",)" + idText + "}\n", refused("peer_gone")},
        {[](EventStream& e) { e.write(id, WriteOutcome::pairingRequired, 3); },
         R"({"accepted":false,"bytes":3,"event":"write",)" + idText + "}\n", refused("pairing_required")},
        {[](EventStream& e) { e.write(id, WriteOutcome::tooLong, 3); }, "", refused("too_long")},
        {[](EventStream& e) { e.write(id, WriteOutcome::unknownPeer, 3); }, "", refused("unknown_peer")},
        {[](EventStream& e) { e.write(id, WriteOutcome::notReady, 3); }, "", refused("not_ready")},
        {[](EventStream& e) { e.write(id, WriteOutcome::queueFull, 3); }, "", refused("queue_full")},
        {[](EventStream& e) { e.write(id, WriteOutcome::peerGone, 3); }, "", refused("peer_gone")},
        {[](EventStream& e) { e.peerDisconnected(id, 23, PeerEnd::setupFailed); },
         R"({"connected":false,"event":"peer",)" + idText + R"(,"mtu":23})" + "\n",
         R"({"connected":false,"event":"peer",)" + idText + R"(,"mtu":23,"reason":"setup_failed"})" + "\n"},
        {[](EventStream& e) { e.peerDisconnected(id, 23, PeerEnd::pairingRequired); },
         R"({"connected":false,"event":"peer",)" + idText + R"(,"mtu":23})" + "\n",
         R"({"connected":false,"event":"peer",)" + idText + R"(,"mtu":23,"reason":"pairing_required"})" + "\n"},
        {[](EventStream& e) { e.pairing(id, {ble::PairingRequest::Method::passkey, std::nullopt}); }, "",
         R"({"event":"pairing",)" + idText + R"(,"method":"passkey"})" "\n"},
        {[](EventStream& e) { e.pairing(id, {ble::PairingRequest::Method::confirm, 42}); }, "",
         R"({"event":"pairing",)" + idText + R"(,"method":"confirm","passkey":42})" "\n"},
        {[](EventStream& e) { e.pairing(id, {ble::PairingRequest::Method::display, 999999}); }, "",
         R"({"event":"pairing",)" + idText + R"(,"method":"display","passkey":999999})" "\n"},
        {[](EventStream& e) { e.pairing(id, {ble::PairingRequest::Method::authorize, std::nullopt}); }, "",
         R"({"event":"pairing",)" + idText + R"(,"method":"authorize"})" "\n"},
        {[](EventStream& e) { e.pairingEnded(id, ble::PairingEnd::timedOut); }, "",
         R"({"event":"pairing_ended",)" + idText + R"(,"reason":"timeout"})" "\n"},
        {[](EventStream& e) { e.pairingEnded(id, ble::PairingEnd::cancelled); }, "",
         R"({"event":"pairing_ended",)" + idText + R"(,"reason":"cancelled"})" "\n"},
        {[](EventStream& e) { e.mtu(id, 63); }, "", R"({"event":"mtu",)" + idText + R"(,"mtu":63})" + "\n"},
        {[](EventStream& e) { e.rejected({7, LineError::notACommand}); }, "",
         R"({"event":"rejected","line":7,"reason":"not_a_command"})" "\n"},
    };
    for (const Event& event : events) {
        for (int protocol : {1, 2}) {
            std::string written;
            EventStream stream([&](std::string_view line) { written += line; }, static_cast<Protocol>(protocol));
            event.write(stream);
            EXPECT_EQ(written, protocol == 1 ? event.protocol1 : event.protocol2);
        }
    }
}

TEST(EventStreamProtocols, AChangeOfReasonAloneIsAStateEventInProtocol2Only) {
    const auto run = [](Protocol protocol) {
        std::vector<std::string> lines;
        EventStream stream([&](std::string_view line) { lines.emplace_back(line); }, protocol);
        stream.state("powered_off", "blocked");
        stream.state("powered_off", "");
        stream.state("powered_off", "");  // unchanged: written again, as the bridge asked
        stream.state("unsupported", "no_bus");
        stream.state("unsupported", "no_bluetoothd");
        stream.state("ready", "");
        return lines;
    };
    EXPECT_EQ(run(Protocol::v1), (std::vector<std::string>{
                                     "{\"event\":\"state\",\"value\":\"powered_off\"}\n",
                                     "{\"event\":\"state\",\"value\":\"powered_off\"}\n",
                                     "{\"event\":\"state\",\"value\":\"unsupported\"}\n",
                                     "{\"event\":\"state\",\"value\":\"ready\"}\n",
                                 }));
    EXPECT_EQ(run(Protocol::v2), (std::vector<std::string>{
                                     R"({"event":"state","reason":"blocked","value":"powered_off"})" "\n",
                                     R"({"event":"state","value":"powered_off"})" "\n",
                                     R"({"event":"state","value":"powered_off"})" "\n",
                                     R"({"event":"state","reason":"no_bus","value":"unsupported"})" "\n",
                                     R"({"event":"state","reason":"no_bluetoothd","value":"unsupported"})" "\n",
                                     R"({"event":"state","value":"ready"})" "\n",
                                 }));
}

TEST_F(EventStreamTest, HeldLinesGoOutTogetherAtRelease) {
    events.hold();
    events.state("a");
    events.rejected({1, LineError::notJson});  // protocol 1 writes nothing for it
    events.state("b");
    EXPECT_TRUE(lines.empty());
    events.release();
    events.release();
    events.state("c");
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "{\"event\":\"state\",\"value\":\"a\"}\n{\"event\":\"state\",\"value\":\"b\"}\n",
                         "{\"event\":\"state\",\"value\":\"c\"}\n",
                     }));
}

}  // namespace
}  // namespace protocol
