#pragma once

#include <chrono>
#include <functional>

namespace loop {

using Task = std::function<void()>;
using Duration = std::chrono::steady_clock::duration;

// The serial queue the main thread serves. Tasks run one at a time, in the order posted;
// delayed tasks run once due, after the tasks already ready.
class MainQueue {
public:
    virtual ~MainQueue() = default;

    // Safe from any thread.
    virtual void post(Task task) = 0;
    // Main thread only.
    virtual void postAfter(Duration delay, Task task) = 0;
    // Main thread only. Ends the current pass: tasks not yet run never run.
    virtual void stop() = 0;
};

}  // namespace loop
