#include "app/service_notifier.hpp"

namespace app {

ServiceNotifier::ServiceNotifier(loop::MainQueue& queue, Send send, std::chrono::microseconds watchdog,
                                 bool waitForBroker)
    : queue_(queue), send_(std::move(send)), beatEvery_(watchdog / 2), waitForBroker_(waitForBroker) {
    if (beatEvery_.count() > 0) beatTimer_ = queue_.postAfter(beatEvery_, [this] { beat(); });
}

// Posted on the main queue like everything else the bridge does: when the loop is stuck the
// beats stop, and the manager restarts the service.
void ServiceNotifier::beat() {
    send_("WATCHDOG=1");
    beatTimer_ = queue_.postAfter(beatEvery_, [this] { beat(); });
}

void ServiceNotifier::broker(bool connected) {
    brokerConnected_ = connected;
    update();
}

void ServiceNotifier::stopping() {
    beatTimer_.cancel();
    send_("STOPPING=1");
}

void ServiceNotifier::state(std::string_view value, std::string_view reason) {
    adapter_ = value;
    if (!reason.empty()) adapter_.append(" (").append(reason).append(")");
    update();
}

void ServiceNotifier::peerConnected(const bridge::ReadyPeer& peer) {
    peers_.insert(peer.id);
    update();
}

void ServiceNotifier::peerDisconnected(const codec::Uuid& id, std::int64_t, bridge::PeerEnd) {
    peers_.erase(id);
    update();
}

// Tells the status when it changed, and readiness with the first status that has it.
void ServiceNotifier::update() {
    if (adapter_.empty()) return;
    std::string status = "adapter " + adapter_ + ", " + std::to_string(peers_.size()) +
                         (peers_.size() == 1 ? " peer ready" : " peers ready");
    if (waitForBroker_)
        status += !brokerConnected_ ? ", broker connecting" : *brokerConnected_ ? ", broker connected"
                                                                                : ", broker not connected";
    const bool becomesReady = !ready_ && (!waitForBroker_ || brokerConnected_);
    if (status == status_ && !becomesReady) return;
    status_ = std::move(status);
    ready_ = ready_ || becomesReady;
    send_((becomesReady ? "READY=1\nSTATUS=" : "STATUS=") + status_);
}

}  // namespace app
