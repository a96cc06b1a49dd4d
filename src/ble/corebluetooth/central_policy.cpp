#include "ble/corebluetooth/central_policy.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "ble/reconnect_delay.hpp"

namespace corebluetooth {

namespace {

ble::Error adapterGone() { return {"the adapter is not powered on"}; }

}  // namespace

CentralPolicy::CentralPolicy(ble::CentralDelegate& delegate, loop::MainQueue& queue, ble::Diagnostics diagnostics,
                             const MakeStack& makeStack, PolicyTiming timing)
    : delegate_(delegate), queue_(queue), diagnostics_(std::move(diagnostics)), timing_(timing), soon_(queue),
      stack_(makeStack(*this)) {}

CentralPolicy::~CentralPolicy() {
    // The peripherals go before their central manager (the stack, destroyed next): CoreBluetooth
    // expects its peripheral objects released while their manager lives.
    for (const codec::Uuid& id : registry_.ids()) registry_.forget(id);
}

// ---- from the bridge ----

int CentralPolicy::state() const { return stack_->state(); }
std::string_view CentralPolicy::stateReason() const { return stack_->stateReason(); }
bool CentralPolicy::isScanning() const { return stack_->isScanning(); }

// The stack reports every advertisement whatever the bridge asks: offer() passes on those of
// peripherals without a connection, which is what lets a peripheral whose connection ended be
// found again.
void CentralPolicy::scanForPeripherals(const std::vector<codec::Uuid>& services, bool /*allowDuplicates*/) {
    if (!poweredOn()) return;
    services_ = services;
    scanning_ = true;
    stack_->scan(services);
    soon_.after({}, [this] { retrieve(); });
}

void CentralPolicy::stopScan() {
    scanning_ = false;
    // Below powered on, CoreBluetooth has stopped the scan itself.
    if (poweredOn()) stack_->stopScan();
}

void CentralPolicy::connect(const ble::PeripheralPtr& p) {
    auto face = std::static_pointer_cast<TrackedPeripheral>(p);
    ConnectionTracker& tracker = face->tracker();
    if (!tracker.begin()) return;
    face->forgetAttributes();
    const codec::Uuid id = face->identifier();
    const auto generation = tracker.generation();
    Peer* peer = registry_.find(id);
    if (!poweredOn() || !peer || peer->face != face) {
        // CoreBluetooth would not answer: the failure comes as a task of its own.
        ble::Error why = poweredOn() ? ble::Error{"the system replaced the peripheral's object"} : adapterGone();
        soon_.after({}, [this, face, generation, why] {
            if (face->tracker().current(generation)) report(face, face->tracker().end(), why);
        });
        return;
    }
    peer->attempt = queue_.postAfter(timing_.connectTimeout, [this, id, generation] { timedOut(id, generation); });
    if (peer->link == StackLink::none)
        issueConnect(registry_.identityOf(id), *peer);
    else
        holdConnect(id, *peer);
}

void CentralPolicy::cancelConnection(const ble::PeripheralPtr& p) {
    auto face = std::static_pointer_cast<TrackedPeripheral>(p);
    ConnectionTracker& tracker = face->tracker();
    if (tracker.state() == ble::PeripheralState::disconnected) return;
    tracker.cancelling();
    const codec::Uuid id = face->identifier();
    Peer* peer = registry_.find(id);
    // Otherwise the failure connect() posted is on its way.
    if (!peer || peer->face != face) return;
    if (peer->connectHeld) {
        // Nothing was asked of the stack for this attempt: its end comes as a task of its own.
        peer->connectHeld = false;
        peer->held.cancel();
        soon_.after({}, [this, id, generation = tracker.generation()] {
            Peer* held = registry_.find(id);
            if (held && held->face->tracker().current(generation)) finish(id, std::nullopt, true);
        });
    } else if (peer->link == StackLink::connecting || peer->link == StackLink::connected) {
        cancelAtStack(registry_.identityOf(id), *peer);
    }
}

// ---- from the stack ----

void CentralPolicy::stateChanged() {
    const int state = stack_->state();
    if (state == lastState_) return;
    lastState_ = state;
    if (state != ble::ManagerState::poweredOn) {
        // CoreBluetooth stops the scan and ends every connection without a word for each; the
        // end of one may still come, late, once the adapter is back: it is awaited like the
        // answer to a cancel.
        scanning_ = false;
        for (const codec::Uuid& id : registry_.ids()) {
            Peer* peer = registry_.find(id);
            if (peer->link != StackLink::none) peer->link = StackLink::cancelling;
            peer->connectHeld = false;
            peer->held.cancel();
            finish(id, adapterGone(), false);
        }
    }
    delegate_.centralDidUpdateState();
}

void CentralPolicy::discovered(const void* object, const codec::Uuid& id, const ble::Advertisement& advertisement,
                               const MakeFace& make) {
    auto adopted = registry_.adopt(object, id);
    Peer& peer = adopted.record;
    peer.advertisement = advertisement;
    if (adopted.found == PeripheralRegistry<Peer>::Found::added) {
        peer.face = make();
        if (!sweep_.pending()) sweep_ = queue_.postAfter(timing_.forgetAfter, [this] { sweep(); });
    } else if (adopted.found == PeripheralRegistry<Peer>::Found::replaced) {
        // After a reset the stack made a new object for the device: the old one's connection,
        // if any, is over, and the new object starts without one.
        std::shared_ptr<TrackedPeripheral> former = std::exchange(peer.face, make());
        if (peer.link != StackLink::none) stack_->cancel(adopted.formerIdentity);
        peer.link = StackLink::none;
        peer.connectHeld = false;
        peer.held.cancel();
        peer.attempt.cancel();
        const Ending ending = former->tracker().end();
        if (ending != Ending::none) report(former, ending, ble::Error{"the system replaced the peripheral's object"});
    }
    offer(id);
}

void CentralPolicy::connected(const void* object) {
    Peer* peer = registry_.find(object);
    if (peer && peer->link == StackLink::connected) return;
    if (peer && peer->link == StackLink::connecting) {
        peer->link = StackLink::connected;
        peer->attempt.cancel();
        const std::shared_ptr<TrackedPeripheral> face = peer->face;
        face->tracker().connected();
        if (diagnostics_)
            diagnostics_("connected to " + face->identifier().text() + ": a write with response carries up to " +
                         std::to_string(face->maximumWriteValueLength()) + " bytes, one packet up to " +
                         std::to_string(face->singlePacketWriteLength()));
        delegate_.didConnect(face);
        return;
    }
    // An older attempt's, one that survived a power cycle, or one racing its cancel: no
    // attempt of the bridge's is waiting for it.
    if (diagnostics_) diagnostics_("cancelling a connection that no attempt is waiting for");
    if (peer)
        cancelAtStack(object, *peer);
    else
        stack_->cancel(object);
}

void CentralPolicy::ended(const void* object, const std::optional<ble::Error>& error) {
    Peer* peer = registry_.find(object);
    // With no connection at the stack, this is a second report of an end already taken.
    if (!peer || peer->link == StackLink::none) return;
    peer->link = StackLink::none;
    if (peer->connectHeld) {
        peer->connectHeld = false;
        peer->held.cancel();
        issueConnect(object, *peer);
        return;
    }
    finish(peer->face->identifier(), error, true);
}

void CentralPolicy::servicesInvalidated(const void* object, const std::vector<codec::Uuid>& services) {
    Peer* peer = registry_.find(object);
    if (!peer || !peer->face->tracker().open()) return;
    const bool ours = std::any_of(services.begin(), services.end(), [&](const codec::Uuid& u) {
        return std::find(services_.begin(), services_.end(), u) != services_.end();
    });
    if (!ours) return;
    if (peer->link != StackLink::none) cancelAtStack(object, *peer);
    finish(peer->face->identifier(), ble::Error{"the peripheral removed the service"}, true);
}

std::shared_ptr<TrackedPeripheral> CentralPolicy::find(const void* object) {
    Peer* peer = registry_.find(object);
    return peer ? peer->face : nullptr;
}

// ---- decisions ----

bool CentralPolicy::poweredOn() const { return stack_->state() == ble::ManagerState::poweredOn; }

void CentralPolicy::offer(const codec::Uuid& id) {
    Peer* peer = registry_.find(id);
    peer->seen = true;
    if (!scanning_ || !poweredOn() || peer->backOff.pending()) return;
    if (peer->face->tracker().state() != ble::PeripheralState::disconnected) return;
    delegate_.didDiscover(peer->face, peer->advertisement);
}

void CentralPolicy::issueConnect(const void* object, Peer& peer) {
    peer.link = StackLink::connecting;
    stack_->connect(object);
}

void CentralPolicy::holdConnect(const codec::Uuid& id, Peer& peer) {
    peer.connectHeld = true;
    peer.held = queue_.postAfter(timing_.heldConnect, [this, id] {
        Peer* waiting = registry_.find(id);
        if (!waiting || !waiting->connectHeld) return;
        // The stack never answered: its last attempt is taken as ended.
        if (diagnostics_) diagnostics_("no answer from the system to the last cancel of " + id.text() + ": connecting");
        waiting->connectHeld = false;
        issueConnect(registry_.identityOf(id), *waiting);
    });
}

void CentralPolicy::cancelAtStack(const void* object, Peer& peer) {
    peer.link = StackLink::cancelling;
    stack_->cancel(object);
}

void CentralPolicy::timedOut(const codec::Uuid& id, ConnectionTracker::Generation generation) {
    Peer* peer = registry_.find(id);
    if (!peer || !peer->face->tracker().current(generation)) return;
    if (peer->connectHeld) {
        peer->connectHeld = false;
        peer->held.cancel();
    } else if (peer->link == StackLink::connecting)
        cancelAtStack(registry_.identityOf(id), *peer);
    finish(id, ble::Error{"no connection within " + std::to_string(timing_.connectTimeout.count()) + " s"}, true);
}

void CentralPolicy::finish(const codec::Uuid& id, const std::optional<ble::Error>& error, bool counts) {
    Peer* peer = registry_.find(id);
    if (!peer) return;
    const std::shared_ptr<TrackedPeripheral> face = peer->face;
    const bool wasSetUp = face->tracker().ready();
    const Ending ending = face->tracker().end();
    if (ending == Ending::none) return;
    peer->attempt.cancel();
    if (counts && wasSetUp) {
        peer->failures = 0;
        soon_.after({}, [this] { retrieve(); });
    } else if (counts) {
        const auto delay = ble::reconnectDelay(++peer->failures);
        if (diagnostics_)
            diagnostics_("back-off: " + id.text() + " is not connected again for " + std::to_string(delay.count()) +
                         " ms");
        peer->backOff = queue_.postAfter(delay, [this] { retrieve(); });
    }
    report(face, ending, error);
}

void CentralPolicy::report(const std::shared_ptr<TrackedPeripheral>& face, Ending ending,
                           const std::optional<ble::Error>& error) {
    if (ending == Ending::none) return;
    if (diagnostics_ && error)
        diagnostics_((ending == Ending::failedToConnect ? "connecting to " : "connection to ") +
                     face->identifier().text() + " ended: " + error->what);
    if (ending == Ending::failedToConnect)
        delegate_.didFailToConnect(face, error);
    else
        delegate_.didDisconnect(face, error);
}

void CentralPolicy::retrieve() {
    if (scanning_ && poweredOn()) stack_->retrieveConnected(services_);
}

void CentralPolicy::sweep() {
    for (const codec::Uuid& id : registry_.ids()) {
        Peer* peer = registry_.find(id);
        const bool idle = peer->face->tracker().state() == ble::PeripheralState::disconnected &&
                          peer->link == StackLink::none && !peer->backOff.pending();
        if (idle && !peer->seen)
            registry_.forget(id);
        else
            peer->seen = false;
    }
    if (!registry_.empty()) sweep_ = queue_.postAfter(timing_.forgetAfter, [this] { sweep(); });
}

}  // namespace corebluetooth
