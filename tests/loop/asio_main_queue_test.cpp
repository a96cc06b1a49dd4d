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

// The command reader posts from its own thread, in bursts and one at a time, while the main
// thread is busy and while it sleeps: every task runs, in the order posted, with no wake-up lost.
TEST(AsioMainQueue, TasksFromAnotherThreadAllRunInOrder) {
    loop::AsioMainQueue queue;
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
        }
    });
    queue.run();
    other.join();
    EXPECT_EQ(next, tasks);
    EXPECT_TRUE(inOrder);
}

}  // namespace
