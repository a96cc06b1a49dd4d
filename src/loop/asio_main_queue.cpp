#include "loop/asio_main_queue.hpp"

#include <asio.hpp>

namespace loop {

struct AsioMainQueue::State {
    asio::io_context io{1};
    asio::executor_work_guard<asio::io_context::executor_type> keepRunning = asio::make_work_guard(io);
};

AsioMainQueue::AsioMainQueue() : state_(std::make_unique<State>()) {}
AsioMainQueue::~AsioMainQueue() = default;

void AsioMainQueue::post(Task task) { asio::post(state_->io, std::move(task)); }

void AsioMainQueue::postAfter(Duration delay, Task task) {
    auto timer = std::make_shared<asio::steady_timer>(state_->io, delay);
    timer->async_wait([timer, task = std::move(task)](const asio::error_code& ec) {
        if (!ec) task();
    });
}

void AsioMainQueue::stop() { state_->io.stop(); }

void AsioMainQueue::run() { state_->io.run(); }

asio::io_context& AsioMainQueue::context() { return state_->io; }

}  // namespace loop
