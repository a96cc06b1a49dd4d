#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "loop/manual_queue.hpp"
#include "loop/timer_set.hpp"

namespace {

using std::chrono::milliseconds;

// A delayed task runs only while its handle lives; each way of letting go of it stops the task.
TEST(Timer, RunsOnlyWhileItsHandleLives) {
    loop::ManualQueue queue;
    std::vector<int> ran;
    loop::Timer kept = queue.postAfter(milliseconds(10), [&] { ran.push_back(1); });
    loop::Timer cancelled = queue.postAfter(milliseconds(10), [&] { ran.push_back(2); });
    { loop::Timer dropped = queue.postAfter(milliseconds(10), [&] { ran.push_back(3); }); }
    loop::Timer replaced = queue.postAfter(milliseconds(10), [&] { ran.push_back(4); });
    cancelled.cancel();
    replaced = queue.postAfter(milliseconds(20), [&] { ran.push_back(5); });
    EXPECT_TRUE(kept.pending());
    EXPECT_FALSE(cancelled.pending());

    queue.advance(milliseconds(9));
    EXPECT_TRUE(ran.empty());
    queue.advance(milliseconds(20));
    EXPECT_EQ(ran, (std::vector<int>{1, 5}));
    EXPECT_FALSE(kept.pending());
}

// From inside its own task a timer already reads as done, so the task may set it again.
TEST(Timer, ATaskCanSetItsOwnTimerAgain) {
    loop::ManualQueue queue;
    int runs = 0;
    loop::Timer timer;
    std::function<void()> tick = [&] {
        EXPECT_FALSE(timer.pending());
        if (++runs < 3) timer = queue.postAfter(milliseconds(5), tick);
    };
    timer = queue.postAfter(milliseconds(5), tick);
    queue.advance(milliseconds(100));
    EXPECT_EQ(runs, 3);
}

TEST(TimerSet, CancelsWhatIsStillDueWhenItGoes) {
    loop::ManualQueue queue;
    int ran = 0;
    {
        loop::TimerSet timers(queue);
        for (int i = 1; i <= 40; ++i) timers.after(milliseconds(i), [&] { ++ran; });
        queue.advance(milliseconds(20));
        EXPECT_EQ(ran, 20);
    }
    queue.advance(milliseconds(100));
    EXPECT_EQ(ran, 20);
}

}  // namespace
