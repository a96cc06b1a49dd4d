// Both executables' command lines, and a short session of each protocol-2 feature through
// gattrelay-sim over real pipes.
#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <optional>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "support/child_process.hpp"

namespace {

using testsupport::ChildProcess;

const std::string peer = "5EC1A5E0-0000-4000-8000-000000000001";

std::string world(const std::string& name) { return std::string(GATTRELAY_WORLDS_DIR) + "/" + name; }

struct Finished {
    std::string out;
    std::string err;
    std::optional<int> status;
};

Finished run(const std::string& path, const std::vector<std::string>& args) {
    ChildProcess child(path, args);
    child.closeInput();
    Finished r;
    r.out = child.readToEnd().value_or("(timeout)");
    r.status = child.wait();
    r.err = child.errorOutput();
    return r;
}

TEST(CommandLine, HelpVersionAndABadOptionOfBothPrograms) {
    for (const auto& [path, name, backend] : {std::tuple{GATTRELAY_PATH, "gattrelay", "bluez"},
                                              std::tuple{GATTRELAY_SIM_PATH, "gattrelay-sim", "sim"}}) {
        SCOPED_TRACE(name);
        const Finished help = run(path, {"--help"});
        EXPECT_EQ(help.out.rfind(std::string("usage: ") + name + " [OPTIONS]", 0), 0u) << help.out;
        EXPECT_NE(help.out.find("--protocol"), std::string::npos);
        EXPECT_EQ(help.err, "");
        EXPECT_EQ(help.status, 0);

        const Finished version = run(path, {"--version"});
        EXPECT_EQ(version.out, std::string(name) + " " GATTRELAY_VERSION " (protocols 1 2; backend " + backend + ")\n");
        EXPECT_EQ(version.err, "");
        EXPECT_EQ(version.status, 0);

        for (const std::vector<std::string>& bad : {std::vector<std::string>{"--bogus"},
                                                    std::vector<std::string>{"--protocol", "3"},
                                                    std::vector<std::string>{"-v", "-v"}}) {
            const Finished r = run(path, bad);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.status, 2);
            EXPECT_EQ(r.err.rfind(std::string(name) + ": ", 0), 0u) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
            EXPECT_NE(r.err.find(bad[0]), std::string::npos) << r.err;
            EXPECT_TRUE(r.err.ends_with(std::string(" (see ") + name + " --help)\n")) << r.err;
        }
    }
}

TEST(CommandLine, AProtocol2SessionOverPipes) {
    ChildProcess sim(GATTRELAY_SIM_PATH, {"--protocol", "2", "--", world("echo.json")});
    EXPECT_EQ(sim.readLines(3),
              (std::vector<std::string>{R"({"event":"hello","protocol":2,"version":")" GATTRELAY_VERSION "\"}",
                                        R"({"event":"state","value":"ready"})",
                                        R"({"connected":true,"event":"peer","id":")" + peer + R"(","mtu":185})"}));
    ASSERT_TRUE(sim.write("nope\r\n" + std::string(30000, ' ') + "\n" +
                          R"({"command":"send","id":"00000000-0000-4000-8000-000000000009","data":"aGk=","tag":"u"})" +
                          "\n"));
    EXPECT_EQ(sim.readLines(3),
              (std::vector<std::string>{
                  R"({"event":"rejected","line":1,"reason":"not_json"})",
                  R"({"event":"rejected","line":2,"reason":"too_long"})",
                  R"({"accepted":false,"bytes":2,"event":"write","id":"00000000-0000-4000-8000-000000000009",)"
                  R"("reason":"unknown_peer","tag":"u"})"}));
    ASSERT_TRUE(sim.write(R"({"command":"send","id":")" + peer + R"(","data":"aGVsbG8=","tag":"m\/1"})" + "\n"));
    auto lines = sim.readLines(2);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{
                         R"({"accepted":true,"bytes":5,"event":"write","id":")" + peer + R"(","tag":"m\/1"})",
                         R"({"data":"aGVsbG8=","event":"frame","id":")" + peer + "\"}"}));
    ASSERT_TRUE(sim.write("{\"command\":\"stop\"}\n"));
    EXPECT_EQ(sim.readToEnd(), "");
    EXPECT_EQ(sim.wait(), 0);
    EXPECT_EQ(sim.errorOutput(), "");
}

TEST(CommandLine, VerboseExplainsOnStandardErrorAndOnlyWhenAsked) {
    for (const bool verbose : {false, true}) {
        SCOPED_TRACE(verbose ? "-v" : "quiet");
        ChildProcess sim(GATTRELAY_SIM_PATH, verbose ? std::vector<std::string>{"-v"} : std::vector<std::string>{});
        EXPECT_EQ(sim.readLines(3).size(), 3u);
        ASSERT_TRUE(sim.write("[1]\n{\"command\":\"stop\"}\n"));
        EXPECT_EQ(sim.readToEnd(), "");
        EXPECT_EQ(sim.wait(), 0);
        if (!verbose) {
            EXPECT_EQ(sim.errorOutput(), "");
            continue;
        }
        // Each line: the program, the milliseconds since start, what happened; the first line also
        // the wall-clock time.
        const std::string all = sim.errorOutput();
        EXPECT_TRUE(std::regex_search(all, std::regex("^gattrelay-sim: [0-9]+ ms \\(20[0-9]{2}-[0-9]{2}-[0-9]{2}T"
                                                      "[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z\\): adapter state ready")))
            << all;
        EXPECT_EQ(all.find(" ms ("), all.rfind(" ms (")) << all;
        const std::string err = std::regex_replace(
            sim.errorOutput(), std::regex("^gattrelay-sim: [0-9]+ ms( \\([^)]*\\))?: ", std::regex::multiline), "");
        for (const std::string& expected :
             {std::string("adapter state ready\n"), "peer " + peer + ": found, connecting\n",
              "peer " + peer + ": ready, write limit 182\n", std::string("line 1 rejected: not_a_command\n")})
            EXPECT_NE(err.find(expected), std::string::npos) << err;
        EXPECT_EQ(err.find("gattrelay-sim"), std::string::npos) << err;
    }
}

// With -v the last line says why the bridge is exiting.
TEST(CommandLine, VerboseSaysLastWhyTheBridgeExits) {
    const struct {
        const char* cause;
        void (*end)(ChildProcess&);
    } cases[] = {
        {"stop", [](ChildProcess& sim) { ASSERT_TRUE(sim.write("{\"command\":\"stop\"}\n")); }},
        {"end of input", [](ChildProcess& sim) { sim.closeInput(); }},
        {"over-long line", [](ChildProcess& sim) { ASSERT_TRUE(sim.write(std::string(30000, 'x') + "\n")); }},
        {"signal", [](ChildProcess& sim) { ::kill(sim.pid(), SIGTERM); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cause);
        ChildProcess sim(GATTRELAY_SIM_PATH, {"-v"});
        EXPECT_EQ(sim.readLines(3).size(), 3u);
        c.end(sim);
        sim.readToEnd();
        EXPECT_EQ(sim.wait(), 0);
        const std::string err = sim.errorOutput();
        const std::string last = "exiting: " + std::string(c.cause) + "\n";
        EXPECT_TRUE(err.size() >= last.size() && err.compare(err.size() - last.size(), last.size(), last) == 0) << err;
    }
}

}  // namespace

namespace {

std::string neighbour(int n) { return "5EC1A5E0-0000-4000-8000-00000000000" + std::to_string(n); }

TEST(CommandLine, ListWritesOneFoundLinePerPeripheralItsFiltersLetThroughAndExits) {
    const std::string kit1 = R"({"address":"AA:BB:CC:00:00:01","event":"found","id":")" + neighbour(1) +
                             R"(","name":"Kit-1","rssi":-48})";
    // Kit-2 is listed at its first report, or at its second, once it is strong enough.
    const std::string kit2 = R"({"address":"AA:BB:CC:00:00:02","event":"found","id":")" + neighbour(2) +
                             R"(","name":"Kit-2","rssi":-88})";
    const std::string kit2Closer = R"({"address":"AA:BB:CC:00:00:02","event":"found","id":")" + neighbour(2) +
                                   R"(","name":"Kit-2","rssi":-61})";
    const std::string third =
        R"({"address":"AA:BB:CC:00:00:03","event":"found","id":")" + neighbour(3) + R"(","rssi":-70})";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--list", "1"}, kit1 + "\n" + kit2 + "\n" + third + "\n"},
        {{"--list", "1", "--min-rssi", "-65"}, kit1 + "\n" + kit2Closer + "\n"},
        {{"--list", "1", "--name", "Kit", "--peer", "aa:bb:cc:00:00:02", "--peer", neighbour(3)}, kit2 + "\n"},
    };
    for (const auto& [args, expected] : cases) {
        std::vector<std::string> all = args;
        all.push_back(world("neighbours.json"));
        const Finished r = run(GATTRELAY_SIM_PATH, all);
        EXPECT_EQ(r.out, expected) << args.back();
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
}

TEST(CommandLine, ListWithVerboseSaysWhenTheScanStartsAndEnds) {
    const Finished r = run(GATTRELAY_SIM_PATH, {"--list", "1", "-v", world("neighbours.json")});
    EXPECT_EQ(r.status, 0);
    const std::string err = std::regex_replace(r.err, std::regex("^gattrelay-sim: [0-9]+ ms( \\([^)]*\\))?: ",
                                                                 std::regex::multiline), "");
    EXPECT_NE(err.find("scan started for service A3E5B7C9-5D1F-4E2A-9B6C-000000000001\n"), std::string::npos) << err;
    EXPECT_TRUE(err.ends_with("scan ended: 3 peripherals found\n")) << err;
}

TEST(CommandLine, ListOnAnUnavailableAdapterSaysWhyAndFails) {
    const Finished r = run(GATTRELAY_SIM_PATH, {"--list", "--", world("adapter-blocked.json")});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "gattrelay-sim: adapter unavailable: powered_off, blocked\n");
    EXPECT_EQ(r.status, 1);
}

}  // namespace
