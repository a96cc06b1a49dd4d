#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <utility>

namespace loop {

using Task = std::function<void()>;
using Duration = std::chrono::steady_clock::duration;

// A delayed task's handle. The task runs only while its handle lives: dropping the handle, or
// cancel(), means it never runs. Main thread only, like the delayed tasks themselves.
class Timer {
public:
    Timer() = default;
    Timer(Timer&&) = default;
    Timer& operator=(Timer&&) = default;

    // Due and not yet run.
    bool pending() const { return task_ && *task_; }
    void cancel() { task_.reset(); }

private:
    friend class MainQueue;
    explicit Timer(std::shared_ptr<Task> task) : task_(std::move(task)) {}

    std::shared_ptr<Task> task_;
};

// The serial queue the main thread serves. Tasks run one at a time, in the order posted;
// delayed tasks run once due, after the tasks already ready.
class MainQueue {
public:
    virtual ~MainQueue() = default;

    // Safe from any thread.
    virtual void post(Task task) = 0;
    // Main thread only. The task runs after `delay` if the returned handle still lives.
    [[nodiscard]] Timer postAfter(Duration delay, Task task);
    // Main thread only. Ends the current pass: tasks not yet run never run.
    virtual void stop() = 0;

protected:
    // Runs `task` after `delay`, unconditionally: postAfter makes it check its handle.
    virtual void schedule(Duration delay, Task task) = 0;
};

inline Timer MainQueue::postAfter(Duration delay, Task task) {
    auto cell = std::make_shared<Task>(std::move(task));
    schedule(delay, [weak = std::weak_ptr<Task>(cell)] {
        const std::shared_ptr<Task> held = weak.lock();
        if (!held || !*held) return;
        // Emptied before it runs: the handle reads as no longer pending from inside the task.
        Task run = std::exchange(*held, nullptr);
        run();
    });
    return Timer(std::move(cell));
}

}  // namespace loop
