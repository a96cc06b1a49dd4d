#pragma once

#include <cstdint>

#include "loop/main_queue.hpp"

namespace loop {

class MainLoop;

// Waits on the main loop for a descriptor that someone else owns (a client library's socket, a
// signalfd, standard input) to turn readable or writable. Each wait runs its task once; asking
// again while one is pending does nothing. A wait taken and asked for again from its own task
// costs no system call. Dropping the watch cancels its waits and leaves the descriptor open, so
// drop it before closing the descriptor. Main thread only.
class FdWatch {
public:
    FdWatch(MainLoop& loop, int fd);
    ~FdWatch();
    FdWatch(const FdWatch&) = delete;
    FdWatch& operator=(const FdWatch&) = delete;

    int fd() const { return fd_; }
    void whenReadable(Task task);
    void whenWritable(Task task);
    // Puts the readable waits after the work under way: one runs only in a pass of the loop that
    // finds no task posted on the main thread waiting. For input that would otherwise be taken
    // in before what the last of it started is done.
    void yieldToTasks();

private:
    MainLoop& loop_;
    int fd_;
    std::uint64_t id_;
};

// Whether an FdWatch can wait for `fd`: a pipe, a socket or a terminal can; a regular file or
// /dev/null cannot (they are always ready). Linux only: elsewhere, false.
bool watchable(int fd);

}  // namespace loop
