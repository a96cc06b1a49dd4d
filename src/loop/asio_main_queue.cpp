#include "loop/asio_main_queue.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <asio.hpp>

namespace loop {

namespace {

// A pipe whose two ends never block and are not inherited.
std::array<int, 2> wakePipe() {
    std::array<int, 2> ends{-1, -1};
    if (::pipe(ends.data()) != 0) throw std::system_error(errno, std::generic_category(), "main queue pipe");
    for (const int fd : ends) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    return ends;
}

}  // namespace

struct AsioMainQueue::State {
    State() { awaitOthers(); }
    ~State() { ::close(wakeWriter); }

    asio::io_context io{1};
    asio::executor_work_guard<asio::io_context::executor_type> keepRunning = asio::make_work_guard(io);
    const std::thread::id mainThread = std::this_thread::get_id();
    // Tasks posted on the main thread wait here rather than in Asio's queue, where each would
    // first cost the loop a look for I/O (an epoll_wait that finds nothing, most of the time).
    std::deque<Task> posted;

    // Tasks posted from other threads (the command reader's batches) wait here until the loop
    // takes them all at once. Only the first of a run of them writes to the pipe, and outside the
    // lock: Asio's own post wakes the loop while holding its scheduler's lock, and the woken main
    // thread then waited for the poster to let go of it (two or three futex calls and a task
    // switch per hand-off).
    std::mutex othersMutex;
    std::vector<Task> others;  // guarded by othersMutex
    const std::array<int, 2> pipeEnds = wakePipe();
    const int wakeWriter = pipeEnds[1];
    asio::posix::stream_descriptor wakeReader{io, pipeEnds[0]};
    std::array<char, 64> wakeBytes{};

    void postFromOtherThread(Task task) {
        bool first = false;
        {
            const std::lock_guard lock(othersMutex);
            first = others.empty();
            others.push_back(std::move(task));
        }
        if (!first) return;  // a wake-up is on its way, and the loop takes the whole list
        const char byte = 0;
        while (::write(wakeWriter, &byte, 1) < 0 && errno == EINTR) {
        }
    }

    // The byte is read before the list is taken: a task posted after the take writes a new byte.
    void awaitOthers() {
        wakeReader.async_read_some(asio::buffer(wakeBytes), [this](const asio::error_code& ec, std::size_t) {
            if (ec == asio::error::operation_aborted) return;
            if (ec) throw std::system_error(ec, "main queue pipe");
            std::vector<Task> taken;
            {
                const std::lock_guard lock(othersMutex);
                taken.swap(others);
            }
            for (Task& task : taken) posted.push_back(std::move(task));
            awaitOthers();
        });
    }

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
        state_->postFromOtherThread(std::move(task));
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
