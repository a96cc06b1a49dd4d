#include "ble/bluez/notify_socket.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>

#include <asio.hpp>

namespace bluez {

struct NotifySocket::Reader : std::enable_shared_from_this<Reader> {
    Reader(asio::io_context& io, int fd, OnValue onValue, std::function<void()> onClosed)
        : socket(io, fd), onValue(std::move(onValue)), onClosed(std::move(onClosed)) {}

    void wait() {
        socket.async_wait(asio::posix::descriptor_base::wait_read,
                          [self = shared_from_this()](const asio::error_code& ec) {
                              if (!ec && self->open) self->readAll();
                          });
    }

    // Everything that is there, one datagram at a time; then wait for more.
    void readAll() {
        const int fd = socket.native_handle();
        while (open) {
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n > 0) {
                onValue(buffer.data(), static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            if (n < 0 && errno == EINTR) continue;
            // An empty datagram reads as 0 too: only a hang-up ends the stream.
            if (n == 0 && !hungUp(fd)) continue;
            open = false;
            onClosed();
            return;
        }
        if (open) wait();
    }

    static bool hungUp(int fd) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR));
    }

    asio::posix::stream_descriptor socket;
    OnValue onValue;
    std::function<void()> onClosed;
    bool open = true;
    // Larger than any attribute value (512 bytes).
    std::array<std::uint8_t, 1024> buffer{};
};

NotifySocket::NotifySocket(asio::io_context& io, int fd, OnValue onValue, std::function<void()> onClosed)
    : reader_(std::make_shared<Reader>(io, fd, std::move(onValue), std::move(onClosed))) {
    reader_->wait();
}

NotifySocket::~NotifySocket() {
    reader_->open = false;
    asio::error_code ignored;
    reader_->socket.close(ignored);
}

}  // namespace bluez
