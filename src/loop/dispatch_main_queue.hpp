#pragma once

#include <memory>

#include "loop/main_queue.hpp"

namespace loop {

// The main queue on macOS: the main dispatch queue, served by the main thread's run loop. It is
// the queue CoreBluetooth delivers its callbacks on, so they, the reader's tasks and the retries
// all run on the main thread, one at a time, in the order they were queued.
class DispatchMainQueue final : public MainQueue {
public:
    DispatchMainQueue();
    ~DispatchMainQueue() override;

    void post(Task task) override;
    void stop() override;

    // Serves the queue on the main thread until stop(). Throws again an exception that escaped
    // a task or a contained call, once the queue has stopped for it.
    void run();
    // Runs `call`, a callback from the system on the main thread. An exception escaping it stops
    // the queue and is thrown from run(): it never unwinds into Dispatch or CoreBluetooth, where
    // it would end the process in objc_terminate.
    void contain(const Task& call) noexcept;

protected:
    void schedule(Duration delay, Task task) override;

private:
    struct State;
    // Shared with the blocks still queued: once stopped, none of them runs its task.
    std::shared_ptr<State> state_;
};

}  // namespace loop
