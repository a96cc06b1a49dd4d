#pragma once

#include <chrono>
#include <deque>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "loop/fd_watch.hpp"
#include "loop/host_lookup.hpp"
#include "loop/main_queue.hpp"
#include "mqtt/backlog.hpp"
#include "mqtt/message.hpp"
#include "mqtt/settings.hpp"

struct mosquitto;
struct mqtt5__property;
struct mosquitto_message;

namespace loop {
class MainLoop;
}

namespace mqtt {

// Lines for standard error (without the program's name or a line feed).
using Lines = std::function<void(std::string_view)>;

// A message from the broker, valid for the call only.
struct Incoming {
    std::string_view topic;
    std::span<const std::uint8_t> payload;
    std::optional<std::string_view> responseTopic;
    std::optional<std::string_view> correlation;
    // Sent as a retained message (on subscribing, or kept so by the subscription's options).
    bool retained = false;
};

// What a subscription asks of the broker's retained messages (MQTT 5; 3.1.1 always sends them).
enum class Retained : std::uint8_t {
    send,         // those held when subscribing, flagged; live messages unflagged
    never,        // none when subscribing
    asPublished,  // as `send`, and live messages flagged as their publisher sent them
};

// One persistent MQTT session with the broker, on libmosquitto, its socket served by the main
// loop: MQTT 5 unless the broker refuses it, then 3.1.1. It looks the broker's host up off the
// loop and tries its addresses in order; after every loss it reconnects, with a back-off from
// 0.5 s doubling to 30 s (each wait a random half to all of it), or of a minute or two when
// another client takes the session. What is published while the broker is away waits in a
// backlog of 4 MiB and goes out in order on reconnection; messages libmosquitto had in flight go
// again first. A refusal by the broker (of a subscription, of a message) is said once. Main
// thread only.
class Client {
public:
    struct Handlers {
        // After every connection, before the backlog goes out.
        std::function<void()> connected;
        // After every attempt that failed and every connection lost, with a retry due.
        std::function<void()> failed;
        std::function<void(const Incoming&)> message;
    };

    // `will` is what the broker publishes when the session ends without a goodbye;
    // `maximumPacket` the largest packet the broker may send us (MQTT 5). `errors` tells of
    // failures and recoveries (one line per change); `diagnostics` tells more, if set.
    Client(loop::MainLoop& queue, const Settings& settings, std::string clientId, const Message& will,
           std::uint32_t maximumPacket, Handlers handlers, Lines errors, Lines diagnostics);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void start();
    // Subscribes with QoS 1 on every connection.
    void subscribe(std::string filter, Retained retained = Retained::send);
    void publish(Message message);
    bool connected() const { return connected_; }
    bool speaksV5() const { return v5_; }
    // Frames lost so far: dropped by the backlog or refused by the broker.
    std::uint64_t dropped() const { return backlog_.dropped() + refusedFrames_; }
    std::size_t backlogBytes() const { return backlog_.bytes(); }
    // Connections after the first.
    std::uint64_t reconnections() const { return reconnections_; }

    // The orderly end: publishes `last`, gives the broker up to `wait` to acknowledge what is in
    // flight, then disconnects, so the Last Will is not published.
    void finish(const Message& last, std::chrono::milliseconds wait);

private:
    struct Subscription {
        std::string filter;
        Retained retained;
    };
    // A QoS 1 message the broker has not acknowledged yet.
    struct Unacknowledged {
        std::string topic;
        bool frame;
    };

    static void onConnect(mosquitto*, void* self, int rc, int flags, const mqtt5__property* properties);
    static void onDisconnect(mosquitto*, void* self, int rc, const mqtt5__property* properties);
    static void onLog(mosquitto*, void* self, int level, const char* text);
    static void onMessage(mosquitto*, void* self, const mosquitto_message* message,
                          const mqtt5__property* properties);
    static void onPublish(mosquitto*, void* self, int mid, int reason, const mqtt5__property* properties);
    static void onSubscribe(mosquitto*, void* self, int mid, int count, const int* granted,
                            const mqtt5__property* properties);

    void attempt();
    void tryAddress();
    void setConnectProperties();
    void lost();
    bool takenOver();
    void retryLater();
    void serve();
    void noteEnd(int rc);
    void afterIo();
    void send(const Message& message);
    void flush();
    // One line on `errors`, unless it says what the last one said.
    void report(std::string line);
    // A refusal by the broker, said when it is new for `what`.
    void refused(const std::string& what, int reason, std::string line);

    loop::MainLoop& queue_;
    const Settings settings_;
    const std::string clientId_;
    const std::string endpoint_;  // "host:port", for messages
    const std::uint32_t maximumPacket_;
    Handlers handlers_;
    Lines errors_;
    Lines diagnostics_;
    std::unique_ptr<mosquitto, void (*)(mosquitto*)> mosq_;
    std::vector<Subscription> subscriptions_;
    std::unordered_map<int, std::string> subscribing_;  // by message id
    std::unordered_map<int, Unacknowledged> unacknowledged_;  // by message id
    // The last refusal said, by topic or "subscription " and filter; a topic accepted again is
    // taken out.
    std::unordered_map<std::string, int> refusals_;
    std::uint64_t refusedFrames_ = 0;
    Backlog backlog_;
    bool v5_ = true;
    bool everConnected_ = false;
    std::uint64_t reconnections_ = 0;
    bool connected_ = false;
    bool connecting_ = false;
    bool stopping_ = false;
    // This attempt: the broker's addresses and the next to try, whether the broker answered the
    // CONNECT (a refusal says why itself), and how libmosquitto said the connection ended.
    std::unique_ptr<loop::HostLookup> lookup_;
    std::vector<std::string> addresses_;
    std::size_t nextAddress_ = 0;
    bool answered_ = false;
    int endCode_ = 0;
    std::string endReason_;
    std::string tlsFailure_;
    // When connections the broker accepted were then closed by it, the last minute's: a second
    // client with our id takes the session from us so, on brokers that do not say it (0x8E).
    std::deque<std::chrono::steady_clock::time_point> closedByBroker_;
    std::chrono::milliseconds backoff_{500};
    std::string lastReport_;
    std::unique_ptr<loop::FdWatch> socketWatch_;
    loop::Timer retryTimer_;
    loop::Timer keepaliveTimer_;
};

}  // namespace mqtt
