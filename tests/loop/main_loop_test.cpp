// The production loop: tasks posted on the main thread keep their order and stop where told,
// timers run in order of their due times, a task that keeps posting itself does not hold back
// timers or tasks from other threads, and descriptor waits run once each, level-triggered.
#include "loop/main_loop.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "loop/fd_watch.hpp"
#include "loop/host_lookup.hpp"

namespace {

using namespace std::chrono_literals;

TEST(MainLoop, RunsMainThreadTasksInPostedOrderAndStopsThePass) {
    loop::MainLoop queue;
    std::string ran;
    queue.post([&] {
        ran += 'a';
        queue.post([&] {
            ran += 'c';
            queue.stop();
        });
        queue.post([&] { ran += 'd'; });
    });
    queue.post([&] { ran += 'b'; });
    queue.run();
    EXPECT_EQ(ran, "abc");
    // Stopped for good: a later run returns at once, and what was left never runs.
    queue.run();
    EXPECT_EQ(ran, "abc");
}

// Timers run by due time, equal due times in the order set, after the tasks ready when they
// came due; a cancelled one never runs. (Due times are the time of setting plus the delay: the
// delays are far apart next to the time it takes to set them.)
TEST(MainLoop, RunsTimersInOrderOfTheirDueTimes) {
    loop::MainLoop queue;
    std::string ran;
    const auto start = std::chrono::steady_clock::now();
    std::vector<loop::Timer> timers;
    timers.push_back(queue.postAfter(0ms, [&] { ran += 'a'; }));
    timers.push_back(queue.postAfter(0ms, [&] { ran += 'b'; }));
    timers.push_back(queue.postAfter(60ms, [&] { ran += '3'; }));
    timers.push_back(queue.postAfter(20ms, [&] { ran += '1'; }));
    timers.push_back(queue.postAfter(40ms, [&] { ran += 'x'; }));
    timers.push_back(queue.postAfter(100ms, [&] {
        ran += '5';
        queue.stop();
    }));
    timers[4].cancel();
    queue.post([&] { ran += 'p'; });
    queue.run();
    EXPECT_EQ(ran, "pab135");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
}

TEST(MainLoop, TaskThatKeepsPostingDoesNotStarveTimersOrOtherThreads) {
    loop::MainLoop queue;
    bool timerRan = false;
    bool otherThreadRan = false;
    std::function<void()> again = [&] {
        if (timerRan && otherThreadRan)
            queue.stop();
        else
            queue.post(again);
    };
    queue.post(again);
    const loop::Timer timer = queue.postAfter(std::chrono::milliseconds(1), [&] { timerRan = true; });
    std::thread other([&] { queue.post([&] { otherThreadRan = true; }); });
    queue.run();
    other.join();
    EXPECT_TRUE(timerRan);
    EXPECT_TRUE(otherThreadRan);
}

// The command reader posts from its own thread, in bursts and one at a time, while the main
// thread is busy and while it sleeps: every task runs, in the order posted, with no wake-up lost.
TEST(MainLoop, TasksFromAnotherThreadAllRunInOrder) {
    loop::MainLoop queue;
    constexpr int tasks = 20000;
    int next = 0;
    bool inOrder = true;
    std::thread other([&] {
        for (int i = 0; i < tasks; ++i) {
            queue.post([&, i] {
                inOrder = inOrder && i == next;
                if (++next == tasks) queue.stop();
            });
            if (i % 1000 == 0) std::this_thread::yield();
            if (i % 5000 == 0) std::this_thread::sleep_for(1ms);  // the loop falls asleep
        }
    });
    queue.run();
    other.join();
    EXPECT_EQ(next, tasks);
    EXPECT_TRUE(inOrder);
}

class FdWatchTest : public ::testing::Test {
protected:
    FdWatchTest() { EXPECT_EQ(::pipe(fds_), 0); }
    ~FdWatchTest() override {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    void put(const char* bytes) { ASSERT_EQ(::write(fds_[1], bytes, std::strlen(bytes)), ssize_t(std::strlen(bytes))); }
    char take() {
        char byte = 0;
        EXPECT_EQ(::read(fds_[0], &byte, 1), 1);
        return byte;
    }

    loop::MainLoop loop_;
    int fds_[2] = {-1, -1};
};

// Level-triggered: a wait asked for again finds what is still unread, one read per wait; a
// second ask while one is pending does nothing; nothing is waited for once none is asked for.
TEST_F(FdWatchTest, EachWaitRunsOnceAndFindsWhatIsStillUnread) {
    loop::FdWatch watch(loop_, fds_[0]);
    std::string read;
    std::function<void()> readOne = [&] {
        read += take();
        if (read.size() < 3) watch.whenReadable(readOne);
    };
    watch.whenReadable(readOne);
    watch.whenReadable([&] { read += '!'; });  // one is pending: ignored
    put("abcd");
    // Runs after the three waits, whose reads each took one byte; the fourth stays unread.
    const loop::Timer done = loop_.postAfter(20ms, [&] { loop_.stop(); });
    loop_.run();
    EXPECT_EQ(read, "abc");
    EXPECT_EQ(take(), 'd');
}

// Dropping a watch from a task cancels its waits, even one whose descriptor the same pass found
// ready: of two ready watches that each drop both, only the first runs.
TEST_F(FdWatchTest, DroppingAWatchInsideATaskCancelsItsWaits) {
    auto reader = std::make_unique<loop::FdWatch>(loop_, fds_[0]);
    auto writer = std::make_unique<loop::FdWatch>(loop_, fds_[1]);
    int ran = 0;
    const auto dropBoth = [&] {
        ++ran;
        reader.reset();
        writer.reset();
    };
    reader->whenReadable(dropBoth);
    writer->whenWritable(dropBoth);
    put("x");
    const loop::Timer done = loop_.postAfter(20ms, [&] { loop_.stop(); });
    loop_.run();
    EXPECT_EQ(ran, 1);
}

// A watch that yields runs its readable wait only in a pass with no task posted on the main
// thread waiting: a chain of tasks that keeps posting finishes first.
TEST_F(FdWatchTest, AYieldingWatchWaitsForTheTasksUnderWay) {
    loop::FdWatch watch(loop_, fds_[0]);
    watch.yieldToTasks();
    std::string ran;
    int chain = 0;
    std::function<void()> step = [&] {
        ran += 't';
        if (++chain < 5) loop_.post(step);
    };
    watch.whenReadable([&] {
        ran += 'r';
        loop_.stop();
    });
    put("x");
    loop_.post(step);
    loop_.run();
    EXPECT_EQ(ran, "tttttr");
}

TEST(FdWatch, TellsWhatTheLoopCanWaitFor) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    EXPECT_TRUE(loop::watchable(fds[0]));
    const int null = ::open("/dev/null", O_RDONLY);
    EXPECT_FALSE(loop::watchable(null));
    for (const int fd : {fds[0], fds[1], null}) ::close(fd);
}

// The answer comes on the loop; a lookup dropped before its answer never answers.
TEST(HostLookup, AnswersOnTheLoopUnlessDropped) {
    loop::MainLoop loop;
    std::vector<std::string> found;
    std::string error = "none yet";
    auto dropped = std::make_unique<loop::HostLookup>(loop, "localhost", [&](auto, auto) { FAIL() << "dropped"; });
    dropped.reset();
    loop::HostLookup lookup(loop, "localhost", [&](std::vector<std::string> addresses, std::string why) {
        found = std::move(addresses);
        error = std::move(why);
        loop.post([&] { loop.stop(); });
    });
    const loop::Timer giveUp = loop.postAfter(30s, [&] { loop.stop(); });
    loop.run();
    EXPECT_EQ(error, "");
    EXPECT_NE(std::find(found.begin(), found.end(), "127.0.0.1"), found.end());
}

}  // namespace
