#include "protocol/event_stream.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace protocol {
namespace {

const ble::Uuid id = ble::Uuid::of("0123abcd-89ab-cdef-0123-456789abcdef");

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

}  // namespace
}  // namespace protocol
