// Adapter state, discovery, connection and the removal of links.
#include <algorithm>
#include <string_view>

#include "bridge/bridge.hpp"
#include "bridge/state_name.hpp"

namespace bridge {

void Bridge::centralDidUpdateState() {
    const int state = manager_->state();
    diagnose("adapter state ", stateName(state));
    // Every connection ends with the adapter, answered or not.
    if (state != ble::ManagerState::poweredOn) closing_.clear();
    if (state == ble::ManagerState::poweredOn && !manager_->isScanning()) {
        manager_->scanForPeripherals({env_.profile.service}, /*allowDuplicates=*/false);
        diagnose("scan started for service ", env_.profile.service);
    }
    env_.reports.state(stateName(state), manager_->stateReason());
}

void Bridge::didDiscover(const ble::PeripheralPtr& p, const ble::Advertisement& advertisement) {
    if (stopping_) return;
    const codec::Uuid id = p->identifier();
    if (const LinkPtr link = links_.find(id)) {
        // A report may leave out what an earlier one said.
        if (advertisement.name) link->advertisement.name = advertisement.name;
        if (advertisement.rssi) link->advertisement.rssi = advertisement.rssi;
        return;
    }
    if (const auto held = closed_.find(id); held != closed_.end()) {
        if (!held->second) diagnose("peer ", id, ": found, left alone until a \"connect\" (disconnected by the client)");
        held->second = true;
        return;
    }
    if (closing_.contains(id)) return;
    if (!env_.filter.admits(*p, advertisement, env_.diagnostics)) return;
    diagnose("peer ", id, ": found, connecting");
    auto link = std::make_shared<Link>(p);
    link->advertisement = advertisement;
    links_.insert(id, std::move(link));
    p->setDelegate(this);
    manager_->connect(p);
}

void Bridge::didConnect(const ble::PeripheralPtr& p) { p->discoverServices({env_.profile.service}); }

void Bridge::didFailToConnect(const ble::PeripheralPtr& p, const std::optional<ble::Error>& error) {
    if (closing_.erase(p->identifier())) return;
    disconnect(p->identifier(), PeerEnd::connectFailed, error);
}

void Bridge::didDisconnect(const ble::PeripheralPtr& p, const std::optional<ble::Error>& error) {
    if (closing_.erase(p->identifier())) return;
    const LinkPtr link = links_.find(p->identifier());
    const bool cancelled = link && link->setupFailure;
    disconnect(p->identifier(),
               cancelled                          ? PeerEnd::setupFailed
               : error && error->wantsPairing     ? PeerEnd::pairingRequired
                                                  : PeerEnd::disconnected,
               error);
}

void Bridge::disconnectPeer(const codec::Uuid& id) {
    closed_.emplace(id, false);
    const LinkPtr link = links_.find(id);
    if (!link) return;
    manager_->cancelConnection(link->peripheral);
    closing_.insert(id);
    // Reported now; the stack's own end of the connection, when it comes, is only taken note of.
    disconnect(id, PeerEnd::closed, std::nullopt);
}

void Bridge::connectPeer(const codec::Uuid& id) { closed_.erase(id); }

// Only a peer's device is asked about: any other is refused, never put to the client under an id
// it does not know.
void Bridge::pairingRequested(const ble::PeripheralPtr& p, const ble::PairingRequest& request) {
    if (!links_.find(p->identifier())) {
        diagnose("peer ", p->identifier(), ": pairing refused: not a peer the bridge uses");
        manager_->answerPairing(p, {});
        return;
    }
    env_.reports.pairing(p->identifier(), request);
}

void Bridge::pairingEnded(const ble::PeripheralPtr& p, ble::PairingEnd end) {
    diagnose("peer ", p->identifier(), ": pairing ended unanswered: ",
             end == ble::PairingEnd::timedOut ? "no answer in time" : "the stack gave it up");
    if (links_.find(p->identifier())) env_.reports.pairingEnded(p->identifier(), end);
}

void Bridge::answerPairing(const codec::Uuid& id, const ble::PairingAnswer& answer) {
    const LinkPtr link = links_.find(id);
    if (!link) {
        diagnose("peer ", id, ": pairing answer ignored: no such peer");
        return;
    }
    manager_->answerPairing(link->peripheral, answer);
}

void Bridge::disconnect(const codec::Uuid& id, PeerEnd reason, const std::optional<ble::Error>& error) {
    LinkPtr link = links_.remove(id);
    if (!link) return;
    // One line per end, with the reason the events give and the address where the stack shows one.
    if (env_.diagnostics) {
        const std::optional<std::string> address = link->peripheral->address();
        const std::string detail = link->setupFailure ? *link->setupFailure : error ? error->what : std::string();
        diagnose("peer ", id, address ? " (" + *address + ")" : std::string(), ": ", reasonName(reason),
                 detail.empty() ? "" : ": ", detail);
    }
    // Every frame it held ends here, in order: queued, waiting for a retry or in flight.
    for (const QueuedFrame& frame : link->writes)
        outcome(id, WriteOutcome::peerGone, frame);
    // Unlike the announcement, this figure is not capped: it reports what the peripheral said.
    const auto writeLimit = static_cast<std::int64_t>(link->peripheral->maximumWriteValueLength());
    env_.reports.peerDisconnected(id, std::max<std::int64_t>(writeLimit + 3, 23), reason);
}

}  // namespace bridge
