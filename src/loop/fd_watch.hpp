#pragma once

#include <memory>

#include "loop/main_queue.hpp"

namespace loop {

class AsioMainQueue;

// Waits on the Asio main loop for a descriptor that someone else owns (a client library's
// socket, a signalfd) to turn readable or writable. Each wait runs its task once; asking again
// while one is pending does nothing. Dropping the watch cancels its waits and leaves the
// descriptor open. Main thread only.
class FdWatch {
public:
    FdWatch(AsioMainQueue& queue, int fd);
    ~FdWatch();
    FdWatch(const FdWatch&) = delete;
    FdWatch& operator=(const FdWatch&) = delete;

    int fd() const { return fd_; }
    void whenReadable(Task task);
    void whenWritable(Task task);

private:
    struct State;
    void wait(bool forWriting, Task task);

    int fd_;
    std::shared_ptr<State> state_;
};

// Whether an FdWatch can wait for `fd`: a pipe, a socket or a terminal can; a regular file or
// /dev/null cannot (they are always ready). Linux only: elsewhere, false.
bool watchable(int fd);

}  // namespace loop
