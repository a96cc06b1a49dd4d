// --record on the real executable: the session's output is the same with or without it, the
// file holds what the stack said, and a file it cannot record to is said once.

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "support/child_process.hpp"

namespace {

using testsupport::ChildProcess;

const std::string echoPeer = "5EC1A5E0-0000-4000-8000-000000000001";
const std::string flakyPeer = "5EC1A5E0-0000-4000-8000-000000000002";

std::string world(const std::string& name) { return std::string(GATTRELAY_WORLDS_DIR) + "/" + name; }

std::string send(const std::string& id, const std::string& data) {
    return R"({"command":"send","id":")" + id + R"(","data":")" + data + "\"}\n";
}

// A file name in a fresh directory, removed with it.
class Scratch {
public:
    Scratch() {
        char pattern[] = "/tmp/record_test_XXXXXX";
        dir_ = ::mkdtemp(pattern);
    }
    ~Scratch() {
        for (const std::string& name : made_) ::unlink(name.c_str());
        ::rmdir(dir_.c_str());
    }
    std::string file(const std::string& name) {
        made_.push_back(dir_ + "/" + name);
        return made_.back();
    }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
    std::vector<std::string> made_;
};

std::vector<std::string> fileLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The flaky world's session: frames whose first attempt fails and is retried, a drop at the
// fifth write (the third frame's first attempt, lost with the connection), the peer found
// again, and a frame that also meets the seventh write's failure. Its output, sorted: the order
// of lines that happen at one instant depends on timing.
std::vector<std::string> flakySession(const std::vector<std::string>& args) {
    ChildProcess sim(GATTRELAY_SIM_PATH, args);
    std::vector<std::string> lines = sim.readLines(3);
    // Each frame's outcome and its echo; for the third, the peer going and coming back.
    for (const char* data : {"AQ==", "Ag==", "Aw==", "BA=="}) {
        EXPECT_TRUE(sim.write(send(flakyPeer, data)));
        for (auto& line : sim.readLines(2)) lines.push_back(line);
    }
    EXPECT_TRUE(sim.write("{\"command\":\"stop\"}\n"));
    EXPECT_EQ(sim.readToEnd(), "");
    EXPECT_EQ(sim.wait(), 0);
    EXPECT_EQ(sim.errorOutput(), "");
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST(Record, TheOutputIsTheSameWithOrWithoutARecording) {
    Scratch scratch;
    const std::string path = scratch.file("flaky.jsonl");
    const auto without = flakySession({world("flaky.json")});
    const auto with = flakySession({"--record", path, world("flaky.json")});
    EXPECT_EQ(with, without);
    ASSERT_EQ(without.size(), 11u);

    const auto recording = fileLines(path);
    ASSERT_GE(recording.size(), 2u);
    EXPECT_TRUE(contains(recording[0], R"({"format":"gattrelay-recording","version":1,"program":"gattrelay-sim",)"));
    const auto count = [&](const std::string& part) {
        return std::count_if(recording.begin(), recording.end(), [&](const std::string& l) { return contains(l, part); });
    };
    EXPECT_EQ(count(R"("event":"write",)"), 8);
    EXPECT_EQ(count(R"("event":"written","peer":")" + flakyPeer + R"(","ok":false)"), 5);
    EXPECT_EQ(count(R"("event":"disconnect",)"), 1);
    EXPECT_EQ(count(R"("event":"discover",)"), 2);
    EXPECT_EQ(count(R"("event":"notify","peer":")" + flakyPeer + R"(","length":1,"data":"BA==")"), 1);
}

TEST(Record, AReplayGivesTheRecordedSessionBackAndPrintsAsAWorld) {
    Scratch scratch;
    const std::string recording = scratch.file("flaky.jsonl");
    const auto recorded = flakySession({"--record", recording, world("flaky.json")});
    EXPECT_EQ(flakySession({"--replay", recording}), recorded);

    // The printed world is the same data: run as a world file, it gives the same session.
    const std::string worldFile = scratch.file("flaky-world.json");
    {
        ChildProcess print(GATTRELAY_SIM_PATH, {"--replay", recording, "--print-world"});
        const auto text = print.readToEnd();
        ASSERT_TRUE(text);
        EXPECT_EQ(print.wait(), 0);
        EXPECT_EQ(print.errorOutput(), "");
        std::ofstream(worldFile) << *text;
    }
    ChildProcess sim(GATTRELAY_SIM_PATH, {worldFile});
    EXPECT_EQ(sim.readLines(3).size(), 3u);
    sim.closeInput();
    EXPECT_TRUE(sim.readToEnd());
    EXPECT_EQ(sim.wait(), 0);
    EXPECT_EQ(sim.errorOutput(), "");
}

TEST(Record, AClientThatGoesPastTheRecordingIsToldOnStandardError) {
    Scratch scratch;
    const std::string recording = scratch.file("echo.jsonl");
    {
        ChildProcess sim(GATTRELAY_SIM_PATH, {"--record", recording});
        sim.readLines(3);
        ASSERT_TRUE(sim.write(send(echoPeer, "AQ==")));
        sim.readLines(2);
        sim.closeInput();
        EXPECT_EQ(sim.readToEnd(), "");
    }
    ChildProcess sim(GATTRELAY_SIM_PATH, {"--replay", recording});
    sim.readLines(3);
    ASSERT_TRUE(sim.write(send(echoPeer, "AQ==")));
    EXPECT_EQ(sim.readLines(2).size(), 2u);
    // Two writes more than recorded: each succeeds with no notification; said once.
    for (const char* data : {"Ag==", "Aw=="}) {
        ASSERT_TRUE(sim.write(send(echoPeer, data)));
        EXPECT_EQ(sim.readLine(), R"({"accepted":true,"bytes":1,"event":"write","id":")" + echoPeer + "\"}");
    }
    sim.closeInput();
    EXPECT_EQ(sim.readToEnd(), "");
    EXPECT_EQ(sim.wait(), 0);
    EXPECT_EQ(sim.errorOutput(), "gattrelay-sim: peer " + echoPeer +
                                     ": write 2 of a connection goes past the script; it and any later one succeed "
                                     "at once with no notification\n");
}

TEST(Record, ABadRecordingIsRefusedWithItsLineAndStatus2) {
    Scratch scratch;
    const std::string recording = scratch.file("cut.jsonl");
    std::ofstream(recording) << R"({"format":"gattrelay-recording","version":1,"program":"gattrelay",)"
                                R"("programVersion":"0.2.0","options":{}})"
                                "\n{\"t\":3,\"event\":\"sta";
    for (const auto& args : {std::vector<std::string>{"--replay", recording},
                             std::vector<std::string>{"--replay", recording, "--print-world"}}) {
        ChildProcess sim(GATTRELAY_SIM_PATH, args);
        EXPECT_EQ(sim.readToEnd(), "");
        EXPECT_EQ(sim.wait(), 2);
        EXPECT_EQ(sim.errorOutput(),
                  "gattrelay-sim: " + recording + ":2: the last line is cut short (no line feed at its end)\n");
    }
}

TEST(Record, LengthsOnlyKeepsTheLengthsAndZeroesTheBytes) {
    Scratch scratch;
    const std::string path = scratch.file("echo.jsonl");
    {
        ChildProcess sim(GATTRELAY_SIM_PATH, {"--record", path, "--record-lengths-only"});
        sim.readLines(3);
        ASSERT_TRUE(sim.write(send(echoPeer, "aGVsbG8=")));
        sim.readLines(2);
        sim.closeInput();
        EXPECT_EQ(sim.readToEnd(), "");
        EXPECT_EQ(sim.wait(), 0);
    }
    const auto recording = fileLines(path);
    std::string all;
    for (const auto& line : recording) all += line + "\n";
    EXPECT_FALSE(contains(all, "aGVsbG8=")) << all;
    EXPECT_TRUE(contains(all, R"("event":"write","peer":")" + echoPeer + R"(","length":5,"data":"AAAAAAA=")")) << all;
    EXPECT_TRUE(contains(all, R"("event":"notify","peer":")" + echoPeer + R"(","length":5,"data":"AAAAAAA=")")) << all;
}

TEST(Record, ASessionIsWrittenWithinASecondAndAtATerminationSignal) {
    Scratch scratch;
    const std::string path = scratch.file("echo.jsonl");
    // A recording is appended to what the file held.
    std::ofstream(path) << "earlier\n";
    ChildProcess sim(GATTRELAY_SIM_PATH, {"--record", path});
    sim.readLines(3);
    ASSERT_TRUE(sim.write(send(echoPeer, "AQID")));
    sim.readLines(2);
    // The write is in the file while the bridge runs, within the flush interval.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    const std::string written = R"("event":"written","peer":")" + echoPeer + R"(","ok":true)";
    const auto holdsWritten = [&] {
        const auto lines = fileLines(path);
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return contains(l, written); });
    };
    while (!holdsWritten() && std::chrono::steady_clock::now() < deadline) ::usleep(20'000);
    EXPECT_TRUE(holdsWritten());
    ASSERT_TRUE(sim.write(send(echoPeer, "BAUG")));
    sim.readLines(2);
    ASSERT_EQ(::kill(sim.pid(), SIGTERM), 0);
    EXPECT_EQ(sim.readToEnd(), "");
    EXPECT_EQ(sim.wait(), 0);
    const auto lines = fileLines(path);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "earlier");
    EXPECT_TRUE(contains(lines[1], R"({"format":"gattrelay-recording")"));
    // The second frame, written after the first flush, is there too, and the stop's cancel.
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return contains(l, "BAUG"); }), 2);
    EXPECT_TRUE(contains(lines.back(), R"("event":"cancel")")) << lines.back();
}

TEST(Record, AFileThatCannotBeRecordedToIsRefusedAtStart) {
    Scratch scratch;
    struct Case {
        std::string path;
        std::string error;
    };
    for (const auto& [path, error] : std::vector<Case>{
             {"-", "gattrelay-sim: bad value '-' for option '--record': expected a file name (standard output "
                   "carries the events) (see gattrelay-sim --help)\n"},
             {scratch.dir(), "gattrelay-sim: cannot record to '" + scratch.dir() + "': Is a directory\n"},
             {scratch.dir() + "/missing/x.jsonl",
              "gattrelay-sim: cannot record to '" + scratch.dir() + "/missing/x.jsonl': No such file or directory\n"},
         }) {
        SCOPED_TRACE(path);
        for (const char* front : {"", "--mqtt=mqtt://127.0.0.1:1"}) {
            std::vector<std::string> args{"--record", path};
            if (*front) args.push_back(front);
            ChildProcess sim(GATTRELAY_SIM_PATH, args);
            EXPECT_EQ(sim.readToEnd(), "");
            EXPECT_EQ(sim.wait(), 2);
            EXPECT_EQ(sim.errorOutput(), error);
        }
    }
}

TEST(Record, AFailedWriteIsSaidOnceAndTheBridgeCarriesOn) {
    ChildProcess sim(GATTRELAY_SIM_PATH, {"--record", "/dev/full"});
    EXPECT_EQ(sim.readLines(3).size(), 3u);
    for (const char* data : {"AQ==", "Ag==", "Aw=="}) {
        ASSERT_TRUE(sim.write(send(echoPeer, data)));
        EXPECT_EQ(sim.readLines(2).size(), 2u);
    }
    sim.closeInput();
    EXPECT_EQ(sim.readToEnd(), "");
    EXPECT_EQ(sim.wait(), 0);
    EXPECT_EQ(sim.errorOutput(),
              "gattrelay-sim: cannot write the recording '/dev/full': No space left on device; recording stops\n");
}

TEST(Record, TheBlueZProgramTakesTheSameOptions) {
    ChildProcess bluez(GATTRELAY_PATH, {"--record", "-"});
    EXPECT_EQ(bluez.readToEnd(), "");
    EXPECT_EQ(bluez.wait(), 2);
    EXPECT_EQ(bluez.errorOutput(), "gattrelay: bad value '-' for option '--record': expected a file name (standard "
                                   "output carries the events) (see gattrelay --help)\n");
}

}  // namespace
