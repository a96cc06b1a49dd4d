#include "mqtt/front.hpp"

#include <charconv>

#include "bridge/constants.hpp"
#include "loop/main_loop.hpp"
#include "mqtt/payloads.hpp"

namespace mqtt {

namespace {

constexpr std::chrono::milliseconds finishWait{2000};
// The largest packet the broker may send us: the largest frame, with room for its topic and
// properties. The broker drops a larger one rather than have us hold it.
constexpr std::uint32_t maximumPacket = bridge::maxSendBytes + 64 * 1024;
constexpr std::chrono::seconds replaceInterval{10};

}  // namespace

Front::Front(loop::MainLoop& queue, const Settings& settings, Lines errors, Lines diagnostics)
    : queue_(queue),
      settings_(settings),
      base_(settings.topicPrefix + "/" + settings.gateway + "/"),
      peersBase_(base_ + "peers/"),
      client_(queue, settings, settings.clientId.empty() ? settings.topicPrefix + "/" + settings.gateway : settings.clientId,
              {.topic = base_ + "status", .payload = offlineStatus(), .retain = true}, maximumPacket,
              {.connected =
                   [this] {
                       connected();
                       if (brokerWatch_) brokerWatch_(true);
                   },
               .failed =
                   [this] {
                       if (brokerWatch_) brokerWatch_(false);
                   },
               .message = [this](const Incoming& m) { received(m); }},
              std::move(errors), std::move(diagnostics)) {}

void Front::attach(std::weak_ptr<bridge::CommandTarget> target) {
    target_ = std::move(target);
    // A retained tx message would be written again at every connection: never sent (and refused
    // when a broker sends it anyway).
    client_.subscribe(peersBase_ + "+/tx", Retained::never);
    // Retained peers a previous run left behind come back on this one, and are cleared.
    client_.subscribe(peersBase_ + "+");
    // So is a status someone else left on ours.
    client_.subscribe(base_ + "status", Retained::asPublished);
    client_.start();
    if (settings_.statsSeconds > 0) publishStats();
}

void Front::finish() {
    for (const auto& [id, peer] : ready_) client_.publish({.topic = peerTopic(id), .retain = true});
    ready_.clear();
    client_.finish({.topic = base_ + "status", .payload = offlineStatus(), .retain = true}, finishWait);
}

std::string Front::peerTopic(const codec::Uuid& id) const {
    std::string topic = peersBase_;
    id.appendText(topic);
    return topic;
}

// What the broker retains is published again on every connection, before the backlog: a broker
// that lost its retained messages (restarted without persistence) has them back at once.
void Front::connected() {
    publishStatus();
    for (const auto& [id, peer] : ready_)
        client_.publish({.topic = peerTopic(id), .payload = peerPayload(peer), .retain = true});
}

// The status is what holds now: it is not kept for a broker that is away, but published afresh
// on every connection.
void Front::publishStatus() {
    if (!client_.connected() || state_.empty()) return;
    status_ = onlineStatus(state_, reason_, client_.dropped());
    client_.publish({.topic = base_ + "status", .payload = status_, .retain = true});
}

// Ours again over another status, at most once per interval: two gateways that share a name
// (with client ids of their own) must not answer each other without end.
void Front::replaceStatus() {
    if (replaceTimer_.pending()) {
        replaceDue_ = true;
        return;
    }
    replaceDue_ = false;
    publishStatus();
    replaceTimer_ = queue_.postAfter(replaceInterval, [this] {
        if (replaceDue_) replaceStatus();
    });
}

void Front::state(std::string_view value, std::string_view reason) {
    state_ = value;
    reason_ = reason;
    publishStatus();
}

// Counters, not retained, QoS 0: a graph misses a point while the broker is away.
void Front::publishStats() {
    statsTimer_ = queue_.postAfter(std::chrono::seconds(settings_.statsSeconds), [this] {
        counters_.uptime =
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started_).count();
        counters_.peers = static_cast<std::int64_t>(ready_.size());
        counters_.reconnections = client_.reconnections();
        counters_.backlogBytes = client_.backlogBytes();
        counters_.dropped = client_.dropped();
        if (client_.connected())
            client_.publish({.topic = base_ + "stats", .payload = statsPayload(counters_), .qos = 0});
        publishStats();
    });
}

void Front::peerConnected(const bridge::ReadyPeer& peer) {
    ready_.insert_or_assign(peer.id, peer);
    rxSeq_.insert_or_assign(peer.id, 0);
    client_.publish({.topic = peerTopic(peer.id), .payload = peerPayload(peer), .retain = true});
}

void Front::peerDisconnected(const codec::Uuid& id, std::int64_t, bridge::PeerEnd reason) {
    const std::string topic = peerTopic(id);
    if (ready_.erase(id) > 0) client_.publish({.topic = topic, .retain = true});
    rxSeq_.erase(id);
    client_.publish({.topic = topic + "/gone", .payload = gonePayload(reason)});
}

void Front::mtu(const codec::Uuid& id, std::int64_t mtu) {
    const auto found = ready_.find(id);
    if (found == ready_.end()) return;
    found->second.mtu = mtu;
    client_.publish({.topic = peerTopic(id), .payload = peerPayload(found->second), .retain = true});
}

void Front::frame(const codec::Uuid& id, std::span<const std::uint8_t> data) {
    ++counters_.framesOut;
    client_.publish({.topic = peerTopic(id) + "/rx",
                     .payload = std::string(reinterpret_cast<const char*>(data.data()), data.size()),
                     .qos = settings_.rxQos,
                     .frame = true,
                     .seq = ++rxSeq_[id]});
}

// A frame written is answered when its message asked for it, or with --mqtt-results all; one
// refused or failed always.
void Front::write(const codec::Uuid& id, bridge::WriteOutcome outcome, std::int64_t bytes, std::string_view tag) {
    if (outcome == bridge::WriteOutcome::writeFailed || outcome == bridge::WriteOutcome::pairingRequired)
        ++counters_.writesFailed;
    bool requested = false;
    std::optional<Reply> reply;
    std::uint64_t key = 0;
    if (!tag.empty() && std::from_chars(tag.data(), tag.data() + tag.size(), key).ec == std::errc()) {
        if (auto found = replies_.find(key); found != replies_.end()) {
            reply = std::move(found->second);
            replies_.erase(found);
            requested = reply->requested;
        }
    }
    if (outcome == bridge::WriteOutcome::written && !requested && !settings_.allResults) return;
    Message result{.topic = reply ? std::move(reply->topic) : peerTopic(id) + "/tx/result",
                   .payload = resultPayload(outcome, bytes)};
    if (reply) result.correlation = std::move(reply->correlation);
    client_.publish(std::move(result));
}

// P/G/peers/ID/tx: a frame for peer ID. P/G/peers/ID: a retained peer, stale unless ready.
// P/G/status: a status someone else published.
void Front::received(const Incoming& message) {
    std::string_view topic = message.topic;
    if (topic.size() == base_.size() + 6 && topic.starts_with(base_) && topic.ends_with("status")) {
        const std::string_view payload(reinterpret_cast<const char*>(message.payload.data()), message.payload.size());
        if (payload != status_) replaceStatus();
        return;
    }
    if (!topic.starts_with(peersBase_)) return;
    topic.remove_prefix(peersBase_.size());
    if (topic.ends_with("/tx")) return receivedFrame(message, topic.substr(0, topic.size() - 3));
    const auto id = codec::Uuid::parse(topic);
    if (id && !message.payload.empty() && !ready_.contains(*id)) client_.publish({.topic = peerTopic(*id), .retain = true});
}

// Its outcome goes to the response topic, if any, else to the topic it came on plus "/result",
// spelt as it came. What the bridge is not given is answered here.
void Front::receivedFrame(const Incoming& message, std::string_view idText) {
    const auto bytes = static_cast<std::int64_t>(message.payload.size());
    Reply reply{.topic = std::string(message.topic) + "/result",
                .correlation = message.correlation ? std::optional<std::string>(*message.correlation) : std::nullopt,
                .requested = message.responseTopic || message.correlation};
    const auto refuse = [&](std::string_view reason) {
        client_.publish({.topic = std::move(reply.topic),
                         .payload = refusalPayload(reason, bytes),
                         .correlation = std::move(reply.correlation)});
    };
    const auto id = codec::Uuid::parse(idText);
    if (!id) return refuse("bad_id");
    if (const auto& response = message.responseTopic) {
        // Answers on another peer's tx would be frames, on our status a false status; with a
        // wildcard they would be lost.
        if (response->empty() || response->find_first_of("+#") != std::string_view::npos ||
            response->starts_with(base_))
            return refuse("bad_response_topic");
        reply.topic = *response;
    }
    // Left from the past (a broker that ignores retain handling, or MQTT 3.1.1): never written.
    if (message.retained) return refuse("retained");
    if (message.payload.empty()) return refuse("bad_data");
    const auto target = target_.lock();
    if (!target) return;
    ++counters_.framesIn;
    codec::Bytes payload(message.payload.begin(), message.payload.end());
    if (!reply.requested && reply.topic == peerTopic(*id) + "/tx/result") return target->send(*id, std::move(payload));
    const std::uint64_t key = nextTag_++;
    replies_.emplace(key, std::move(reply));
    target->sendTagged(*id, std::move(payload), std::to_string(key));
}

}  // namespace mqtt
