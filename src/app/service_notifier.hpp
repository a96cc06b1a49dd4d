#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "bridge/reporter.hpp"
#include "loop/main_queue.hpp"

namespace app {

// What a service manager (systemd) is told of the bridge: ready once the adapter state is known
// and, with a broker, once its first connection succeeded or failed (an outage must not fail the
// start); a one-line status (adapter state, peers ready, broker) whenever it changes; a watchdog
// beat from the main loop at half the manager's interval, so that a stuck loop is restarted; and
// stopping on an orderly end. It observes the reports beside the front. Main thread only.
class ServiceNotifier final : public bridge::Reporter {
public:
    // One notification, in the manager's format ("READY=1\nSTATUS=...").
    using Send = std::function<void(const std::string&)>;

    // `watchdog` is the manager's interval, zero for none.
    ServiceNotifier(loop::MainQueue& queue, Send send, std::chrono::microseconds watchdog, bool waitForBroker);
    // Its beat task holds `this`.
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    // The broker connection succeeded, or an attempt failed or the connection was lost.
    void broker(bool connected);
    // The orderly end has begun.
    void stopping();

    void hello() override {}
    void state(std::string_view value, std::string_view reason) override;
    void peerConnected(const bridge::ReadyPeer& peer) override;
    void peerDisconnected(const codec::Uuid& id, std::int64_t mtu, bridge::PeerEnd reason) override;
    void mtu(const codec::Uuid&, std::int64_t) override {}
    void frame(const codec::Uuid&, std::span<const std::uint8_t>) override {}
    void write(const codec::Uuid&, bridge::WriteOutcome, std::int64_t, std::string_view) override {}
    void rejected(const bridge::Rejection&) override {}

private:
    void update();
    void beat();

    loop::MainQueue& queue_;
    Send send_;
    const std::chrono::microseconds beatEvery_;
    const bool waitForBroker_;
    bool ready_ = false;
    std::string adapter_;  // "" until the first state
    std::optional<bool> brokerConnected_;
    std::unordered_set<codec::Uuid, codec::UuidHash> peers_;
    std::string status_;
    loop::Timer beatTimer_;
};

// The notifier for this process when a service manager listens for it (NOTIFY_SOCKET is set),
// else null: outside a service nothing is sent and nothing is scheduled.
std::unique_ptr<ServiceNotifier> serviceNotifier(loop::MainQueue& queue, bool waitForBroker);

}  // namespace app
