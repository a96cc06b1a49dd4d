// The command stream of the real executable, on a world of one powered-on adapter and no peers.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>

#include "support/child_process.hpp"

namespace {

using testsupport::ChildProcess;

constexpr std::string_view hello = R"({"event":"hello","protocol":1})";
constexpr std::string_view ready = R"({"event":"state","value":"ready"})";
constexpr std::string_view stop = "{\"command\":\"stop\"}\n";

class CommandStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef GATTRELAY_SIM_PATH
        GTEST_SKIP() << "gattrelay-sim is not part of this build";
#else
        char path[] = "/tmp/gattrelay-world-XXXXXX";
        const int fd = ::mkstemp(path);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, "{}", 2), 2);
        ::close(fd);
        world_ = path;
        bridge_ = std::make_unique<ChildProcess>(GATTRELAY_SIM_PATH, std::vector<std::string>{world_});
#endif
    }

    void TearDown() override {
        if (bridge_) {
            if (bridge_->wait()) {
                EXPECT_EQ(bridge_->errorOutput(), "");
            }
            bridge_.reset();
        }
        if (!world_.empty()) std::remove(world_.c_str());
    }

    // Reads the two start-up lines.
    void expectStarted() {
        EXPECT_EQ(bridge_->readLine(), hello);
        EXPECT_EQ(bridge_->readLine(), ready);
    }

    // The bridge has ended by itself, with nothing more on its output and status 0.
    void expectEnded() {
        EXPECT_EQ(bridge_->readToEnd(), "");
        EXPECT_EQ(bridge_->wait(), 0);
    }

    // The bridge is still reading: it takes in far more than any pipe or read buffer holds.
    // Long blank lines make it few lines to judge, so this stays quick in instrumented builds.
    void expectStillReading() {
        std::string blank(24000, ' ');
        blank += '\n';
        std::string lines;
        for (int i = 0; i < 175; ++i) lines += blank;
        EXPECT_TRUE(bridge_->write(lines));
    }

    std::string world_;
    std::unique_ptr<ChildProcess> bridge_;
};

TEST_F(CommandStreamTest, StopEndsIt) {
    expectStarted();
    ASSERT_TRUE(bridge_->write(stop));
    expectEnded();
}

TEST_F(CommandStreamTest, EndOfInputEndsIt) {
    expectStarted();
    ASSERT_TRUE(bridge_->write(R"({"command":"send","id":"0123ABCD-89AB-CDEF-0123-456789ABCDEF","data":"AQ=="})"));
    bridge_->closeInput();
    expectEnded();
}

TEST_F(CommandStreamTest, TakesALineOfExactlyTheLimit) {
    expectStarted();
    ASSERT_TRUE(bridge_->write(std::string(24576, 'x') + "\n"));
    expectStillReading();
    // Parsed, not judged over-long: a stop padded with spaces to the limit is a stop.
    ASSERT_TRUE(bridge_->write(R"({"command":"stop"})" + std::string(24576 - 18, ' ') + "\r\n"));
    expectEnded();
}

TEST_F(CommandStreamTest, ALineOverTheLimitEndsItWithInputOpen) {
    expectStarted();
    ASSERT_TRUE(bridge_->write(std::string(24577, 'x') + "\n"));
    expectEnded();
}

TEST_F(CommandStreamTest, CountsTheLimitAfterRepair) {
    expectStarted();
    // 8192 invalid bytes become 24576 bytes of U+FFFD: still within the limit.
    ASSERT_TRUE(bridge_->write(std::string(8192, '\xFF') + "\n"));
    expectStillReading();
    ASSERT_TRUE(bridge_->write(std::string(8193, '\xFF') + "\n"));
    expectEnded();
}

TEST_F(CommandStreamTest, AClosedOutputDoesNotChangeTheEnd) {
    bridge_->closeOutput();
    ASSERT_TRUE(bridge_->write(std::string(1000, '\n') + std::string(stop)));
    EXPECT_EQ(bridge_->wait(), 0);
}

}  // namespace
