#pragma once

namespace app {

// SIGINT, SIGTERM and SIGHUP, taken as a "stop" instead of ending the process: a descriptor turns
// readable when one has come, for the command reader to watch with its input. Created on the
// main thread before any other thread starts. On Linux the signals are blocked and the descriptor
// is a signalfd, so every thread inherits the blocked set and no system call is interrupted; they
// stay blocked once it is gone, so one that comes while the bridge stops goes with the process.
// Elsewhere a handler writes to a pipe (stop_signals_self_pipe.cpp).
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

}  // namespace app
