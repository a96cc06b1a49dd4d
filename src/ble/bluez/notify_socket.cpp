#include "ble/bluez/notify_socket.hpp"

#include <poll.h>

#include <array>

#include <asio.hpp>

namespace bluez {

struct NotifySocket::Reader : std::enable_shared_from_this<Reader> {
    Reader(asio::io_context& io, int fd, OnValue onValue, std::function<void()> onClosed)
        : socket(io, fd), onValue(std::move(onValue)), onClosed(std::move(onClosed)) {}

    // One datagram per read. A read is tried at once when started and waits only when nothing
    // is there: no system call to re-arm the wait after each notification.
    void read() {
        socket.async_read_some(asio::buffer(buffer), [self = shared_from_this()](const asio::error_code& ec,
                                                                                   std::size_t size) {
            if (!self->open || ec == asio::error::operation_aborted) return;
            // An empty notification reads as the end of the stream: only a hang-up is one.
            if (!ec || (ec == asio::error::eof && !hungUp(self->socket.native_handle()))) {
                if (!ec) self->onValue(self->buffer.data(), size);
                if (self->open) self->read();
                return;
            }
            self->open = false;
            self->onClosed();
        });
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
    reader_->read();
}

NotifySocket::~NotifySocket() {
    reader_->open = false;
    asio::error_code ignored;
    reader_->socket.close(ignored);
}

}  // namespace bluez
