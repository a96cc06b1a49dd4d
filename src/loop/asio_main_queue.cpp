#include "loop/asio_main_queue.hpp"

#include <deque>
#include <thread>

#include <asio.hpp>

namespace loop {

struct AsioMainQueue::State {
    asio::io_context io{1};
    asio::executor_work_guard<asio::io_context::executor_type> keepRunning = asio::make_work_guard(io);
    const std::thread::id mainThread = std::this_thread::get_id();
    // Tasks posted on the main thread wait here rather than in Asio's queue, where each would
    // first cost the loop a look for I/O (an epoll_wait that finds nothing, most of the time).
    std::deque<Task> posted;

    // The tasks posted so far, not those they post: those wait until the loop has looked for I/O
    // once more, so a task that keeps posting never starves the rest of the loop.
    void runPosted() {
        for (std::size_t n = posted.size(); n > 0 && !io.stopped(); --n) {
            Task task = std::move(posted.front());
            posted.pop_front();
            task();
        }
    }
};

AsioMainQueue::AsioMainQueue() : state_(std::make_unique<State>()) {}
AsioMainQueue::~AsioMainQueue() = default;

void AsioMainQueue::post(Task task) {
    if (std::this_thread::get_id() == state_->mainThread)
        state_->posted.push_back(std::move(task));
    else
        asio::post(state_->io, std::move(task));
}

void AsioMainQueue::schedule(Duration delay, Task task) {
    auto timer = std::make_shared<asio::steady_timer>(state_->io, delay);
    timer->async_wait([timer, task = std::move(task)](const asio::error_code& ec) {
        if (!ec) task();
    });
}

void AsioMainQueue::stop() { state_->io.stop(); }

void AsioMainQueue::run() {
    asio::io_context& io = state_->io;
    while (!io.stopped()) {
        state_->runPosted();
        if (io.stopped()) return;
        // Blocks only when no task waits: Asio's next handler, or the wait for one.
        if (state_->posted.empty())
            io.run_one();
        else
            io.poll();
    }
}

asio::io_context& AsioMainQueue::context() { return state_->io; }

}  // namespace loop
