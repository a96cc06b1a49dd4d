#include "mqtt/front.hpp"

#include <charconv>

#include "mqtt/payloads.hpp"

namespace mqtt {

namespace {

constexpr std::chrono::milliseconds finishWait{2000};

}  // namespace

Front::Front(loop::AsioMainQueue& queue, const Settings& settings, Lines errors, Lines diagnostics)
    : settings_(settings),
      base_(settings.topicPrefix + "/" + settings.gateway + "/"),
      peersBase_(base_ + "peers/"),
      client_(queue, settings, settings.topicPrefix + "/" + settings.gateway,
              {.topic = base_ + "status", .payload = offlineStatus(), .retain = true},
              {.connected =
                   [this] {
                       publishStatus();
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
    client_.subscribe(peersBase_ + "+/tx");
    // Retained peers a previous run left behind come back on this one, and are cleared.
    client_.subscribe(peersBase_ + "+");
    client_.start();
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

// The status is what holds now: it is not kept for a broker that is away, but published afresh
// on every connection.
void Front::publishStatus() {
    if (!client_.connected() || state_.empty()) return;
    client_.publish({.topic = base_ + "status",
                     .payload = onlineStatus(state_, reason_, client_.dropped()),
                     .retain = true});
}

void Front::state(std::string_view value, std::string_view reason) {
    state_ = value;
    reason_ = reason;
    publishStatus();
}

void Front::peerConnected(const bridge::ReadyPeer& peer) {
    ready_.insert_or_assign(peer.id, peer);
    client_.publish({.topic = peerTopic(peer.id), .payload = peerPayload(peer), .retain = true});
}

void Front::peerDisconnected(const codec::Uuid& id, std::int64_t, bridge::PeerEnd reason) {
    const std::string topic = peerTopic(id);
    if (ready_.erase(id) > 0) client_.publish({.topic = topic, .retain = true});
    client_.publish({.topic = topic + "/gone", .payload = gonePayload(reason)});
}

void Front::mtu(const codec::Uuid& id, std::int64_t mtu) {
    const auto found = ready_.find(id);
    if (found == ready_.end()) return;
    found->second.mtu = mtu;
    client_.publish({.topic = peerTopic(id), .payload = peerPayload(found->second), .retain = true});
}

void Front::frame(const codec::Uuid& id, std::span<const std::uint8_t> data) {
    client_.publish({.topic = peerTopic(id) + "/rx",
                     .payload = std::string(reinterpret_cast<const char*>(data.data()), data.size()),
                     .qos = settings_.rxQos,
                     .frame = true});
}

void Front::write(const codec::Uuid& id, bridge::WriteOutcome outcome, std::int64_t bytes, std::string_view tag) {
    Message result{.topic = peerTopic(id) + "/tx/result", .payload = resultPayload(outcome, bytes)};
    std::uint64_t key = 0;
    if (!tag.empty() && std::from_chars(tag.data(), tag.data() + tag.size(), key).ec == std::errc()) {
        if (auto found = replies_.find(key); found != replies_.end()) {
            if (found->second.topic) result.topic = std::move(*found->second.topic);
            result.correlation = std::move(found->second.correlation);
            replies_.erase(found);
        }
    }
    client_.publish(std::move(result));
}

// P/G/peers/ID/tx: a frame for peer ID. P/G/peers/ID: a retained peer, stale unless ready.
void Front::received(const Incoming& message) {
    std::string_view topic = message.topic;
    if (!topic.starts_with(peersBase_)) return;
    topic.remove_prefix(peersBase_.size());
    const bool tx = topic.ends_with("/tx");
    if (tx) topic.remove_suffix(3);
    const auto id = codec::Uuid::parse(topic);
    if (!id) return;
    if (!tx) {
        if (!message.payload.empty() && !ready_.contains(*id)) client_.publish({.topic = peerTopic(*id), .retain = true});
        return;
    }
    const auto target = target_.lock();
    if (!target) return;
    codec::Bytes payload(message.payload.begin(), message.payload.end());
    if (!message.responseTopic && !message.correlation) return target->send(*id, std::move(payload));
    const std::uint64_t key = nextTag_++;
    replies_.emplace(key, Reply{.topic = message.responseTopic ? std::optional<std::string>(*message.responseTopic)
                                                               : std::nullopt,
                                .correlation = message.correlation
                                                   ? std::optional<std::string>(*message.correlation)
                                                   : std::nullopt});
    target->sendTagged(*id, std::move(payload), std::to_string(key));
}

}  // namespace mqtt
