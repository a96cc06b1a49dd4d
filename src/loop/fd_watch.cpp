#include "loop/fd_watch.hpp"

#include "loop/main_loop.hpp"

#ifdef __linux__
#include <sys/epoll.h>
#include <unistd.h>
#endif

namespace loop {

FdWatch::FdWatch(MainLoop& loop, int fd) : loop_(loop), fd_(fd), id_(loop.add(fd)) {}

FdWatch::~FdWatch() { loop_.remove(id_); }

void FdWatch::whenReadable(Task task) {
    MainLoop::Watch* watch = loop_.find(id_);
    if (watch->onReadable) return;
    watch->onReadable = std::move(task);
    loop_.changed(id_);
}

void FdWatch::whenWritable(Task task) {
    MainLoop::Watch* watch = loop_.find(id_);
    if (watch->onWritable) return;
    watch->onWritable = std::move(task);
    loop_.changed(id_);
}

void FdWatch::yieldToTasks() { loop_.find(id_)->yields = true; }

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
