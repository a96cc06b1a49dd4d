#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

#include "loop/main_queue.hpp"

namespace loop {

// The main queue for tests: time is virtual and moves only when the test says so.
class ManualQueue final : public MainQueue {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    void post(Task task) override;
    void stop() override;

    // Runs every ready task, including those they post, without moving the clock.
    void runUntilIdle();
    // Moves the clock forward by `by`, running each delayed task at its due time.
    void advance(Duration by);

    TimePoint now() const { return now_; }
    bool stopped() const { return stopped_; }
    std::size_t pendingTimers() const { return timers_.size(); }

protected:
    void schedule(Duration delay, Task task) override;

private:
    bool runOneReady();

    std::mutex mutex_;  // posting is allowed from any thread
    std::deque<Task> ready_;
    // Due time, then order of posting: equal due times run in the order posted.
    std::map<std::pair<TimePoint, std::uint64_t>, Task> timers_;
    std::uint64_t nextTimer_ = 0;
    TimePoint now_{};
    bool stopped_ = false;
};

}  // namespace loop
