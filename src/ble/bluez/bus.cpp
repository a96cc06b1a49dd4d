#include "ble/bluez/bus.hpp"

#include <poll.h>
#include <time.h>

#include <cstring>

#include "loop/fd_watch.hpp"
#include "loop/main_loop.hpp"

namespace bluez {

// A call's reply handler, and the bus that counts it as outstanding until it runs.
struct Bus::Outstanding {
    Bus* bus;
    Bus::ReplyHandler onReply;
};

struct Bus::Waits {
    explicit Waits(loop::MainLoop& loop) : loop(loop) {}

    loop::MainLoop& loop;
    // On the socket of the connection there is: watched from its opening to its end.
    std::unique_ptr<loop::FdWatch> socket;
    loop::Timer timer;
    std::uint64_t timerDeadline = UINT64_MAX;
    // Handlers posted to the loop find out whether the bus still exists.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

namespace {

// Each call's and match's handler lives on the heap as the slot's user data, freed with the slot.
template <typename Handler>
void ownBySlot(sd_bus_slot* slot, Handler* handler) {
    sd_bus_slot_set_userdata(slot, handler);
    sd_bus_slot_set_destroy_callback(slot, [](void* p) { delete static_cast<Handler*>(p); });
    // The bus keeps the slot until the reply came or the bus closed.
    sd_bus_slot_set_floating(slot, 1);
    sd_bus_slot_unref(slot);
}

Reply replyOf(sd_bus_message* m) {
    Reply reply;
    reply.message = m;
    if (const sd_bus_error* e = sd_bus_message_get_error(m)) {
        reply.error = e->name ? e->name : "org.freedesktop.DBus.Error.Failed";
        reply.errorText = e->message ? e->message : "";
    }
    return reply;
}

std::uint64_t monotonicMicroseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

}  // namespace

Bus::Bus(loop::MainLoop& loop, std::function<void()> onLost)
    : onLost_(std::move(onLost)), waits_(std::make_unique<Waits>(loop)) {
    open();
}

bool Bus::open() {
    if (bus_) return true;
    sd_bus* bus = nullptr;
    const int r = sd_bus_open_system(&bus);
    if (r < 0) {
        error_ = r;
        return false;
    }
    bus_ = bus;
    error_ = 0;
    settled_ = false;
    waits_->timerDeadline = UINT64_MAX;
    waits_->socket = std::make_unique<loop::FdWatch>(waits_->loop, sd_bus_get_fd(bus_));
    // The first pass runs on the loop, after the owner has set up its matches and calls.
    waits_->loop.post([this, alive = std::weak_ptr<bool>(waits_->alive)] {
        if (!alive.expired()) process();
    });
    return true;
}

Bus::~Bus() {
    *waits_->alive = false;
    if (!bus_) return;
    // What waits for its turn goes out now, as calls nobody answers: the bus daemon counts no
    // reply for them, and nobody is left to read one.
    for (Queued& c : queued_) {
        sd_bus_message_set_expect_reply(c.message.get(), 0);
        sd_bus_send(bus_, c.message.get(), nullptr);
    }
    queued_.clear();
    waits_->timer.cancel();
    waits_->socket.reset();  // the socket belongs to sd-bus
    // Requests still queued (disconnects at exit) must reach bluetoothd.
    sd_bus_flush_close_unref(bus_);
}

void Bus::roundTrip(const std::string& destination, std::chrono::milliseconds timeout) {
    if (!bus_) return;
    sd_bus_message* ping = nullptr;
    const int r = sd_bus_message_new_method_call(bus_, &ping, destination.c_str(), "/", "org.freedesktop.DBus.Peer",
                                                 "Ping");
    const Message owned(ping);
    if (r < 0 || sd_bus_message_set_auto_start(ping, 0) < 0) return;
    // Any answer will do, an error too; other messages wait in sd-bus's queue meanwhile.
    sd_bus_message* reply = nullptr;
    sd_bus_call(bus_, ping, std::chrono::duration_cast<std::chrono::microseconds>(timeout).count(), nullptr, &reply);
    const Message answer(reply);
}

void Bus::call(const std::string& destination, const std::string& path, const char* interface,
               const char* member, const Arguments& append, std::chrono::milliseconds timeout,
               ReplyHandler onReply) {
    sd_bus_message* created = nullptr;
    int r = bus_ ? sd_bus_message_new_method_call(bus_, &created, destination.c_str(), path.c_str(), interface,
                                                  member)
                 : -ENOTCONN;
    Message m(created);
    if (r < 0) {
        if (onReply) fail(std::move(onReply), "org.freedesktop.DBus.Error.Disconnected", r);
        return;
    }
    r = sd_bus_message_set_auto_start(m.get(), 0);
    if (r >= 0 && !onReply) r = sd_bus_message_set_expect_reply(m.get(), 0);
    if (r >= 0 && append) r = append(m.get());
    // A call that cannot be built never goes out, half built: it fails like one refused.
    if (r < 0) {
        if (onReply) fail(std::move(onReply), "org.freedesktop.DBus.Error.InvalidArgs", r);
        return;
    }
    // A call without a reply takes no place among the outstanding ones; one waiting behind
    // others keeps its place in line.
    if (onReply && (outstanding_ >= maxOutstanding || !queued_.empty())) {
        queued_.push_back({std::move(m), timeout, std::move(onReply)});
        return;
    }
    send(std::move(m), timeout, std::move(onReply));
}

void Bus::send(Message m, std::chrono::milliseconds timeout, ReplyHandler onReply) {
    if (!onReply) {
        sd_bus_send(bus_, m.get(), nullptr);
        arm();
        return;
    }
    sd_bus_slot* slot = nullptr;
    const int r = sd_bus_call_async(
        bus_, &slot, m.get(),
        [](sd_bus_message* reply, void* userdata, sd_bus_error*) {
            auto* handler = static_cast<Outstanding*>(userdata);
            handler->bus->outstanding_--;
            handler->onReply(replyOf(reply));
            handler->bus->sendQueued();
            return 0;
        },
        nullptr, static_cast<std::uint64_t>(timeout.count()) * 1000u);
    if (r < 0) {
        fail(std::move(onReply), "org.freedesktop.DBus.Error.Disconnected", r);
        return;
    }
    ++outstanding_;
    ownBySlot(slot, new Outstanding{this, std::move(onReply)});
    arm();
}

void Bus::fail(ReplyHandler onReply, const char* name, int error) {
    // Failing to build or send is an error reply like any other, delivered on the loop, never
    // from inside the caller.
    waits_->loop.post([alive = std::weak_ptr<bool>(waits_->alive), onReply = std::move(onReply), name, error] {
        if (alive.expired()) return;
        Reply reply;
        reply.error = name;
        reply.errorText = std::strerror(-error);
        onReply(reply);
    });
}

void Bus::sendQueued() {
    while (bus_ && !queued_.empty() && outstanding_ < maxOutstanding) {
        Queued next = std::move(queued_.front());
        queued_.pop_front();
        send(std::move(next.message), next.timeout, std::move(next.onReply));
    }
}

void Bus::addMatch(const char* rule, SignalHandler onSignal) {
    if (!bus_) return;
    sd_bus_slot* slot = nullptr;
    const int r = sd_bus_add_match_async(
        bus_, &slot, rule,
        [](sd_bus_message* m, void* handler, sd_bus_error*) {
            (*static_cast<SignalHandler*>(handler))(m);
            return 0;
        },
        nullptr, nullptr);
    if (r < 0) return;
    ownBySlot(slot, new SignalHandler(std::move(onSignal)));
    arm();
}

Bus::Slot Bus::serve(const char* path, const char* interface, const sd_bus_vtable* vtable, void* userdata) {
    sd_bus_slot* slot = nullptr;
    if (!bus_ || sd_bus_add_object_vtable(bus_, &slot, path, interface, vtable, userdata) < 0) return nullptr;
    return Slot(slot);
}

void Bus::reply(sd_bus_message* call, const Arguments& append) {
    if (!bus_ || sd_bus_message_get_bus(call) != bus_) return;
    sd_bus_message* created = nullptr;
    int r = sd_bus_message_new_method_return(call, &created);
    const Message m(created);
    if (r >= 0 && append) r = append(created);
    if (r >= 0) sd_bus_send(bus_, created, nullptr);
    arm();
}

void Bus::replyError(sd_bus_message* call, const char* name, const std::string& text) {
    if (!bus_ || sd_bus_message_get_bus(call) != bus_) return;
    sd_bus_reply_method_errorf(call, name, "%s", text.c_str());
    arm();
}

void Bus::process() {
    if (!bus_) return;
    for (;;) {
        const int r = sd_bus_process(bus_, nullptr);
        if (r < 0) {
            lose(r);
            return;
        }
        if (r == 0) {
            // Nothing buffered past a partial message from here on (see workWaiting).
            settled_ = sd_bus_is_ready(bus_) > 0;
            break;
        }
        if (settled_ && !workWaiting()) break;
    }
    arm();
}

// Whether sd-bus has work that its socket's readiness would not announce: messages already
// queued, a deadline that has passed, or a closing connection. Once the connection runs, sd-bus
// reads each message with reads of exactly its size, so bytes still unread are in the socket and
// the wait on it sees them; this spares the read that would find the socket empty after each
// message. Only the authentication reads ahead (its last read may hold whole messages), hence
// `settled_`: set once a pass ended with nothing to do on a running connection.
bool Bus::workWaiting() const {
    const int events = sd_bus_get_events(bus_);
    if (events < 0 || !(events & POLLIN)) return true;
    std::uint64_t deadline = UINT64_MAX;
    return sd_bus_get_timeout(bus_, &deadline) >= 0 && deadline <= monotonicMicroseconds();
}

void Bus::arm() {
    if (!bus_) return;
    const int events = sd_bus_get_events(bus_);
    if (events < 0) return;
    // A wait already pending stays as it is; one asked for again in the pass that took it costs
    // the loop nothing.
    if (events & POLLIN) waits_->socket->whenReadable([this] { process(); });
    if (events & POLLOUT) waits_->socket->whenWritable([this] { process(); });
    std::uint64_t deadline = UINT64_MAX;
    if (sd_bus_get_timeout(bus_, &deadline) < 0) deadline = UINT64_MAX;
    // The timer only ever moves to an earlier deadline: a timer that fires early finds nothing
    // due and is set again.
    if (deadline >= waits_->timerDeadline) return;
    waits_->timerDeadline = deadline;
    const std::uint64_t now = monotonicMicroseconds();
    waits_->timer = waits_->loop.postAfter(std::chrono::microseconds(deadline > now ? deadline - now : 0), [this] {
        waits_->timerDeadline = UINT64_MAX;
        process();
    });
}

void Bus::lose(int error) {
    error_ = error;
    // Their handlers are never run, like those of calls sent on the bus that broke.
    queued_.clear();
    outstanding_ = 0;
    waits_->timer.cancel();
    waits_->socket.reset();
    sd_bus_close_unref(bus_);
    bus_ = nullptr;
    onLost_();
}

}  // namespace bluez
