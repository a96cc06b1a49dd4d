#pragma once

#include <memory>

#include "loop/main_queue.hpp"

namespace asio {
class io_context;
}

namespace loop {

// The production main queue: an Asio io_context served by the main thread, the thread that
// builds it. Idle means blocked in the kernel: no polling, no periodic timers. Tasks posted on the
// main thread run before the loop next looks for I/O; tasks posted from other threads and Asio's
// own handlers take their turn in Asio's queue.
class AsioMainQueue final : public MainQueue {
public:
    AsioMainQueue();
    ~AsioMainQueue() override;

    void post(Task task) override;
    void stop() override;

    // Serves the queue until stop().
    void run();

    // For backends that wait on file descriptors (the D-Bus socket) on the same loop.
    asio::io_context& context();

protected:
    void schedule(Duration delay, Task task) override;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace loop
