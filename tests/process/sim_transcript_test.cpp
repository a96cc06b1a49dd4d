// gattrelay-sim as a client sees it: the real executable on example worlds, in real time.
// Waits are bounded and end on the awaited line; lines whose relative order depends on timing
// are compared as a set.

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "support/child_process.hpp"

namespace {

using testsupport::ChildProcess;

const std::string hello = R"({"event":"hello","protocol":1})";
const std::string ready = R"({"event":"state","value":"ready"})";

std::string world(const std::string& name) { return std::string(GATTRELAY_WORLDS_DIR) + "/" + name; }

std::string peer(const std::string& id, bool connected, int mtu) {
    return std::string(R"({"connected":)") + (connected ? "true" : "false") + R"(,"event":"peer","id":")" + id +
           R"(","mtu":)" + std::to_string(mtu) + "}";
}

std::string send(const std::string& id, const std::string& data) {
    return R"({"command":"send","id":")" + id + R"(","data":")" + data + "\"}\n";
}

std::string written(const std::string& id, bool accepted, int bytes) {
    return std::string(R"({"accepted":)") + (accepted ? "true" : "false") + R"(,"bytes":)" + std::to_string(bytes) +
           R"(,"event":"write","id":")" + id + "\"}";
}

std::string frame(const std::string& id, const std::string& data) {
    return R"({"data":")" + data + R"(","event":"frame","id":")" + id + "\"}";
}

std::vector<std::string> sorted(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

// Stops the bridge and checks that it ends as the bridge always does.
void expectCleanStop(ChildProcess& sim) {
    ASSERT_TRUE(sim.write("{\"command\":\"stop\"}\n"));
    EXPECT_EQ(sim.readToEnd(), "");
    EXPECT_EQ(sim.wait(), 0);
    EXPECT_EQ(sim.errorOutput(), "");
}

TEST(SimTranscript, TheDemoWorldIsEchoJsonAndEchoesEveryFrame) {
    const std::string id = "5EC1A5E0-0000-4000-8000-000000000001";
    for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{world("echo.json")}}) {
        SCOPED_TRACE(args.empty() ? "built-in" : args[0]);
        ChildProcess sim(GATTRELAY_SIM_PATH, args);
        EXPECT_EQ(sim.readLines(3), (std::vector<std::string>{hello, ready, peer(id, true, 185)}));
        ASSERT_TRUE(sim.write(send(id, "aGVsbG8=") + send(id, "Lz8+")));
        EXPECT_EQ(sorted(sim.readLines(4)), sorted({written(id, true, 5), frame(id, "aGVsbG8="), written(id, true, 3),
                                                     frame(id, "Lz8+")}));
        expectCleanStop(sim);
    }
}

TEST(SimTranscript, InterruptTerminateAndHangUpStopItAsStopDoes) {
    const std::string id = "5EC1A5E0-0000-4000-8000-000000000001";
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        ChildProcess sim(GATTRELAY_SIM_PATH, {});
        EXPECT_EQ(sim.readLines(3), (std::vector<std::string>{hello, ready, peer(id, true, 185)}));
        ASSERT_TRUE(sim.write(send(id, "AQID")));
        EXPECT_EQ(sorted(sim.readLines(2)), sorted({written(id, true, 3), frame(id, "AQID")}));
        // The input stays open: the reader is waiting for it when the signal comes.
        ASSERT_EQ(::kill(sim.pid(), signal), 0);
        EXPECT_EQ(sim.readToEnd(), "");
        EXPECT_EQ(sim.wait(), 0);
        EXPECT_EQ(sim.errorOutput(), "");
    }
}

TEST(SimTranscript, AnEmptyWorldStopsAtEndOfInput) {
    char path[] = "/tmp/sim_transcript_XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "{}", 2), 2);
    ::close(fd);
    ChildProcess sim(GATTRELAY_SIM_PATH, {path});
    EXPECT_EQ(sim.readLines(2), (std::vector<std::string>{hello, ready}));
    sim.closeInput();
    EXPECT_EQ(sim.readToEnd(), "");
    EXPECT_EQ(sim.wait(), 0);
    EXPECT_EQ(sim.errorOutput(), "");
    std::remove(path);
}

TEST(SimTranscript, AWriteThatAlwaysFailsIsReportedNotAccepted) {
    const std::string id = "5EC1A5E0-0000-4000-8000-000000000003";
    ChildProcess sim(GATTRELAY_SIM_PATH, {world("writes-fail.json")});
    EXPECT_EQ(sim.readLines(3), (std::vector<std::string>{hello, ready, peer(id, true, 185)}));
    ASSERT_TRUE(sim.write(send(id, "AQID")));
    EXPECT_EQ(sim.readLine(), written(id, false, 3));
    expectCleanStop(sim);
}

TEST(SimTranscript, AFlakyPeerRetriesWritesAndComesBackAfterDisconnecting) {
    const std::string id = "5EC1A5E0-0000-4000-8000-000000000002";
    ChildProcess sim(GATTRELAY_SIM_PATH, {world("flaky.json")});
    EXPECT_EQ(sim.readLines(3), (std::vector<std::string>{hello, ready, peer(id, true, 185)}));
    // Each frame's first attempt fails and its retry succeeds; the 6th write fails too and
    // the peer then drops the connection, losing the third frame, and is found again.
    ASSERT_TRUE(sim.write(send(id, "AQ==") + send(id, "AgI=") + send(id, "AwMD")));
    EXPECT_EQ(sorted(sim.readLines(4)),
              sorted({written(id, true, 1), frame(id, "AQ=="), written(id, true, 2), frame(id, "AgI=")}));
    EXPECT_EQ(sim.readLines(2), (std::vector<std::string>{peer(id, false, 185), peer(id, true, 185)}));
    ASSERT_TRUE(sim.write(send(id, "BA==")));
    EXPECT_EQ(sorted(sim.readLines(2)), sorted({written(id, true, 1), frame(id, "BA==")}));
    expectCleanStop(sim);
}

TEST(SimTranscript, APeripheralThatFailsSetUpIsReportedGone) {
    const struct {
        const char* world;
        std::string id;
    } cases[] = {
        {"no-service.json", "5EC1A5E0-0000-4000-8000-000000000004"},
        {"connect-fails.json", "5EC1A5E0-0000-4000-8000-000000000005"},
        {"services-fail.json", "5EC1A5E0-0000-4000-8000-000000000006"},
        {"characteristics-fail.json", "5EC1A5E0-0000-4000-8000-000000000007"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.world);
        ChildProcess sim(GATTRELAY_SIM_PATH, {world(c.world)});
        EXPECT_EQ(sim.readLines(3), (std::vector<std::string>{hello, ready, peer(c.id, false, 23)}));
        expectCleanStop(sim);
    }
}

TEST(SimTranscript, AWorldThatCannotBeLoadedEndsWithStatus2BeforeAnyOutput) {
    char path[] = "/tmp/sim_transcript_XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string bad = R"({"peripherals": [{"id": "5EC1A5E0-0000-4000-8000-000000000001", "wirte": 1}]})";
    ASSERT_EQ(::write(fd, bad.data(), bad.size()), static_cast<ssize_t>(bad.size()));
    ::close(fd);
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    const Case cases[] = {
        {{path}, std::string("gattrelay-sim: ") + path + ": peripherals[0].wirte: unknown key\n"},
        {{"/nonexistent/world.json"}, "gattrelay-sim: /nonexistent/world.json: cannot open: No such file or directory\n"},
        {{"/dev/zero"}, "gattrelay-sim: /dev/zero: larger than 16 MiB\n"},
        {{world("echo.json"), world("echo.json")}, "gattrelay-sim: unexpected argument '" + world("echo.json") + "' (see gattrelay-sim --help)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        ChildProcess sim(GATTRELAY_SIM_PATH, c.args);
        EXPECT_EQ(sim.readToEnd(), "");
        EXPECT_EQ(sim.wait(), 2);
        EXPECT_EQ(sim.errorOutput(), c.error);
    }
    std::remove(path);
}

}  // namespace
