#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <systemd/sd-bus.h>

namespace loop {
class MainLoop;
}

namespace bluez {

// An owned message, unreferenced when dropped.
struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// An owned slot (an object served), released when dropped.
struct SlotUnref {
    void operator()(sd_bus_slot* s) const { sd_bus_slot_unref(s); }
};

// The answer to a method call: an error name, or the reply positioned at its first argument.
struct Reply {
    sd_bus_message* message = nullptr;
    std::optional<std::string> error;
    std::string errorText;
};

// The system bus (DBUS_SYSTEM_BUS_ADDRESS is honoured), served by the main loop: the loop waits
// on the bus's socket and on its next call deadline, and nothing here ever blocks except the
// flush at destruction, which lets the last requests out.
//
// The bus daemon refuses calls past a number awaiting their replies (128 per connection on
// the system bus): calls beyond `maxOutstanding` wait here, in order, until replies come.
class Bus {
public:
    using ReplyHandler = std::function<void(const Reply&)>;
    using SignalHandler = std::function<void(sd_bus_message*)>;
    // Appends a call's arguments: the sd-bus status of the first append that failed, or of the last.
    using Arguments = std::function<int(sd_bus_message*)>;

    // Connects at once (see open()). `onLost` runs on the loop when the bus connection breaks.
    Bus(loop::MainLoop& loop, std::function<void()> onLost);
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // Connects to the system bus unless connected: after a failed open or a break, a new
    // connection, which has none of the old one's matches and calls. True when connected.
    bool open();
    // 0 while connected; the negative errno of a failed open or of the break.
    int error() const { return error_; }
    bool connected() const { return bus_ != nullptr; }

    static constexpr std::size_t maxOutstanding = 96;

    // A method call that never starts a service that is not running. The handler runs on the
    // loop with the reply, an error, or the timeout as an error; never if the bus is gone. A call
    // that cannot be built or sent is answered with an error too, on the loop as well.
    // Without a handler, no reply is asked for: the call is sent and forgotten.
    void call(const std::string& destination, const std::string& path, const char* interface,
              const char* member, const Arguments& append, std::chrono::milliseconds timeout,
              ReplyHandler onReply);
    void addMatch(const char* rule, SignalHandler onSignal);

    using Slot = std::unique_ptr<sd_bus_slot, SlotUnref>;
    // Serves `vtable` at `path` on the connection of now, until the slot is dropped; none when
    // not connected or refused.
    Slot serve(const char* path, const char* interface, const sd_bus_vtable* vtable, void* userdata);
    // The connection of now, to tell whether a slot was made on it.
    const sd_bus* connection() const { return bus_; }
    // Answers a call made to a served object, now or later: its reply with what `append` adds, or
    // an error. A call of a connection that broke since is not answered.
    void reply(sd_bus_message* call, const Arguments& append);
    void replyError(sd_bus_message* call, const char* name, const std::string& text);
    // For the end of the process only, and the one wait here besides the flush: blocks until
    // `destination` answers a ping sent after everything before it, or `timeout` passes. No
    // handler runs meanwhile.
    void roundTrip(const std::string& destination, std::chrono::milliseconds timeout);

private:
    struct Waits;
    struct Outstanding;
    // A call built and waiting for its turn; the message is owned until sent.
    struct Queued {
        Message message;
        std::chrono::milliseconds timeout;
        ReplyHandler onReply;
    };

    void send(Message m, std::chrono::milliseconds timeout, ReplyHandler onReply);
    void fail(ReplyHandler onReply, const char* name, int error);
    void sendQueued();

    void process();
    bool workWaiting() const;
    void arm();
    void lose(int error);

    std::function<void()> onLost_;
    std::unique_ptr<Waits> waits_;
    sd_bus* bus_ = nullptr;
    int error_ = 0;
    bool settled_ = false;
    std::size_t outstanding_ = 0;
    std::deque<Queued> queued_;
};

}  // namespace bluez
