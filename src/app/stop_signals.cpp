#include "app/stop_signals.hpp"

#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <sys/signalfd.h>
#include <system_error>
#include <unistd.h>

namespace app {

StopSignals::StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, signal);
    if (const int error = pthread_sigmask(SIG_BLOCK, &set, nullptr)) {
        throw std::system_error(error, std::generic_category(), "blocking the stop signals");
    }
    fd_ = ::signalfd(-1, &set, SFD_CLOEXEC);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "signalfd");
}

StopSignals::~StopSignals() { ::close(fd_); }

}  // namespace app
