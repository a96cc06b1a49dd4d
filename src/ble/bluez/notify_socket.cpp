#include "ble/bluez/notify_socket.hpp"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>

#include "loop/main_loop.hpp"

namespace bluez {

namespace {

bool hungUp(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR));
}

}  // namespace

NotifySocket::NotifySocket(loop::MainLoop& loop, int fd, OnValue onValue, std::function<void()> onClosed)
    : fd_(fd),
      onValue_(std::move(onValue)),
      onClosed_(std::move(onClosed)),
      watch_(std::make_unique<loop::FdWatch>(loop, fd)) {
    // A readiness that went stale finds the socket empty instead of blocking the loop.
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    read();
}

NotifySocket::~NotifySocket() {
    watch_.reset();
    ::close(fd_);
}

// One datagram per readiness: the loop's wait is level-triggered, so a datagram still queued
// wakes it again, and no read is made that would find the socket empty.
void NotifySocket::read() {
    watch_->whenReadable([this] {
        // Larger than any attribute value (512 bytes).
        std::array<std::uint8_t, 1024> buffer;
        const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
        // An empty notification reads as the end of the stream: only a hang-up is one.
        const bool closed = n < 0 ? errno != EAGAIN && errno != EINTR : n == 0 && hungUp(fd_);
        if (closed) {
            watch_.reset();
            onClosed_();
            return;
        }
        read();
        if (n > 0) onValue_(buffer.data(), static_cast<std::size_t>(n));
    });
}

}  // namespace bluez
