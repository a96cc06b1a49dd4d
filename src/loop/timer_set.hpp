#pragma once

#include <algorithm>
#include <vector>

#include "loop/main_queue.hpp"

namespace loop {

// Delayed tasks that belong to one owner for as long as it lives: destroying the set cancels
// every task still due. Ran or cancelled handles are dropped as new ones come, so the set stays
// as large as what is still due.
class TimerSet {
public:
    explicit TimerSet(MainQueue& queue) : queue_(queue) {}

    void after(Duration delay, Task task) {
        if (timers_.size() >= sweepAt_) {
            std::erase_if(timers_, [](const Timer& t) { return !t.pending(); });
            sweepAt_ = std::max<std::size_t>(16, 2 * timers_.size());
        }
        timers_.push_back(queue_.postAfter(delay, std::move(task)));
    }
    void cancelAll() { timers_.clear(); }

private:
    MainQueue& queue_;
    std::vector<Timer> timers_;
    std::size_t sweepAt_ = 16;
};

}  // namespace loop
