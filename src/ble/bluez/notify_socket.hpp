#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "loop/fd_watch.hpp"

namespace bluez {

// The reading end of a notification stream bluetoothd handed over (AcquireNotify): each
// notification is one datagram, read in order on the loop. Closing it ends the subscription.
class NotifySocket {
public:
    using OnValue = std::function<void(const std::uint8_t* data, std::size_t size)>;

    // Takes `fd`. `onClosed` runs once when bluetoothd closes its end; neither handler runs
    // after destruction.
    NotifySocket(loop::MainLoop& loop, int fd, OnValue onValue, std::function<void()> onClosed);
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

private:
    void read();

    const int fd_;
    OnValue onValue_;
    std::function<void()> onClosed_;
    std::unique_ptr<loop::FdWatch> watch_;
};

}  // namespace bluez
