#include "mqtt/client.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "loop/main_loop.hpp"

namespace mqtt {

namespace {

constexpr int keepaliveSeconds = 30;
constexpr std::size_t backlogBound = 4 * 1024 * 1024;
constexpr std::chrono::milliseconds firstBackoff{500};
constexpr std::chrono::milliseconds lastBackoff{30'000};
// The wait after another client took the session: a minute or two, with the random part.
constexpr std::chrono::milliseconds takenOverBackoff{120'000};
constexpr auto takeoverWindow = std::chrono::minutes(1);
constexpr std::size_t takeoverCloses = 3;

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

Client::Client(loop::MainLoop& queue, const Settings& settings, std::string clientId, const Message& will,
               std::uint32_t maximumPacket, Handlers handlers, Lines errors, Lines diagnostics)
    : queue_(queue),
      settings_(settings),
      clientId_(std::move(clientId)),
      endpoint_(settings.broker.host + ":" + std::to_string(settings.broker.port)),
      maximumPacket_(maximumPacket),
      handlers_(std::move(handlers)),
      errors_(std::move(errors)),
      diagnostics_(std::move(diagnostics)),
      mosq_((initLibrary(), mosquitto_new(clientId_.c_str(), settings.sessionExpiry == 0, this)), mosquitto_destroy),
      backlog_(backlogBound) {
    if (!mosq_) throw std::runtime_error("mosquitto_new failed");
    mosquitto_int_option(mosq_.get(), MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(mosq_.get(), onConnect);
    mosquitto_disconnect_v5_callback_set(mosq_.get(), onDisconnect);
    mosquitto_message_v5_callback_set(mosq_.get(), onMessage);
    mosquitto_publish_v5_callback_set(mosq_.get(), onPublish);
    mosquitto_subscribe_v5_callback_set(mosq_.get(), onSubscribe);
    mosquitto_log_callback_set(mosq_.get(), onLog);
    setConnectProperties();
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
        const char* certFile = settings_.certFile ? settings_.certFile->c_str() : nullptr;
        const char* keyFile = settings_.keyFile ? settings_.keyFile->c_str() : nullptr;
        if (const int rc = mosquitto_tls_set(mosq_.get(), caFile, caDirectory, certFile, keyFile, nullptr))
            throw std::runtime_error(std::string("cannot use the TLS files: ") + mosquitto_strerror(rc));
        if (!settings_.caFile) mosquitto_int_option(mosq_.get(), MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    }
}

Client::~Client() { socketWatch_.reset(); }

// libmosquitto 2.0 sends the properties of the last mosquitto_connect_bind_v5() call in every
// CONNECT, the non-blocking ones included, and has no other way to set them. That call blocks,
// so it is made with a port that it refuses (MOSQ_ERR_INVAL) after keeping the properties and
// before any connection. For 3.1.1, which takes none, it clears them.
void Client::setConnectProperties() {
    mosquitto_property* properties = nullptr;
    if (v5_) {
        // The session outlives the connection for a while: what the broker holds for it waits for us.
        mosquitto_property_add_int32(&properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL, settings_.sessionExpiry);
        mosquitto_property_add_int32(&properties, MQTT_PROP_MAXIMUM_PACKET_SIZE, maximumPacket_);
    }
    mosquitto_connect_bind_v5(mosq_.get(), "localhost", -1, keepaliveSeconds, nullptr, properties);
    mosquitto_property_free_all(&properties);
}

void Client::start() { attempt(); }

void Client::subscribe(std::string filter, Retained retained) {
    subscriptions_.push_back({std::move(filter), retained});
}

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
    if (v5_ && message.seq != 0)
        mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY, "seq",
                                           std::to_string(message.seq).c_str());
    int mid = 0;
    const int rc = mosquitto_publish_v5(mosq_.get(), &mid, message.topic.c_str(),
                                        static_cast<int>(message.payload.size()), message.payload.data(),
                                        message.qos, message.retain, properties);
    mosquitto_property_free_all(&properties);
    if (rc == MOSQ_ERR_SUCCESS && message.qos > 0)
        unacknowledged_.insert_or_assign(mid, Unacknowledged{message.topic, message.frame});
    if (rc != MOSQ_ERR_SUCCESS && diagnostics_)
        diagnostics_("mqtt: not published to " + message.topic + ": " + mosquitto_strerror(rc));
}

// The broker's addresses first, looked up off the loop; then each in turn until one connects.
// A host given as an address, or a TLS broker's name (which libmosquitto checks the broker's
// certificate against, so it must have the name), goes to libmosquitto as it is.
void Client::attempt() {
    if (stopping_) return;
    connecting_ = true;
    const auto& host = settings_.broker.host;
    const bool numeric = host.find(':') != std::string::npos ||
                         host.find_first_not_of("0123456789.") == std::string::npos;
    if (numeric || settings_.broker.tls) {
        addresses_ = {host};
        nextAddress_ = 0;
        return tryAddress();
    }
    lookup_ = std::make_unique<loop::HostLookup>(queue_, host, [this](std::vector<std::string> found, std::string error) {
        lookup_.reset();
        if (found.empty()) {
            report("mqtt: cannot find the broker " + settings_.broker.host + ": " + error + "; retrying");
            return retryLater();
        }
        addresses_ = std::move(found);
        nextAddress_ = 0;
        tryAddress();
    });
}

// A non-blocking connection to the next address; its end, or the broker's answer, comes later.
void Client::tryAddress() {
    answered_ = false;
    endCode_ = 0;
    endReason_.clear();
    tlsFailure_.clear();
    const std::string& address = addresses_[nextAddress_++];
    const int rc = mosquitto_connect_bind_async(mosq_.get(), address.c_str(), settings_.broker.port,
                                                keepaliveSeconds, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        noteEnd(rc);
        return lost();
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
    if (rc == MOSQ_ERR_SUCCESS || endCode_ != 0) return;
    endCode_ = rc;
    endReason_ = describe(rc);
}

void Client::afterIo() {
    if (stopping_ || (!connected_ && !connecting_)) return;
    if (mosquitto_socket(mosq_.get()) < 0) return lost();
    serve();
}

// The connection ended (libmosquitto closed its socket): the next address, or later again.
void Client::lost() {
    if (!connected_ && !connecting_) return;
    socketWatch_.reset();
    keepaliveTimer_.cancel();
    if (connected_) {
        connected_ = false;
        if (takenOver()) {
            report("mqtt: another client took the session " + clientId_ + " (probably a second gateway named " +
                   settings_.gateway + "); trying again in a minute or two");
            backoff_ = takenOverBackoff;
        } else {
            report("mqtt: lost the broker at " + endpoint_ + "; reconnecting");
        }
        return retryLater();
    }
    if (!answered_ && nextAddress_ < addresses_.size()) return tryAddress();
    if (!answered_) {
        // It ended before the broker answered: nothing listening, a failed TLS handshake, or a
        // broker that hung up.
        const bool system = endCode_ == MOSQ_ERR_ERRNO || endCode_ == 0;
        const std::string why = !tlsFailure_.empty() ? tlsFailure_
                                : endReason_.empty() ? "the connection closed"
                                                     : endReason_;
        report(std::string(system ? "mqtt: cannot reach the broker at " : "mqtt: cannot connect to the broker at ") +
               endpoint_ + ": " + why + "; retrying");
    }
    retryLater();
}

// Whether the connection just lost was taken by another client with our id: the broker said so
// (0x8E), or it closed connections it had accepted again and again within a minute, with no
// error on our side (mosquitto before 2.0.12 closes the older connection without a word).
bool Client::takenOver() {
    if (endCode_ == MQTT_RC_SESSION_TAKEN_OVER) return true;
    if (endCode_ != MOSQ_ERR_CONN_LOST) return false;
    const auto now = std::chrono::steady_clock::now();
    closedByBroker_.push_back(now);
    while (now - closedByBroker_.front() > takeoverWindow) closedByBroker_.pop_front();
    if (closedByBroker_.size() < takeoverCloses) return false;
    closedByBroker_.clear();
    return true;
}

void Client::flush() {
    if (!connected_) return;
    if (handlers_.connected) handlers_.connected();
    while (connected_ && !backlog_.empty()) send(backlog_.pop());
    afterIo();
}

void Client::report(std::string line) {
    if (line == lastReport_) return;
    if (errors_) errors_(line);
    lastReport_ = std::move(line);
}

void Client::refused(const std::string& what, int reason, std::string line) {
    const auto [said, isNew] = refusals_.try_emplace(what, reason);
    if (!isNew && said->second == reason) return;
    said->second = reason;
    if (errors_) errors_(line);
}

void Client::onConnect(mosquitto*, void* self, int rc, int, const mqtt5__property*) {
    auto& client = *static_cast<Client*>(self);
    client.answered_ = true;
    if (rc == 0) {
        if (client.everConnected_) ++client.reconnections_;
        client.everConnected_ = true;
        client.connected_ = true;
        client.connecting_ = false;
        client.backoff_ = firstBackoff;
        if (!client.lastReport_.empty()) client.report("mqtt: connected to the broker at " + client.endpoint_);
        if (client.diagnostics_)
            client.diagnostics_(std::string("mqtt: connected with MQTT ") + (client.v5_ ? "5" : "3.1.1"));
        for (const auto& [filter, retained] : client.subscriptions_) {
            int options = 0;
            if (client.v5_ && retained == Retained::never) options = MQTT_SUB_OPT_SEND_RETAIN_NEVER;
            if (client.v5_ && retained == Retained::asPublished) options = MQTT_SUB_OPT_RETAIN_AS_PUBLISHED;
            int mid = 0;
            if (mosquitto_subscribe_v5(client.mosq_.get(), &mid, filter.c_str(), 1, options, nullptr) == 0)
                client.subscribing_.insert_or_assign(mid, filter);
        }
        // After libmosquitto has sent again what it had in flight, which it does once this returns.
        client.queue_.post([&client] { client.flush(); });
        return;
    }
    if (client.v5_ && (rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION || rc == CONNACK_REFUSED_PROTOCOL_VERSION)) {
        client.v5_ = false;
        client.backoff_ = std::chrono::milliseconds(0);
        mosquitto_int_option(client.mosq_.get(), MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        client.setConnectProperties();
        if (client.diagnostics_) client.diagnostics_("mqtt: the broker refused MQTT 5; using 3.1.1");
        return;
    }
    const char* why = client.v5_ ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc);
    client.report("mqtt: the broker at " + client.endpoint_ + " refused the connection: " + why + "; retrying");
}

// libmosquitto logs OpenSSL's error when a TLS handshake fails, and says no more than "A TLS
// error occurred" afterwards; the certificate's verification result, read while the connection
// still exists, says what failed (the name, an unknown CA, an expiry).
void Client::onLog(mosquitto* mosq, void* self, int level, const char* text) {
    auto& client = *static_cast<Client*>(self);
    if (level != MOSQ_LOG_ERR || !client.tlsFailure_.empty() || !std::string_view(text).starts_with("OpenSSL"))
        return;
    const auto* ssl = static_cast<const SSL*>(mosquitto_ssl_get(mosq));
    const long result = ssl ? SSL_get_verify_result(ssl) : X509_V_OK;
    // libmosquitto checks the name itself, and leaves OpenSSL's result unspecified when it fails.
    if (result == X509_V_ERR_UNSPECIFIED)
        client.tlsFailure_ = "the broker's certificate is not for " + client.settings_.broker.host;
    else if (result != X509_V_OK)
        client.tlsFailure_ = std::string("the broker's certificate: ") + X509_verify_cert_error_string(result);
    else
        client.tlsFailure_ = text;
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
                      .correlation = std::nullopt,
                      .retained = message->retain};
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

// A PUBACK: in MQTT 5 with the broker's reason, a refusal from 0x80 on (an ACL's "not
// authorized"); a frame it refused is lost like one the backlog dropped.
void Client::onPublish(mosquitto*, void* self, int mid, int reason, const mqtt5__property*) {
    auto& client = *static_cast<Client*>(self);
    const auto found = client.unacknowledged_.find(mid);
    if (found == client.unacknowledged_.end()) return;
    if (reason >= 0x80) {
        if (found->second.frame) ++client.refusedFrames_;
        client.refused(found->second.topic, reason,
                       "mqtt: the broker refused a message to " + found->second.topic + ": " +
                           mosquitto_reason_string(reason));
    } else if (!client.refusals_.empty()) {
        client.refusals_.erase(found->second.topic);
    }
    client.unacknowledged_.erase(found);
}

void Client::onSubscribe(mosquitto*, void* self, int mid, int count, const int* granted, const mqtt5__property*) {
    auto& client = *static_cast<Client*>(self);
    const auto found = client.subscribing_.find(mid);
    if (found == client.subscribing_.end()) return;
    if (count > 0 && granted[0] >= 0x80)
        client.refused("subscription " + found->second, granted[0],
                       "mqtt: the broker refused the subscription to " + found->second + ": " +
                           mosquitto_reason_string(granted[0]));
    client.subscribing_.erase(found);
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
    while (!unacknowledged_.empty() && mosquitto_socket(mosq_.get()) >= 0 && std::chrono::steady_clock::now() < deadline)
        mosquitto_loop(mosq_.get(), 50, 1);
    mosquitto_disconnect(mosq_.get());
    while (mosquitto_socket(mosq_.get()) >= 0 && mosquitto_want_write(mosq_.get()) &&
           std::chrono::steady_clock::now() < deadline)
        mosquitto_loop(mosq_.get(), 50, 1);
    connected_ = false;
}

}  // namespace mqtt
