#include "protocol/command_reader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include "loop/main_loop.hpp"
#include "loop/manual_queue.hpp"
#include "protocol/event_stream.hpp"

namespace protocol {
namespace {

constexpr std::string_view peer = "0123ABCD-89AB-CDEF-0123-456789ABCDEF";

// Records the calls the reader's tasks make, as text.
class RecordingTarget : public bridge::CommandTarget {
public:
    std::vector<std::string> calls;
    std::function<void()> onStop;
    void send(const codec::Uuid& id, codec::Bytes payload) override {
        calls.push_back("send " + id.text().substr(0, 4) + " " + std::to_string(payload.size()) + " " +
                        std::to_string(payload.front()));
    }
    void stop() override {
        calls.emplace_back("stop");
        if (onStop) onStop();
    }
};

// A send of one byte, `sixBits` << 2.
std::string sendLine(int sixBits, std::string_view padding = "") {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    return std::string(R"({"command":"send","id":")") + std::string(peer) + R"(","data":")" +
           alphabet[sixBits] + "A==\"" + std::string(padding) + "}";
}

// A send line of exactly `size` bytes once repaired, its filler made of `filler` bytes (each
// repaired to one U+FFFD if it is 0xFF) in the value of a "command" key that repeats.
std::string sendLineOfSize(std::size_t size, char filler) {
    const std::string tail = R"(","command":"send","id":")" + std::string(peer) + R"(","data":"BA=="})";
    const std::string head = R"({"command":")";
    const std::size_t fill = size - head.size() - tail.size();
    if (filler == '\xFF') return head + std::string(fill / 3, filler) + std::string(fill % 3, 'x') + tail;
    return head + std::string(fill, filler) + tail;
}

class CommandReaderTest : public ::testing::Test {
protected:
    CommandReaderTest() { std::signal(SIGPIPE, SIG_IGN); }
    ~CommandReaderTest() override {
        if (fds_[0] >= 0) ::close(fds_[0]);
        if (fds_[1] >= 0) ::close(fds_[1]);
    }

    // Runs the reader over `input` until it ends, with the input left open unless `close`, on
    // its own thread and then on the main loop, which must make the same calls; on its thread, it
    // posts its tasks and they run once it has ended.
    std::vector<std::string> read(const std::string& input, bool close = true) {
        const std::vector<std::string> onThread = readWith(input, close, nullptr);
        loop::MainLoop mainLoop;
        target_->onStop = [&] { mainLoop.stop(); };
        EXPECT_EQ(readWith(input, close, &mainLoop), onThread) << "on the main loop";
        target_->onStop = nullptr;
        return onThread;
    }

    std::vector<std::string> readWith(const std::string& input, bool close, loop::MainLoop* mainLoop) {
        target_->calls.clear();
        EXPECT_EQ(::pipe(fds_), 0);
        auto reader = readCommands(fds_[0], mainLoop ? static_cast<loop::MainQueue&>(*mainLoop) : queue_, target_,
                                   {.protocol = static_cast<Protocol>(protocol_), .mainLoop = mainLoop});
        std::thread writer([&] {
            for (std::string_view rest = input; !rest.empty();) {
                const ssize_t n = ::write(fds_[1], rest.data(), rest.size());
                if (n <= 0) return;  // the reader has ended and its input is closed below
                rest.remove_prefix(static_cast<std::size_t>(n));
            }
            if (close) ::close(std::exchange(fds_[1], -1));
        });
        if (mainLoop) mainLoop->run();
        reader.join();
        ::close(std::exchange(fds_[0], -1));
        writer.join();
        if (fds_[1] >= 0) ::close(std::exchange(fds_[1], -1));
        queue_.runUntilIdle();
        return target_->calls;
    }

    int fds_[2] = {-1, -1};
    int protocol_ = 1;
    loop::ManualQueue queue_;
    std::shared_ptr<RecordingTarget> target_ = std::make_shared<RecordingTarget>();
};

TEST_F(CommandReaderTest, PostsValidCommandsInOrderAndEndsAtStop) {
    const std::string input = sendLine(1) + "\n" + "[1]\n\nnot json\n" + sendLine(2) + "\r\n" +
                              R"({"command":"stop","x":1})" + "\n" + sendLine(3) + "\n" + R"({"command":"stop"})" +
                              "\n" + sendLine(4) + "\n";
    EXPECT_EQ(read(input, false),
              (std::vector<std::string>{"send 0123 1 4", "send 0123 1 8", "send 0123 1 12", "stop"}));
}

TEST_F(CommandReaderTest, EndOfInputStopsAfterAnUnterminatedLastLine) {
    EXPECT_EQ(read(sendLine(1) + "\n" + sendLine(2)), (std::vector<std::string>{"send 0123 1 4", "send 0123 1 8", "stop"}));
}

TEST_F(CommandReaderTest, StopsOnceWhateverEndsTheInput) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"", {"stop"}},
        {R"({"command":"stop"})", {"stop"}},
        {sendLine(1) + "\n" + R"({"command":"stop"})", {"send 0123 1 4", "stop"}},
        {sendLine(1) + "\n" + std::string(30000, ' '), {"send 0123 1 4", "stop"}},
        {sendLine(1) + "\n" + std::string(9000, '\xFF'), {"send 0123 1 4", "stop"}},
    };
    for (const auto& [input, calls] : cases) {
        EXPECT_EQ(read(input), calls) << input.substr(0, 100);
    }
}

TEST_F(CommandReaderTest, KeepsManyCommandsInOrderAcrossReads) {
    std::string input;
    std::vector<std::string> expected;
    for (int i = 0; i < 20000; ++i) {
        input += sendLine(i % 64, std::string(static_cast<std::size_t>(i % 50), ' ')) + "\n";
        expected.push_back("send 0123 1 " + std::to_string(i % 64 * 4));
    }
    expected.emplace_back("stop");
    EXPECT_EQ(read(input), expected);
}

TEST_F(CommandReaderTest, WaitsForTheMainThreadAtTheBoundAndKeepsTheOrder) {
    // A bound of one byte: after each batch the reader waits until its task has run.
    loop::MainLoop queue;
    target_->onStop = [&] { queue.stop(); };
    std::string input;
    std::vector<std::string> expected;
    for (int i = 0; i < 20000; ++i) {
        input += sendLine(i % 64) + "\n";
        expected.push_back("send 0123 1 " + std::to_string(i % 64 * 4));
    }
    input += R"({"command":"stop"})" "\n";
    expected.emplace_back("stop");
    ASSERT_EQ(::pipe(fds_), 0);
    auto reader = readCommands(fds_[0], queue, target_, {.maxBytesInFlight = 1});
    std::thread writer([&] { ASSERT_EQ(::write(fds_[1], input.data(), input.size()), ssize_t(input.size())); });
    queue.run();
    writer.join();
    reader.join();
    EXPECT_EQ(target_->calls, expected);
}

TEST_F(CommandReaderTest, TheStopDescriptorTurningReadableStopsItWithItsInputOpen) {
    int stop[2];
    ASSERT_EQ(::pipe(stop), 0);
    ASSERT_EQ(::pipe(fds_), 0);
    auto reader = readCommands(fds_[0], queue_, target_, {.stopFd = stop[0]});
    ASSERT_EQ(::write(stop[1], "x", 1), 1);
    reader.join();
    queue_.runUntilIdle();
    EXPECT_EQ(target_->calls, std::vector<std::string>{"stop"});
    ::close(stop[0]);
    ::close(stop[1]);
}

// A stop signal while the input stays open, on the main loop; and input the loop cannot wait
// for (a regular file), read on a thread instead, to its end.
TEST_F(CommandReaderTest, OnTheMainLoopStopsAtTheStopDescriptorAndLeavesFilesToAThread) {
    loop::MainLoop mainLoop;
    target_->onStop = [&] { mainLoop.stop(); };
    int stop[2];
    ASSERT_EQ(::pipe(stop), 0);
    ASSERT_EQ(::pipe(fds_), 0);
    {
        auto reader = readCommands(fds_[0], mainLoop, target_, {.stopFd = stop[0], .mainLoop = &mainLoop});
        const std::string input = sendLine(1) + "\n";
        ASSERT_EQ(::write(fds_[1], input.data(), input.size()), ssize_t(input.size()));
        mainLoop.post([&] { ASSERT_EQ(::write(stop[1], "x", 1), 1); });
        mainLoop.run();
        EXPECT_STREQ(reader.stopCause(), "signal");
    }
    EXPECT_EQ(target_->calls.back(), "stop");
    ::close(stop[0]);
    ::close(stop[1]);

    target_->calls.clear();
    char path[] = "/tmp/commands-XXXXXX";
    const int file = ::mkstemp(path);
    ASSERT_GE(file, 0);
    ::unlink(path);
    const std::string input = sendLine(1) + "\n" + sendLine(2);
    ASSERT_EQ(::write(file, input.data(), input.size()), ssize_t(input.size()));
    ASSERT_EQ(::lseek(file, 0, SEEK_SET), 0);
    loop::MainLoop fileLoop;
    target_->onStop = [&] { fileLoop.stop(); };
    auto reader = readCommands(file, fileLoop, target_, {.mainLoop = &fileLoop});
    fileLoop.run();
    reader.join();
    EXPECT_STREQ(reader.stopCause(), "end of input");
    EXPECT_EQ(target_->calls, (std::vector<std::string>{"send 0123 1 4", "send 0123 1 8", "stop"}));
    ::close(file);
}

TEST_F(CommandReaderTest, CancelEndsItWhereverItWaitsAndNothingIsPostedAfter) {
    // With the default bound the reader ends up waiting for input; with a bound of one byte, for
    // a task the main thread never runs. Wherever the cancel finds it, it ends without a stop.
    for (const std::size_t bound : {maxCommandBytesInFlight, std::size_t{1}}) {
        SCOPED_TRACE(bound);
        target_->calls.clear();
        ASSERT_EQ(::pipe(fds_), 0);
        auto reader = readCommands(fds_[0], queue_, target_, {.maxBytesInFlight = bound});
        const std::string input = sendLine(1) + "\n" + sendLine(2) + "\n";
        ASSERT_EQ(::write(fds_[1], input.data(), input.size()), ssize_t(input.size()));
        reader.cancel();
        reader.join();
        queue_.runUntilIdle();
        EXPECT_EQ(std::count(target_->calls.begin(), target_->calls.end(), "stop"), 0);
        ::close(std::exchange(fds_[0], -1));
        ::close(std::exchange(fds_[1], -1));
    }
}

struct LimitCase {
    std::string name;
    std::string line;
    bool parsed;
};

TEST_F(CommandReaderTest, LimitsLinesAfterRepair) {
    const LimitCase cases[] = {
        {"24576 bytes", sendLineOfSize(24576, ' '), true},
        {"24577 bytes", sendLineOfSize(24577, ' '), false},
        {"24576 bytes once repaired", sendLineOfSize(24576, '\xFF'), true},
        {"24579 bytes once repaired", sendLineOfSize(24579, '\xFF'), false},
        {"a megabyte", std::string(1 << 20, ' ') + sendLine(1), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A line within the limit is taken and reading goes on to the end of input; an over-long
        // one ends the reader with its input still open, and what follows it is never taken.
        const auto calls = read(c.line + "\r\n" + sendLine(2) + "\n", c.parsed);
        if (c.parsed) {
            EXPECT_EQ(calls, (std::vector<std::string>{"send 0123 1 4", "send 0123 1 8", "stop"}));
        } else {
            EXPECT_EQ(calls, (std::vector<std::string>{"stop"}));
        }
    }
}

// Records tagged sends and rejected lines too.
class AnsweringTarget final : public RecordingTarget {
public:
    void sendTagged(const codec::Uuid& id, codec::Bytes payload, std::string tag) override {
        send(id, std::move(payload));
        calls.back() += " tag " + tag;
    }
    void reject(const bridge::Rejection& r) override {
        calls.push_back("reject " + std::to_string(r.line) + " " + std::string(bridge::reasonName(r.reason)));
    }
    void disconnectPeer(const codec::Uuid& id) override { calls.push_back("disconnect " + id.text().substr(0, 4)); }
    void connectPeer(const codec::Uuid& id) override { calls.push_back("connect " + id.text().substr(0, 4)); }
};

TEST_F(CommandReaderTest, InProtocol2NumbersEveryLineAndSkipsOverLongOnes) {
    protocol_ = 2;
    auto target = std::make_shared<AnsweringTarget>();
    target_ = target;
    const std::string tagged = R"({"command":"send","id":")" + std::string(peer) + R"(","data":"BA==","tag":"x"})";
    const std::string input = sendLine(1) + "\r\n" +              // 1
                              "\n" +                               // 2
                              std::string(30000, ' ') + "\r\n" +  // 3: over-long, skipped
                              tagged + "\n" +                      // 4
                              sendLineOfSize(24579, '\xFF') + "\n" +  // 5: over-long once repaired
                              "\xFF\r\n" +                         // 6: repaired, then not JSON
                              sendLine(2) + "\n" +                 // 7
                              std::string(30000, 'x');              // 8: over-long at the end of input
    EXPECT_EQ(read(input), (std::vector<std::string>{"send 0123 1 4", "reject 2 not_json", "reject 3 too_long",
                                                     "send 0123 1 4 tag x", "reject 5 too_long", "reject 6 not_json",
                                                     "send 0123 1 8", "reject 8 too_long", "stop"}));
    // In protocol 1 the tagged line is rejected for its extra key, and an over-long line ends the session.
    protocol_ = 1;
    EXPECT_EQ(read(tagged + "\n" + std::string(30000, ' ') + "\n" + sendLine(2) + "\n", false),
              (std::vector<std::string>{"reject 1 not_a_command", "stop"}));
}

TEST_F(CommandReaderTest, InProtocol2DisconnectAndConnectKeepTheirPlaceAmongSends) {
    protocol_ = 2;
    auto target = std::make_shared<AnsweringTarget>();
    target_ = target;
    const std::string disconnect = R"({"command":"disconnect","id":")" + std::string(peer) + "\"}\n";
    const std::string connect = R"({"command":"connect","id":")" + std::string(peer) + "\"}\n";
    EXPECT_EQ(read(sendLine(1) + "\n" + disconnect + sendLine(2) + "\n" + connect + "x\n" + sendLine(3) + "\n"),
              (std::vector<std::string>{"send 0123 1 4", "disconnect 0123", "send 0123 1 8", "connect 0123",
                                        "reject 5 not_json", "send 0123 1 12", "stop"}));
}

TEST_F(CommandReaderTest, DoesNothingOnceTheTargetIsGone) {
    std::weak_ptr<RecordingTarget> watch = target_;
    target_.reset();
    ASSERT_EQ(::pipe(fds_), 0);
    auto reader = readCommands(fds_[0], queue_, watch);
    const std::string input = sendLine(1) + "\n" + R"({"command":"stop"})" + "\n";
    ASSERT_EQ(::write(fds_[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    reader.join();
    queue_.runUntilIdle();
    EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace protocol
