#pragma once

namespace runtime {

// SIGINT, SIGTERM and SIGHUP, taken as a "stop" instead of ending the process: they are blocked,
// and a descriptor (a signalfd) turns readable when one is pending, for the command reader to
// watch with its input. Created on the main thread before any other thread starts, so that every
// thread inherits the blocked set and no system call is interrupted. The signals stay blocked
// once it is gone: one that comes while the bridge stops goes with the process.
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

}  // namespace runtime
