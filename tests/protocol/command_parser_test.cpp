#include "protocol/command_parser.hpp"

#include <gtest/gtest.h>

namespace protocol {
namespace {

constexpr std::string_view upperId = "0123ABCD-89AB-CDEF-0123-456789ABCDEF";
const codec::Uuid id = codec::Uuid::of(upperId);

std::optional<Command> parse(std::string_view line) {
    static CommandParser parser(24576);
    const simdjson::padded_string padded(line);
    return parser.parse(padded);
}

Command send(codec::Bytes payload) { return SendCommand{id, std::move(payload)}; }

struct Case {
    std::string_view line;
    std::optional<Command> command;
};

TEST(CommandParser, AcceptsOnlyExactCommands) {
    const Case cases[] = {
        {R"({"command":"stop"})", StopCommand{}},
        {" \t{ \"command\" : \"stop\" }\r\t ", StopCommand{}},
        {R"({"comm\u0061nd":"st\u006fp"})", StopCommand{}},
        {R"({"command":"send","id":"0123ABCD-89AB-CDEF-0123-456789ABCDEF","data":"AQID"})", send({1, 2, 3})},
        // Either case for the id; keys in any order.
        {R"({"data":"/w==","id":"0123abcd-89ab-cdef-0123-456789abcdef","command":"send"})", send({0xFF})},
        {R"({"command":"send","id":"0123ABCD-89ab-CDEF-0123-456789abcdef","data":"\/w=="})", send({0xFF})},
        // A repeated key counts once, and its last value is the one taken.
        {R"({"command":"stop","command":"stop"})", StopCommand{}},
        {R"({"command":"send","command":"stop"})", StopCommand{}},
        {R"({"command":[1,{"a":2}],"command":"stop"})", StopCommand{}},
        {R"({"command":"stop","command":"send","id":"0123ABCD-89AB-CDEF-0123-456789ABCDEF","data":"AQID"})",
         send({1, 2, 3})},
        {R"({"command":"send","id":"x","data":"AQID","id":"0123ABCD-89AB-CDEF-0123-456789ABCDEF"})", send({1, 2, 3})},
        {R"({"command":"send","id":"0123ABCD-89AB-CDEF-0123-456789ABCDEF","data":"AQID","data":"Ag=="})", send({2})},
        {R"({"command":"send","id":"0123ABCD-89AB-CDEF-0123-456789ABCDEF","data":"AQID","data":1})", std::nullopt},
        {R"({"command":"stop","command":"start"})", std::nullopt},
        // Not one JSON object.
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"\r", std::nullopt},
        {"1", std::nullopt},
        {R"("stop")", std::nullopt},
        {"null", std::nullopt},
        {R"([{"command":"stop"}])", std::nullopt},
        {R"({"command":"stop"}{"command":"stop"})", std::nullopt},
        {R"({"command":"stop"} {"command":"stop"})", std::nullopt},
        {R"({"command":"stop"},)", std::nullopt},
        {R"({"command":"stop")", std::nullopt},
        {R"({"command":"stop",})", std::nullopt},
        {R"({'command':'stop'})", std::nullopt},
        {R"({command:"stop"})", std::nullopt},
        {"\xEF\xBB\xBF{\"command\":\"stop\"}", std::nullopt},
        {"{\"command\":\"st\top\"}", std::nullopt},
        // Wrong command, wrong key count, wrong key names.
        {R"({"command":"STOP"})", std::nullopt},
        {R"({"command":"stop "})", std::nullopt},
        {R"({"command":1})", std::nullopt},
        {R"({"command":null})", std::nullopt},
        {R"({"command":["stop"]})", std::nullopt},
        {R"({"Command":"stop"})", std::nullopt},
        {R"({})", std::nullopt},
        {R"({"command":"stop","x":1})", std::nullopt},
        {R"({"x":1,"command":"stop"})", std::nullopt},
        {R"({"command":"send","id":"0123ABCD-89AB-CDEF-0123-456789ABCDEF"})", std::nullopt},
        {R"({"command":"send","id":"0123ABCD-89AB-CDEF-0123-456789ABCDEF","data":"AQID","x":1})", std::nullopt},
        {R"({"command":"send","id":"0123ABCD-89AB-CDEF-0123-456789ABCDEF","payload":"AQID"})", std::nullopt},
        {R"({"command":"send","ID":"0123ABCD-89AB-CDEF-0123-456789ABCDEF","data":"AQID"})", std::nullopt},
        // Bad payloads: empty, unpadded, whitespace, other alphabets, not a string.
        {R"({"command":"send","id":"0123ABCD-89AB-CDEF-0123-456789ABCDEF","data":""})", std::nullopt},
        {R"({"command":"send","id":"0123ABCD-89AB-CDEF-0123-456789ABCDEF","data":"AQ"})", std::nullopt},
        {R"({"command":"send","id":"0123ABCD-89AB-CDEF-0123-456789ABCDEF","data":"AQ== "})", std::nullopt},
        {R"({"command":"send","id":"0123ABCD-89AB-CDEF-0123-456789ABCDEF","data":"AQ\n=="})", std::nullopt},
        {R"({"command":"send","id":"0123ABCD-89AB-CDEF-0123-456789ABCDEF","data":"_w=="})", std::nullopt},
        {R"({"command":"send","id":"0123ABCD-89AB-CDEF-0123-456789ABCDEF","data":null})", std::nullopt},
        {R"({"command":"send","id":"0123ABCD-89AB-CDEF-0123-456789ABCDEF","data":["AQID"]})", std::nullopt},
        // Bad ids.
        {R"({"command":"send","id":"0123ABCD89ABCDEF0123456789ABCDEF","data":"AQID"})", std::nullopt},
        {R"({"command":"send","id":"{0123ABCD-89AB-CDEF-0123-456789ABCDEF}","data":"AQID"})", std::nullopt},
        {R"({"command":"send","id":"0123ABCD-89AB-CDEF-0123-456789ABCDEG","data":"AQID"})", std::nullopt},
        {R"({"command":"send","id":" 0123ABCD-89AB-CDEF-0123-456789ABCDEF","data":"AQID"})", std::nullopt},
        {R"({"command":"send","id":"0123ABCD-89AB-CDEF-0123-456789ABCDE","data":"AQID"})", std::nullopt},
        {R"({"command":"send","id":"0123ABC-D89AB-CDEF-0123-456789ABCDEF","data":"AQID"})", std::nullopt},
        {R"({"command":"send","id":1,"data":"AQID"})", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(parse(c.line), c.command) << c.line;
}

TEST(CommandParser, AcceptsDeepNestingUpToTheLineLimit) {
    // Valid JSON of any depth that fits a line parses; here it sits under a key that repeats.
    const std::string nested = std::string(12000, '[') + std::string(12000, ']');
    EXPECT_EQ(parse(R"({"command":)" + nested + R"(,"command":"stop"})"), Command{StopCommand{}});
}

TEST(CommandParser, DoesNotLimitThePayload) {
    // Beyond the largest frame the bridge sends: dropping it is the send task's decision.
    const std::string data(24000, 'A');
    const auto command = parse(R"({"command":"send","id":"0123ABCD-89AB-CDEF-0123-456789ABCDEF","data":")" + data + "\"}");
    ASSERT_TRUE(command);
    EXPECT_EQ(std::get<SendCommand>(*command).payload, codec::Bytes(18000, 0));
}

TEST(CommandParser, NamesWhyALineIsNotACommandAndTakesTagsWhenAsked) {
    const std::string send = R"({"command":"send","id":"0123ABCD-89AB-CDEF-0123-456789ABCDEF","data":"AQID")";
    // A tag of 64 bytes once unescaped: "é" as an escape (2 bytes) and 62 bytes more.
    const std::string tag64 = R"(\u00e9)" + std::string(62, 't');
    struct TagCase {
        std::string line;
        std::variant<Command, LineError> expected;
        std::string tag = "";
    };
    const TagCase cases[] = {
        {send + "}", SendCommand{id, {1, 2, 3}}},
        {send + R"(,"tag":"a\/b"})", SendCommand{id, {1, 2, 3}}, "a/b"},
        {send + R"(,"tag":")" + tag64 + "\"}", SendCommand{id, {1, 2, 3}}, "\xC3\xA9" + std::string(62, 't')},
        {send + R"(,"tag":")" + tag64 + "t\"}", LineError::badTag},
        {send + R"(,"tag":""})", LineError::badTag},
        {send + R"(,"tag":1})", LineError::notACommand},
        {send + R"(,"tag":"a","x":1})", LineError::notACommand},
        {R"({"command":"stop","tag":"a"})", LineError::notACommand},
        {"", LineError::notJson},
        {"\r", LineError::notJson},
        {R"({"command":"stop"} 1)", LineError::notJson},
        {R"({"command":"stop")", LineError::notJson},
        {"[1]", LineError::notACommand},
        {"null", LineError::notACommand},
        {R"({"command":"sned"})", LineError::notACommand},
        {R"({"command":"send","id":"x"})", LineError::notACommand},
        {R"({"command":"send","id":1,"data":"AQID"})", LineError::notACommand},
        {R"({"command":"send","id":"x","data":"!"})", LineError::badId},
        {R"({"command":"send","id":"0123ABCD-89AB-CDEF-0123-456789ABCDEF","data":""})", LineError::badData},
        {R"({"command":"send","id":"0123ABCD-89AB-CDEF-0123-456789ABCDEF","data":"AQ","tag":""})", LineError::badData},
    };
    CommandParser parser(24576, Protocol::v2);
    for (const TagCase& c : cases) {
        const simdjson::padded_string padded(c.line);
        EXPECT_EQ(parser.check(padded), c.expected) << c.line;
        EXPECT_EQ(parser.tag(), c.tag) << c.line;
    }
    // Without tags, a tag is an extra key.
    EXPECT_EQ(parse(send + R"(,"tag":"a"})"), std::nullopt);
}

TEST(CommandParser, TakesDisconnectConnectAndPairInProtocol2Only) {
    const std::string idText = "0123ABCD-89AB-CDEF-0123-456789ABCDEF";
    const std::pair<std::string, std::variant<Command, LineError>> cases[] = {
        {R"({"command":"disconnect","id":")" + idText + "\"}", DisconnectCommand{id}},
        {R"({"id":"0123abcd-89ab-cdef-0123-456789abcdef","command":"connect"})", ConnectCommand{id}},
        {R"({"command":"disconnect","id":"0123ABCD"})", LineError::badId},
        {R"({"command":"connect","id":7})", LineError::notACommand},
        {R"({"command":"connect"})", LineError::notACommand},
        {R"({"command":"disconnect","id":")" + idText + R"(","tag":"a"})", LineError::notACommand},
        {R"({"command":"pair","id":")" + idText + R"(","passkey":12345})", PairCommand{id, {false, 12345}}},
        {R"({"command":"pair","id":")" + idText + R"(","passkey":0})", PairCommand{id, {false, 0}}},
        {R"({"command":"pair","id":")" + idText + R"(","passkey":999999})", PairCommand{id, {false, 999999}}},
        {R"({"command":"pair","id":")" + idText + R"(","confirm":true})", PairCommand{id, {true, std::nullopt}}},
        {R"({"confirm":false,"command":"pair","id":")" + idText + "\"}", PairCommand{id, {false, std::nullopt}}},
        {R"({"command":"pair","id":"x","confirm":true})", LineError::badId},
        {R"({"command":"pair","id":")" + idText + R"(","passkey":1000000})", LineError::notACommand},
        {R"({"command":"pair","id":")" + idText + R"(","passkey":-1})", LineError::notACommand},
        {R"({"command":"pair","id":")" + idText + R"(","passkey":"123456"})", LineError::notACommand},
        {R"({"command":"pair","id":")" + idText + R"(","passkey":1.5})", LineError::notACommand},
        {R"({"command":"pair","id":")" + idText + R"(","confirm":1})", LineError::notACommand},
        {R"({"command":"pair","id":")" + idText + R"(","confirm":true,"passkey":1})", LineError::notACommand},
        {R"({"command":"pair","id":")" + idText + "\"}", LineError::notACommand},
    };
    CommandParser version2(24576, Protocol::v2);
    for (const auto& [line, expected] : cases) {
        const simdjson::padded_string padded(line);
        EXPECT_EQ(version2.check(padded), expected) << line;
        // Protocol 1 knows none of them.
        EXPECT_EQ(parse(line), std::nullopt) << line;
    }
}

}  // namespace
}  // namespace protocol
