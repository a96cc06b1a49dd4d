// gattrelay-sim under hostile input and output: random bytes, a 1 GB line, lines of every length
// around the limit, input closed mid-line, output closed while events are due. Whatever comes,
// it ends with status 0, writes nothing to standard error, and its memory stays bounded.
#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "support/child_process.hpp"

namespace {

using testsupport::ChildProcess;
using namespace std::chrono_literals;

constexpr std::size_t limit = 24576;
const std::string peer = "5EC1A5E0-0000-4000-8000-000000000001";  // the demo world's echo peer
const std::string stop = "{\"command\":\"stop\"}\n";

std::string send(const std::string& data) {
    return R"({"command":"send","id":")" + peer + R"(","data":")" + data + "\"}\n";
}

// Peak resident memory so far, in kB, from the kernel's record of the process.
long peakKb(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// Ends by itself with status 0 and nothing on standard error; every line it wrote is an event.
void expectCleanEnd(ChildProcess& sim, ChildProcess::Timeout timeout = ChildProcess::defaultTimeout) {
    const auto rest = sim.readToEnd(timeout);
    ASSERT_TRUE(rest.has_value()) << "still running";
    for (std::size_t at = 0; at < rest->size();) {
        const std::size_t end = rest->find('\n', at);
        ASSERT_NE(end, std::string::npos) << "a torn last line";
        EXPECT_EQ(rest->compare(at, 1, "{"), 0) << rest->substr(at, end - at);
        EXPECT_EQ(rest->compare(end - 1, 1, "}"), 0) << rest->substr(at, end - at);
        at = end + 1;
    }
    EXPECT_EQ(sim.wait(timeout), 0);
    EXPECT_EQ(sim.errorOutput(), "");
}

void startDemo(ChildProcess& sim) {
    ASSERT_EQ(sim.readLine(), R"({"event":"hello","protocol":1})");
    ASSERT_EQ(sim.readLine(), R"({"event":"state","value":"ready"})");
    ASSERT_EQ(sim.readLine(), R"({"connected":true,"event":"peer","id":")" + peer + R"(","mtu":185})");
}

TEST(Abuse, RandomBytesAreDroppedAndEndOfInputEndsIt) {
    for (std::uint32_t seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        std::string input;
        while (input.size() < (1u << 20)) {
            switch (random() % 4) {
                case 0: input += send("AQID"); break;   // a valid send now and then
                case 1: input += "\r\n"; break;
                case 2: input += "{\"command\":"; break;
                default:
                    for (int n = static_cast<int>(random() % 200); n > 0; --n) input += static_cast<char>(random());
            }
        }
        // Random bytes may hold a line feed or not: either way no line comes near the limit.
        ChildProcess sim(GATTRELAY_SIM_PATH, {});
        startDemo(sim);
        ASSERT_TRUE(sim.write(input, 60s));
        sim.closeInput();
        expectCleanEnd(sim, 60s);
    }
}

TEST(Abuse, AGigabyteLineEndsItWithoutHoldingTheLine) {
    ChildProcess sim(GATTRELAY_SIM_PATH, {});
    startDemo(sim);
    const long before = peakKb(sim.pid());
    const std::string chunk(1 << 20, 'x');
    for (int i = 0; i < 1024; ++i) ASSERT_TRUE(sim.write(chunk, 60s)) << "stopped reading after " << i << " MB";
    // Still running: the line is over-long only once its end arrives.
    const long after = peakKb(sim.pid());
    ASSERT_GT(before, 0);
    ASSERT_GT(after, 0);
    EXPECT_LT(after - before, 16 * 1024) << "peak memory grew from " << before << " kB to " << after << " kB";
    std::cout << "peak resident memory: " << before << " kB at start, " << after << " kB after 1 GB of one line\n";
    ASSERT_TRUE(sim.write("\n"));
    expectCleanEnd(sim, 60s);
}

TEST(Abuse, AClientThatNeverReadsIsHeldInItsOwnWrite) {
    ChildProcess sim(GATTRELAY_SIM_PATH, {});
    startDemo(sim);
    // Every send is echoed, and nobody reads the events: the bridge's output fills, then the
    // commands it has taken in, then its input, and the client's write stops making progress.
    std::string sends;
    while (sends.size() < (64u << 20)) sends += send("AAECAwQFBgcICQoLDA0ODxAREhM=");
    int written = 0;
    while (written < 8 && sim.write(sends, 3s)) ++written;
    EXPECT_LT(written, 8) << "took 512 MB of sends without blocking the client";
    const long peak = peakKb(sim.pid());
    ASSERT_GT(peak, 0);
    EXPECT_LT(peak, 64 * 1024) << "peak resident memory " << peak << " kB";
    std::cout << "peak resident memory with a client that never reads: " << peak << " kB\n";
    // The input may end inside a line: its end stops the bridge, which then writes what is due.
    sim.closeInput();
    expectCleanEnd(sim, 60s);
}

TEST(Abuse, LinesOfEveryLengthAroundTheLimit) {
    struct Case {
        std::size_t length;  // bytes before the terminator
        const char* terminator;
        bool endsIt;
    };
    std::vector<Case> cases;
    for (std::size_t n = limit - 3; n <= limit + 3; ++n) {
        cases.push_back({n, "\n", n > limit});
        // The CR of a CR LF is terminator, not line: it never counts.
        cases.push_back({n, "\r\n", n > limit});
        // A CR with no LF after it is part of the line.
        cases.push_back({n, "\r\r\n", n + 1 > limit});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.length) + " bytes and " + std::to_string(std::string(c.terminator).size()) +
                     " of terminator");
        ChildProcess sim(GATTRELAY_SIM_PATH, {});
        startDemo(sim);
        ASSERT_TRUE(sim.write(std::string(c.length, ' ') + c.terminator));
        if (!c.endsIt) {
            // Still reading: the send after it is relayed.
            ASSERT_TRUE(sim.write(send("AQID")));
            EXPECT_EQ(sim.readLine(), R"({"accepted":true,"bytes":3,"event":"write","id":")" + peer + "\"}");
            ASSERT_TRUE(sim.write(stop));
        }
        expectCleanEnd(sim);
    }
}

TEST(Abuse, InputClosedMidLine) {
    for (const std::string& rest : {std::string("{\"command\":\"st"), std::string(limit + 10, 'x'),
                                    std::string("\xE2\x82"), send("AQID").substr(0, 40)}) {
        SCOPED_TRACE(rest.substr(0, 20));
        ChildProcess sim(GATTRELAY_SIM_PATH, {});
        startDemo(sim);
        ASSERT_TRUE(sim.write(rest));
        sim.closeInput();
        expectCleanEnd(sim);
    }
}

TEST(Abuse, OutputClosedWhileEventsAreDue) {
    ChildProcess sim(GATTRELAY_SIM_PATH, {});
    startDemo(sim);
    sim.closeOutput();
    // Every send is echoed: a "write" and a "frame" line are due for each, with nobody reading.
    std::string sends;
    for (int i = 0; i < 2000; ++i) sends += send("AAECAwQFBgcICQ==");
    ASSERT_TRUE(sim.write(sends, 60s));
    ASSERT_TRUE(sim.write(stop));
    EXPECT_EQ(sim.wait(60s), 0);
    EXPECT_EQ(sim.errorOutput(), "");
}

}  // namespace
