// StopSignals where there is no signalfd (macOS): the signals keep a handler, which only writes
// a byte to a pipe whose reading end is the descriptor the command reader watches. The handler
// restarts what it interrupts (SA_RESTART), and write(2) is safe in a signal handler.
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

#include "app/stop_signals.hpp"

namespace app {

namespace {

volatile sig_atomic_t pipeInput = -1;

extern "C" void onStopSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    // A full pipe already holds a pending stop.
    [[maybe_unused]] const ssize_t n = ::write(pipeInput, &byte, 1);
    errno = savedErrno;
}

}  // namespace

StopSignals::StopSignals() {
    int fds[2];
    if (::pipe(fds) != 0) throw std::system_error(errno, std::generic_category(), "pipe for the stop signals");
    for (const int fd : fds) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    fd_ = fds[0];
    pipeInput = fds[1];
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        if (::sigaction(signal, &action, nullptr) != 0)
            throw std::system_error(errno, std::generic_category(), "handling the stop signals");
    }
}

// The handler stays: the writing end stays open with it, so a late signal is still harmless.
StopSignals::~StopSignals() { ::close(fd_); }

}  // namespace app
