#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <systemd/sd-bus.h>

namespace asio {
class io_context;
}

namespace bluez {

// The answer to a method call: an error name, or the reply positioned at its first argument.
struct Reply {
    sd_bus_message* message = nullptr;
    std::optional<std::string> error;
    std::string errorText;
};

// The system bus (DBUS_SYSTEM_BUS_ADDRESS is honoured), served by an Asio loop on the main
// thread: the loop waits on the bus's socket and on its next call deadline, and nothing here
// ever blocks except the flush at destruction, which lets the last requests out.
class Bus {
public:
    using ReplyHandler = std::function<void(const Reply&)>;
    using SignalHandler = std::function<void(sd_bus_message*)>;
    using Arguments = std::function<void(sd_bus_message*)>;

    // `onLost` runs on the loop when the bus connection breaks.
    Bus(asio::io_context& io, std::function<void()> onLost);
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // 0 while connected; the negative errno of a failed open or of the break.
    int error() const { return error_; }
    bool connected() const { return bus_ != nullptr; }

    // A method call that never starts a service that is not running. The handler runs on the
    // loop with the reply, an error, or the timeout as an error; never if the bus is gone.
    void call(const std::string& destination, const std::string& path, const char* interface,
              const char* member, const Arguments& append, std::chrono::milliseconds timeout,
              ReplyHandler onReply);
    void addMatch(const char* rule, SignalHandler onSignal);

private:
    struct Waits;

    void process();
    void arm();
    void lose(int error);

    std::function<void()> onLost_;
    std::unique_ptr<Waits> waits_;
    sd_bus* bus_ = nullptr;
    int error_ = 0;
};

}  // namespace bluez
