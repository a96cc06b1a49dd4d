#include "loop/manual_queue.hpp"

namespace loop {

void ManualQueue::post(Task task) {
    std::lock_guard lock(mutex_);
    ready_.push_back(std::move(task));
}

void ManualQueue::schedule(Duration delay, Task task) {
    timers_.emplace(std::make_pair(now_ + delay, nextTimer_++), std::move(task));
}

void ManualQueue::stop() { stopped_ = true; }

bool ManualQueue::runOneReady() {
    Task task;
    {
        std::lock_guard lock(mutex_);
        if (stopped_ || ready_.empty()) return false;
        task = std::move(ready_.front());
        ready_.pop_front();
    }
    task();
    return true;
}

void ManualQueue::runUntilIdle() {
    while (runOneReady()) {
    }
    // Timers already due (a zero delay) are ready too.
    while (!stopped_ && !timers_.empty() && timers_.begin()->first.first <= now_) {
        auto node = timers_.extract(timers_.begin());
        node.mapped()();
        while (runOneReady()) {
        }
    }
}

void ManualQueue::advance(Duration by) {
    const TimePoint until = now_ + by;
    runUntilIdle();
    while (!stopped_ && !timers_.empty() && timers_.begin()->first.first <= until) {
        auto node = timers_.extract(timers_.begin());
        now_ = node.key().first;
        node.mapped()();
        runUntilIdle();
    }
    if (!stopped_) now_ = until;
}

}  // namespace loop
