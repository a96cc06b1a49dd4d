#include "loop/dispatch_main_queue.hpp"

#include <exception>
#include <utility>

#include <CoreFoundation/CoreFoundation.h>
#include <dispatch/dispatch.h>

// Blocks own the tasks they carry: ARC copies them to the heap and releases them after they ran.
#if !__has_feature(objc_arc)
#error "the dispatch main queue is compiled with ARC (-fobjc-arc)"
#endif

namespace loop {

struct DispatchMainQueue::State {
    // Main thread only: read by the blocks as they run there, set by stop().
    bool stopped = false;
    // The first exception that escaped a task, for run() to throw.
    std::exception_ptr escaped;

    void run(const Task& task) noexcept {
        if (stopped) return;
        try {
            task();
        } catch (...) {
            if (!escaped) escaped = std::current_exception();
            stopped = true;
            CFRunLoopStop(CFRunLoopGetMain());
        }
    }
};

DispatchMainQueue::DispatchMainQueue() : state_(std::make_shared<State>()) {}
DispatchMainQueue::~DispatchMainQueue() = default;

void DispatchMainQueue::post(Task task) {
    // The block keeps its own copies of the state and the task, not this queue.
    std::shared_ptr<State> state = state_;
    dispatch_async(dispatch_get_main_queue(), ^{
      state->run(task);
    });
}

void DispatchMainQueue::schedule(Duration delay, Task task) {
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(delay).count();
    std::shared_ptr<State> state = state_;
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, nanoseconds), dispatch_get_main_queue(), ^{
      state->run(task);
    });
}

void DispatchMainQueue::stop() {
    state_->stopped = true;
    CFRunLoopStop(CFRunLoopGetMain());
}

void DispatchMainQueue::run() {
    if (!state_->stopped) CFRunLoopRun();
    if (state_->escaped) std::rethrow_exception(std::exchange(state_->escaped, nullptr));
}

void DispatchMainQueue::contain(const Task& call) noexcept { state_->run(call); }

}  // namespace loop
