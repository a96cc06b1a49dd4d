#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "bridge/command_target.hpp"
#include "bridge/reporter.hpp"
#include "mqtt/client.hpp"
#include "mqtt/payloads.hpp"
#include "mqtt/settings.hpp"

namespace mqtt {

// The MQTT front: the bridge's reports become messages under P/G/ (P the topic prefix, G the
// gateway), and each message on P/G/peers/ID/tx becomes a frame for peer ID, its outcome
// published on P/G/peers/ID/tx/result or the message's response topic. Main thread only.
class Front final : public bridge::Reporter {
public:
    // `settings.gateway` must be set. `errors` and `diagnostics` as for Client.
    Front(loop::MainLoop& queue, const Settings& settings, Lines errors, Lines diagnostics);

    // Starts the session; tx messages go to `target` from then on.
    void attach(std::weak_ptr<bridge::CommandTarget> target);
    // `changed` learns of every connection to the broker (true) and every failed attempt or lost
    // connection (false).
    void watchBroker(std::function<void(bool connected)> changed) { brokerWatch_ = std::move(changed); }
    // The orderly end: the ready peers' retained messages cleared, the status offline.
    void finish();

    void hello() override {}
    void state(std::string_view value, std::string_view reason) override;
    void peerConnected(const bridge::ReadyPeer& peer) override;
    void peerDisconnected(const codec::Uuid& id, std::int64_t mtu, bridge::PeerEnd reason) override;
    void mtu(const codec::Uuid& id, std::int64_t mtu) override;
    void frame(const codec::Uuid& id, std::span<const std::uint8_t> data) override;
    void write(const codec::Uuid& id, bridge::WriteOutcome outcome, std::int64_t bytes, std::string_view tag) override;
    void writeRetried(const codec::Uuid&) override { ++counters_.writesRetried; }
    void rejected(const bridge::Rejection&) override {}

private:
    // Where a frame's outcome goes when it is not P/G/peers/ID/tx/result (with ID upper case),
    // and what it carries back.
    struct Reply {
        std::string topic;
        std::optional<std::string> correlation;
        // Whether the message asked for an answer (a response topic or correlation data).
        bool requested = false;
    };

    void received(const Incoming& message);
    void receivedFrame(const Incoming& message, std::string_view id);
    void connected();
    void publishStatus();
    void replaceStatus();
    void publishStats();
    std::string peerTopic(const codec::Uuid& id) const;

    loop::MainLoop& queue_;
    const Settings settings_;
    const std::string base_;  // "P/G/"
    const std::string peersBase_;  // "P/G/peers/"
    Client client_;
    std::weak_ptr<bridge::CommandTarget> target_;
    std::string state_;
    std::string reason_;
    // The status last published, so that another one retained on its topic is replaced; the
    // time before another replacement, and whether one is due then.
    std::string status_;
    loop::Timer replaceTimer_;
    bool replaceDue_ = false;
    std::unordered_map<codec::Uuid, bridge::ReadyPeer, codec::UuidHash> ready_;
    // By the tag their frames carry through the bridge.
    std::unordered_map<std::uint64_t, Reply> replies_;
    std::uint64_t nextTag_ = 1;
    // Each ready peer's last rx frame number.
    std::unordered_map<codec::Uuid, std::uint64_t, codec::UuidHash> rxSeq_;
    Counters counters_;
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    loop::Timer statsTimer_;
    std::function<void(bool)> brokerWatch_;
};

}  // namespace mqtt
