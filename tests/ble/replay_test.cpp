// Recordings that cannot be replayed are refused with the line and the problem, and a world's
// connection scripts are checked as strictly as every other key.

#include "ble/sim/replay.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "ble/sim/world_file.hpp"

namespace {

const std::string header =
    R"({"format":"gattrelay-recording","version":1,"program":"gattrelay","programVersion":"0.2.0","options":{}})"
    "\n";
const std::string peer = "5EC1A5E0-0000-4000-8000-00000000000A";
const std::string discover = R"({"t":5,"event":"discover","peer":")" + peer + "\"}\n";
const std::string connect = R"({"t":6,"event":"connect","peer":")" + peer + "\"}\n";

TEST(Replay, BadRecordingsAreRefusedWithTheLineAndTheProblem) {
    struct Case {
        std::string text;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"", "r.jsonl:1: empty: not a gattrelay recording"},
        {header + discover.substr(0, 20), "r.jsonl:2: the last line is cut short (no line feed at its end)"},
        {header + "{\"t\":1,\n", "r.jsonl:2: not JSON"},
        {R"({"format":"gattrelay-recording","version":2,"program":"x","programVersion":"9","options":{}})"
         "\n",
         "r.jsonl:1: unknown version 2 (this program reads version 1)"},
        {R"({"format":"something else","version":1,"program":"x","programVersion":"9","options":{}})"
         "\n",
         "r.jsonl:1: not a gattrelay recording"},
        {header + discover + R"({"t":4,"event":"connect","peer":")" + peer + "\"}\n",
         "r.jsonl:3: lines out of time order (4 after 5)"},
        {header + R"({"t":9,"event":"written","peer":")" + peer + "\",\"ok\":true}\n",
         "r.jsonl:2: peer " + peer + " was never discovered"},
        {header + discover + connect + R"({"t":9,"event":"written","peer":")" + peer + "\",\"ok\":true}\n",
         "r.jsonl:4: an answer to no write"},
        {header + discover + R"({"t":9,"event":"notify","peer":")" + peer + "\",\"length\":1,\"data\":\"AQ==\"}\n",
         "r.jsonl:3: peer " + peer + " has no connection under way"},
        {header + discover + connect + R"({"t":9,"event":"write","peer":")" + peer + "\",\"length\":2,\"data\":\"AQ==\"}\n",
         "r.jsonl:4: \"data\" does not hold \"length\" bytes"},
        {header + R"({"t":1,"event":"state","state":5,"reason":"","colour":1})" "\n", "r.jsonl:2: unknown key \"colour\""},
        {header + R"({"t":1,"event":"teleport"})" "\n", "r.jsonl:2: unknown event \"teleport\""},
        {header + R"({"t":-1,"event":"state","state":5,"reason":""})" "\n",
         "r.jsonl:2: \"t\" must be an integer from 0 to 2147483647"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const sim::ReplayResult result = sim::worldFromRecording(c.text, "r.jsonl");
        EXPECT_FALSE(result.worldText);
        EXPECT_EQ(result.error, c.error);
    }
}

// BlueZ ends the connections before it reports the adapter off: those drops are the adapter's,
// replayed at their times; a drop with another line before the adapter's step is the device's own.
TEST(Replay, DropsRightBeforeTheAdapterGoesOffKeepTheirTimes) {
    const auto line = [](int t, const std::string& rest) {
        return R"({"t":)" + std::to_string(t) + R"(,"event":)" + rest + "}\n";
    };
    const std::string on = line(0, R"("state","state":5,"reason":"")");
    const std::string connected = discover + connect + line(8, R"("connected","peer":")" + peer + "\"");
    const std::string drop = line(50, R"("disconnect","peer":")" + peer + R"(","error":true)");
    const std::string off = line(60, R"("state","state":4,"reason":"")");
    const std::string other = line(55, R"("state","state":5,"reason":"blocked")");
    struct Case {
        std::string recording;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {header + on + connected + drop + off, R"("disconnectAt": [50], "connections": [)"},
        {header + on + connected + drop + other + off, R"("drop": {"afterWrites": 0, "after": 42})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.recording);
        const sim::ReplayResult result = sim::worldFromRecording(c.recording, "r.jsonl");
        ASSERT_TRUE(result.worldText) << result.error;
        EXPECT_NE(result.worldText->find(c.expected), std::string::npos) << *result.worldText;
        EXPECT_TRUE(sim::parseWorld(*result.worldText, "w").world);
    }
}

TEST(Replay, ConnectionScriptsAreCheckedLikeEveryKey) {
    struct Case {
        std::string connections;
        std::string error;
    };
    const std::vector<Case> cases = {
        {R"([{"wrties": []}])", "w.json: peripherals[0].connections[0].wrties: unknown key"},
        {R"([{"writes": [{"after": -1}]}])",
         "w.json: peripherals[0].connections[0].writes[0].after: must be from 0 to 2147483647, not -1"},
        {R"([{"writes": [{"notify": [{"after": 1, "data": "A"}]}]}])",
         "w.json: peripherals[0].connections[0].writes[0].notify[0].data: not base64 (standard alphabet, padded with "
         "\"=\")"},
        {R"([{"writes": [{"after": 3, "notify": [{"after": -4, "data": "AQ=="}]}]}])",
         "w.json: peripherals[0].connections[0].writes[0].notify[0].after: must be from -3 to 2147483647, not -4"},
        {R"([{"notifications": [{"after": -1, "data": "AQ=="}]}])",
         "w.json: peripherals[0].connections[0].notifications[0].after: must be from 0 to 2147483647, not -1"},
        {R"([{"drop": {"afterWrites": 1, "at": 3}}])", "w.json: peripherals[0].connections[0].drop.at: unknown key"},
        {R"([{"readvertiseAfter": 0}])",
         "w.json: peripherals[0].connections[0].readvertiseAfter: must be from 1 to 2147483647, not 0"},
        {R"([{"fails": 1}])", "w.json: peripherals[0].connections[0].fails: expected true or false, found an integer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.connections);
        const auto loaded =
            sim::parseWorld(R"({"peripherals":[{"id":")" + peer + R"(","connections":)" + c.connections + "}]}", "w.json");
        EXPECT_FALSE(loaded.world);
        EXPECT_EQ(loaded.error, c.error);
    }
    const auto loaded = sim::parseWorld(
        R"({"peripherals":[{"id":")" + peer +
            R"(","connections":[{"fails":true,"readvertiseAfter":5},{"delays":{"connect":3},"subscribeFails":true,
            "writes":[{"fails":true,"after":4,"notify":[{"after":40,"data":"AQ=="}]}],
            "notifications":[{"after":7,"data":""}],"drop":{"afterWrites":1,"after":2}}]}]})",
        "w.json");
    ASSERT_TRUE(loaded.world) << loaded.error;
    const auto& scripts = loaded.world->peripherals.at(0).connections;
    ASSERT_EQ(scripts.size(), 2u);
    EXPECT_TRUE(scripts[0].fails);
    EXPECT_EQ(scripts[0].readvertiseAfter, sim::Ms{5});
    EXPECT_EQ(scripts[1].delays.connect, sim::Ms{3});
    EXPECT_TRUE(scripts[1].subscribeFails);
    ASSERT_EQ(scripts[1].writes.size(), 1u);
    EXPECT_TRUE(scripts[1].writes[0].fails);
    EXPECT_EQ(scripts[1].writes[0].after, sim::Ms{4});
    EXPECT_EQ(scripts[1].writes[0].notify.at(0).after, sim::Ms{40});
    EXPECT_EQ(scripts[1].notifications.at(0).after, sim::Ms{7});
    ASSERT_TRUE(scripts[1].drop);
    EXPECT_EQ(scripts[1].drop->afterWrites, 1u);
    EXPECT_EQ(scripts[1].drop->after, sim::Ms{2});
}

}  // namespace
