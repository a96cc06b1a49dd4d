// The production loop: tasks posted on the main thread keep their order and stop where told, and
// a task that keeps posting itself does not hold back timers or tasks from other threads.
#include "loop/asio_main_queue.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

namespace {

TEST(AsioMainQueue, RunsMainThreadTasksInPostedOrderAndStopsThePass) {
    loop::AsioMainQueue queue;
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
}

TEST(AsioMainQueue, TaskThatKeepsPostingDoesNotStarveTimersOrOtherThreads) {
    loop::AsioMainQueue queue;
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

}  // namespace
