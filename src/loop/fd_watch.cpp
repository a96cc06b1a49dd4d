#include "loop/fd_watch.hpp"

#include <asio.hpp>

#ifdef __linux__
#include <sys/epoll.h>
#include <unistd.h>
#endif

#include "loop/asio_main_queue.hpp"

namespace loop {

struct FdWatch::State {
    State(asio::io_context& io, int fd) : descriptor(io, fd) {}
    asio::posix::stream_descriptor descriptor;
    bool reading = false;
    bool writing = false;
};

FdWatch::FdWatch(AsioMainQueue& queue, int fd)
    : fd_(fd), state_(std::make_shared<State>(queue.context(), fd)) {}

FdWatch::~FdWatch() { state_->descriptor.release(); }

void FdWatch::whenReadable(Task task) { wait(false, std::move(task)); }

void FdWatch::whenWritable(Task task) { wait(true, std::move(task)); }

// A wait whose watch has gone, or that was cancelled with it, runs nothing.
void FdWatch::wait(bool forWriting, Task task) {
    bool State::*pending = forWriting ? &State::writing : &State::reading;
    if ((*state_).*pending) return;
    (*state_).*pending = true;
    const auto type = forWriting ? asio::posix::descriptor_base::wait_write : asio::posix::descriptor_base::wait_read;
    state_->descriptor.async_wait(type, [weak = std::weak_ptr(state_), pending, task = std::move(task)](
                                            const asio::error_code& error) {
        const auto held = weak.lock();
        if (!held || error == asio::error::operation_aborted) return;
        (*held).*pending = false;
        task();
    });
}

bool watchable([[maybe_unused]] int fd) {
#ifdef __linux__
    // Asked of epoll itself, which refuses what it cannot wait for.
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0) return false;
    epoll_event event{};
    event.events = EPOLLIN;
    const bool taken = ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) == 0;
    ::close(epoll);
    return taken;
#else
    return false;
#endif
}

}  // namespace loop
