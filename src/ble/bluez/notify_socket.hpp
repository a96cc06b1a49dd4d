#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace asio {
class io_context;
}

namespace bluez {

// The reading end of a notification stream bluetoothd handed over (AcquireNotify): each
// notification is one datagram, read in order on the loop. Closing it ends the subscription.
class NotifySocket {
public:
    using OnValue = std::function<void(const std::uint8_t* data, std::size_t size)>;

    // Takes `fd`. `onClosed` runs once when bluetoothd closes its end; neither handler runs
    // after destruction.
    NotifySocket(asio::io_context& io, int fd, OnValue onValue, std::function<void()> onClosed);
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

private:
    struct Reader;
    std::shared_ptr<Reader> reader_;
};

}  // namespace bluez
