#include "mqtt/client.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <fcntl.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include "loop/asio_main_queue.hpp"

namespace mqtt {

namespace {

constexpr int keepaliveSeconds = 30;
constexpr std::size_t backlogBytes = 4 * 1024 * 1024;
constexpr std::chrono::milliseconds firstBackoff{500};
constexpr std::chrono::milliseconds lastBackoff{30'000};

// libmosquitto's global state, set up once for the process; a broker that went away must cost
// the connection, not the process: EPIPE instead of SIGPIPE.
void initLibrary() {
    static const int done = [] {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGPIPE, &ignore, nullptr);
        return mosquitto_lib_init();
    }();
    (void)done;
}

// A non-blocking TCP connection under way to the broker, or -1 with errno set.
int startProbe(const BrokerUrl& broker) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(broker.port);
    if (const int rc = ::getaddrinfo(broker.host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        errno = rc == EAI_SYSTEM ? errno : EHOSTUNREACH;
        return -1;
    }
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int rc = fd < 0 ? -1 : ::connect(fd, found->ai_addr, found->ai_addrlen);
    const int error = errno;
    ::freeaddrinfo(found);
    if (fd >= 0 && rc != 0 && error != EINPROGRESS) ::close(fd);
    errno = error;
    return fd >= 0 && (rc == 0 || error == EINPROGRESS) ? fd : -1;
}

// libmosquitto's words for an error, the system's where it has none of its own.
std::string describe(int rc) { return rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc); }

// A random half to all of `delay`: gateways that lost their broker together come back spread
// out, not in step.
std::chrono::milliseconds jittered(std::chrono::milliseconds delay) {
    static std::minstd_rand random{std::random_device{}()};
    std::uniform_int_distribution<std::int64_t> part(delay.count() / 2, delay.count());
    return std::chrono::milliseconds(part(random));
}

// OpenSSL's directory of trusted certificates: SSL_CERT_DIR where set, as OpenSSL reads it, else
// the one most Linux systems keep (Fedora's is a link to its own).
const char* systemCaDirectory() {
    const char* set = std::getenv("SSL_CERT_DIR");
    return set && *set ? set : "/etc/ssl/certs";
}

}  // namespace

Client::Client(loop::AsioMainQueue& queue, const Settings& settings, std::string clientId, const Message& will,
               Handlers handlers, Lines errors, Lines diagnostics)
    : queue_(queue),
      settings_(settings),
      endpoint_(settings.broker.host + ":" + std::to_string(settings.broker.port)),
      handlers_(std::move(handlers)),
      errors_(std::move(errors)),
      diagnostics_(std::move(diagnostics)),
      mosq_((initLibrary(), mosquitto_new(clientId.c_str(), false, this)), mosquitto_destroy),
      backlog_(backlogBytes) {
    if (!mosq_) throw std::runtime_error("mosquitto_new failed");
    mosquitto_int_option(mosq_.get(), MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(mosq_.get(), onConnect);
    mosquitto_disconnect_v5_callback_set(mosq_.get(), onDisconnect);
    mosquitto_message_v5_callback_set(mosq_.get(), onMessage);
    mosquitto_publish_callback_set(mosq_.get(), onPublish);
    mosquitto_will_set_v5(mosq_.get(), will.topic.c_str(), static_cast<int>(will.payload.size()),
                          will.payload.data(), will.qos, will.retain, nullptr);
    const auto& broker = settings_.broker;
    if (broker.user) {
        const char* password = broker.password ? broker.password->c_str() : nullptr;
        mosquitto_username_pw_set(mosq_.get(), broker.user->c_str(), password);
    }
    if (broker.tls) {
        // The system's store alone would do for the first connection, but libmosquitto 2.0 then
        // refuses every later one ("invalid function arguments": with no CA file or directory of
        // its own it takes the TLS context it made as the caller's), so a gateway would never
        // reconnect. The system's directory is named as well: the same certificates.
        const char* caDirectory = settings_.caFile ? nullptr : systemCaDirectory();
        const char* caFile = settings_.caFile ? settings_.caFile->c_str() : nullptr;
        if (const int rc = mosquitto_tls_set(mosq_.get(), caFile, caDirectory, nullptr, nullptr, nullptr))
            throw std::runtime_error(std::string("cannot use the CA certificates: ") + mosquitto_strerror(rc));
        if (!settings_.caFile) mosquitto_int_option(mosq_.get(), MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    }
}

Client::~Client() {
    socketWatch_.reset();
    probeWatch_.reset();
    if (probeFd_ >= 0) ::close(probeFd_);
}

void Client::start() { attempt(); }

void Client::subscribe(std::string filter) { subscriptions_.push_back(std::move(filter)); }

void Client::publish(Message message) {
    if (!connected_) return backlog_.push(std::move(message));
    send(message);
    afterIo();
}

void Client::send(const Message& message) {
    mosquitto_property* properties = nullptr;
    if (v5_ && message.correlation)
        mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA, message.correlation->data(),
                                      static_cast<std::uint16_t>(message.correlation->size()));
    const int rc = mosquitto_publish_v5(mosq_.get(), nullptr, message.topic.c_str(),
                                        static_cast<int>(message.payload.size()), message.payload.data(),
                                        message.qos, message.retain, properties);
    mosquitto_property_free_all(&properties);
    if (rc == MOSQ_ERR_SUCCESS && message.qos > 0) ++unacknowledged_;
    if (rc != MOSQ_ERR_SUCCESS && diagnostics_)
        diagnostics_("mqtt: not published to " + message.topic + ": " + mosquitto_strerror(rc));
}

// A TCP connection first, watched on the loop; the MQTT connection once it is known to succeed.
void Client::attempt() {
    if (stopping_) return;
    connecting_ = true;
    answered_ = false;
    endReason_.clear();
    probeFd_ = startProbe(settings_.broker);
    if (probeFd_ < 0) return probed(errno);
    probeWatch_ = std::make_unique<loop::FdWatch>(queue_, probeFd_);
    probeWatch_->whenWritable([this] {
        int error = 0;
        socklen_t size = sizeof error;
        ::getsockopt(probeFd_, SOL_SOCKET, SO_ERROR, &error, &size);
        probed(error);
    });
}

void Client::probed(int error) {
    probeWatch_.reset();
    if (probeFd_ >= 0) ::close(probeFd_);
    probeFd_ = -1;
    if (error != 0) {
        report("mqtt: cannot reach the broker at " + endpoint_ + ": " + std::strerror(error) + "; retrying");
        return retryLater();
    }
    connectNow();
}

void Client::connectNow() {
    const auto& broker = settings_.broker;
    int rc;
    if (v5_) {
        // The session outlives the connection: what the broker holds for it waits for us.
        mosquitto_property* properties = nullptr;
        mosquitto_property_add_int32(&properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL, UINT32_MAX);
        rc = mosquitto_connect_bind_v5(mosq_.get(), broker.host.c_str(), broker.port, keepaliveSeconds, nullptr,
                                       properties);
        mosquitto_property_free_all(&properties);
    } else {
        rc = mosquitto_connect(mosq_.get(), broker.host.c_str(), broker.port, keepaliveSeconds);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        report("mqtt: cannot connect to the broker at " + endpoint_ + ": " + describe(rc) + "; retrying");
        return retryLater();
    }
    serve();
}

void Client::retryLater() {
    connecting_ = false;
    if (stopping_) return;
    retryTimer_ = queue_.postAfter(jittered(backoff_), [this] { attempt(); });
    backoff_ = std::clamp(backoff_ * 2, firstBackoff, lastBackoff);
    if (handlers_.failed) handlers_.failed();
}

// Watches the socket for what libmosquitto wants next, and runs its keepalive.
void Client::serve() {
    const int fd = mosquitto_socket(mosq_.get());
    if (fd < 0) return lost();
    if (!socketWatch_ || socketWatch_->fd() != fd) socketWatch_ = std::make_unique<loop::FdWatch>(queue_, fd);
    socketWatch_->whenReadable([this] {
        noteEnd(mosquitto_loop_read(mosq_.get(), 1));
        afterIo();
    });
    if (mosquitto_want_write(mosq_.get())) {
        socketWatch_->whenWritable([this] {
            noteEnd(mosquitto_loop_write(mosq_.get(), 1));
            afterIo();
        });
    }
    if (!keepaliveTimer_.pending()) {
        keepaliveTimer_ = queue_.postAfter(std::chrono::seconds(keepaliveSeconds) / 4, [this] {
            noteEnd(mosquitto_loop_misc(mosq_.get()));
            afterIo();
        });
    }
}

// The first error of a connection: what its end is put down to.
void Client::noteEnd(int rc) {
    if (rc != MOSQ_ERR_SUCCESS && endReason_.empty()) endReason_ = describe(rc);
}

void Client::afterIo() {
    if (stopping_ || (!connected_ && !connecting_)) return;
    if (mosquitto_socket(mosq_.get()) < 0) return lost();
    serve();
}

// The connection ended (libmosquitto closed its socket): try again later.
void Client::lost() {
    if (!connected_ && !connecting_) return;
    if (connected_) {
        report("mqtt: lost the broker at " + endpoint_ + "; reconnecting");
    } else if (!answered_) {
        // It ended before the broker answered: a failed TLS handshake, or a broker that hung up.
        const std::string why = endReason_.empty() ? "the connection closed" : endReason_;
        report("mqtt: cannot connect to the broker at " + endpoint_ + ": " + why + "; retrying");
    }
    connected_ = false;
    socketWatch_.reset();
    keepaliveTimer_.cancel();
    retryLater();
}

void Client::flush() {
    while (connected_ && !backlog_.empty()) send(backlog_.pop());
    afterIo();
    if (connected_ && handlers_.connected) handlers_.connected();
}

void Client::report(std::string line) {
    if (line == lastReport_) return;
    if (errors_) errors_(line);
    lastReport_ = std::move(line);
}

void Client::onConnect(mosquitto*, void* self, int rc, int, const mqtt5__property*) {
    auto& client = *static_cast<Client*>(self);
    client.answered_ = true;
    if (rc == 0) {
        client.connected_ = true;
        client.connecting_ = false;
        client.backoff_ = firstBackoff;
        if (!client.lastReport_.empty()) client.report("mqtt: connected to the broker at " + client.endpoint_);
        if (client.diagnostics_)
            client.diagnostics_(std::string("mqtt: connected with MQTT ") + (client.v5_ ? "5" : "3.1.1"));
        for (const auto& filter : client.subscriptions_)
            mosquitto_subscribe(client.mosq_.get(), nullptr, filter.c_str(), 1);
        // After libmosquitto has sent again what it had in flight, which it does once this returns.
        client.queue_.post([&client] { client.flush(); });
        return;
    }
    if (client.v5_ && (rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION || rc == CONNACK_REFUSED_PROTOCOL_VERSION)) {
        client.v5_ = false;
        client.backoff_ = std::chrono::milliseconds(0);
        mosquitto_int_option(client.mosq_.get(), MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        if (client.diagnostics_) client.diagnostics_("mqtt: the broker refused MQTT 5; using 3.1.1");
        return;
    }
    const char* why = client.v5_ ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc);
    client.report("mqtt: the broker at " + client.endpoint_ + " refused the connection: " + why + "; retrying");
}

void Client::onDisconnect(mosquitto*, void* self, int rc, const mqtt5__property*) {
    // Posted: libmosquitto closes the socket only after this returns.
    auto& client = *static_cast<Client*>(self);
    client.noteEnd(rc);
    client.queue_.post([&client] { client.afterIo(); });
}

void Client::onMessage(mosquitto*, void* self, const mosquitto_message* message, const mqtt5__property* properties) {
    auto& client = *static_cast<Client*>(self);
    if (client.stopping_ || !client.handlers_.message) return;
    Incoming incoming{.topic = message->topic,
                      .payload = {static_cast<const std::uint8_t*>(message->payload),
                                  static_cast<std::size_t>(message->payloadlen)},
                      .responseTopic = std::nullopt,
                      .correlation = std::nullopt};
    char* responseTopic = nullptr;
    void* correlation = nullptr;
    std::uint16_t correlationSize = 0;
    mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &responseTopic, false);
    mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &correlation, &correlationSize, false);
    if (responseTopic) incoming.responseTopic = responseTopic;
    if (correlation) incoming.correlation = std::string_view(static_cast<const char*>(correlation), correlationSize);
    client.handlers_.message(incoming);
    std::free(responseTopic);
    std::free(correlation);
}

void Client::onPublish(mosquitto*, void* self, int) {
    auto& client = *static_cast<Client*>(self);
    if (client.unacknowledged_ > 0) --client.unacknowledged_;
}

void Client::finish(const Message& last, std::chrono::milliseconds wait) {
    retryTimer_.cancel();
    keepaliveTimer_.cancel();
    socketWatch_.reset();
    const bool wasConnected = connected_;
    if (wasConnected) send(last);
    stopping_ = true;
    if (!wasConnected) return;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (unacknowledged_ > 0 && mosquitto_socket(mosq_.get()) >= 0 && std::chrono::steady_clock::now() < deadline)
        mosquitto_loop(mosq_.get(), 50, 1);
    mosquitto_disconnect(mosq_.get());
    while (mosquitto_socket(mosq_.get()) >= 0 && mosquitto_want_write(mosq_.get()) &&
           std::chrono::steady_clock::now() < deadline)
        mosquitto_loop(mosq_.get(), 50, 1);
    connected_ = false;
}

}  // namespace mqtt
