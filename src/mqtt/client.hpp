#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "loop/fd_watch.hpp"
#include "loop/main_queue.hpp"
#include "mqtt/backlog.hpp"
#include "mqtt/message.hpp"
#include "mqtt/settings.hpp"

struct mosquitto;
struct mqtt5__property;
struct mosquitto_message;

namespace loop {
class AsioMainQueue;
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
};

// One persistent MQTT session with the broker, on libmosquitto, its socket served by the main
// loop: MQTT 5 unless the broker refuses it, then 3.1.1. It connects, and after every loss
// reconnects, with a back-off from 0.5 s doubling to 30 s (each wait a random half to all of
// it). What is published while the broker is away waits in a backlog of 4 MiB and goes out in
// order on reconnection; messages libmosquitto had in flight go again first. Main thread only.
class Client {
public:
    struct Handlers {
        // After every connection, once the backlog is out.
        std::function<void()> connected;
        // After every attempt that failed and every connection lost, with a retry due.
        std::function<void()> failed;
        std::function<void(const Incoming&)> message;
    };

    // `will` is what the broker publishes when the session ends without a goodbye. `errors`
    // tells of failures and recoveries (one line per change); `diagnostics` tells more, if set.
    Client(loop::AsioMainQueue& queue, const Settings& settings, std::string clientId, const Message& will,
           Handlers handlers, Lines errors, Lines diagnostics);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void start();
    // Subscribes with QoS 1 on every connection.
    void subscribe(std::string filter);
    void publish(Message message);
    bool connected() const { return connected_; }
    bool speaksV5() const { return v5_; }
    // Frames the backlog dropped so far.
    std::uint64_t dropped() const { return backlog_.dropped(); }

    // The orderly end: publishes `last`, gives the broker up to `wait` to acknowledge what is in
    // flight, then disconnects, so the Last Will is not published.
    void finish(const Message& last, std::chrono::milliseconds wait);

private:
    static void onConnect(mosquitto*, void* self, int rc, int flags, const mqtt5__property* properties);
    static void onDisconnect(mosquitto*, void* self, int rc, const mqtt5__property* properties);
    static void onMessage(mosquitto*, void* self, const mosquitto_message* message,
                          const mqtt5__property* properties);
    static void onPublish(mosquitto*, void* self, int mid);

    void attempt();
    void probed(int error);
    void connectNow();
    void lost();
    void retryLater();
    void serve();
    void noteEnd(int rc);
    void afterIo();
    void send(const Message& message);
    void flush();
    // One line on `errors`, unless it says what the last one said.
    void report(std::string line);

    loop::AsioMainQueue& queue_;
    const Settings settings_;
    const std::string endpoint_;  // "host:port", for messages
    Handlers handlers_;
    Lines errors_;
    Lines diagnostics_;
    std::unique_ptr<mosquitto, void (*)(mosquitto*)> mosq_;
    std::vector<std::string> subscriptions_;
    Backlog backlog_;
    bool v5_ = true;
    bool connected_ = false;
    bool connecting_ = false;
    bool stopping_ = false;
    // Whether the broker answered this attempt's CONNECT (a refusal says why itself), and what
    // libmosquitto said when the connection ended.
    bool answered_ = false;
    std::string endReason_;
    std::uint64_t unacknowledged_ = 0;
    std::chrono::milliseconds backoff_{500};
    std::string lastReport_;
    // The TCP probe that precedes each connection, so that an unreachable broker never blocks
    // the loop: libmosquitto's MQTT 5 connect, the one that sends properties, is blocking.
    int probeFd_ = -1;
    std::unique_ptr<loop::FdWatch> probeWatch_;
    std::unique_ptr<loop::FdWatch> socketWatch_;
    loop::Timer retryTimer_;
    loop::Timer keepaliveTimer_;
};

}  // namespace mqtt
