// Service and characteristic discovery, the outbox subscription, the announcement of ready
// peers, and inbound frames.
#include <algorithm>

#include "runtime/bridge.hpp"
#include "runtime/constants.hpp"

namespace runtime {

namespace {

bool offersService(const std::optional<std::vector<ble::ServicePtr>>& services) {
    return services && std::any_of(services->begin(), services->end(),
                                   [](const ble::ServicePtr& s) { return s->uuid() == serviceUUID; });
}

}  // namespace

void CoreBluetoothBridge::didDiscoverServices(const ble::PeripheralPtr& p, const std::optional<ble::Error>& error) {
    if (error || !offersService(p->services())) {
        // The disconnection that follows removes the link.
        manager_->cancelConnection(p);
        return;
    }
    const auto services = p->services();
    if (!services) return;
    for (const ble::ServicePtr& service : *services)
        if (service->uuid() == serviceUUID) p->discoverCharacteristics({inboxUUID, outboxUUID}, service);
}

void CoreBluetoothBridge::didDiscoverCharacteristics(const ble::PeripheralPtr& p, const ble::ServicePtr& service,
                                                     const std::optional<ble::Error>& error) {
    LinkPtr link = error ? nullptr : links_.find(p->identifier());
    if (!link) {
        manager_->cancelConnection(p);
        return;
    }
    if (const auto characteristics = service->characteristics()) {
        for (const ble::CharacteristicPtr& c : *characteristics) {
            const ble::Uuid uuid = c->uuid();
            if (uuid == inboxUUID) link->inbox = c;
            if (uuid == outboxUUID) {
                link->outbox = c;
                p->setNotifyValue(true, c);
            }
        }
    }
    announceIfReady(*link);
}

void CoreBluetoothBridge::didUpdateNotificationState(const ble::PeripheralPtr& p, const ble::CharacteristicPtr& c,
                                                     const std::optional<ble::Error>& error) {
    // A failed subscription leaves the link connected and unannounced.
    if (error || c->uuid() != outboxUUID) return;
    if (LinkPtr link = links_.find(p->identifier())) announceIfReady(*link);
}

void CoreBluetoothBridge::announceIfReady(Link& link) {
    if (link.announced || !link.inbox || !link.outbox) return;
    // The stored outbox, not the characteristic of the callback that led here.
    if (!link.outbox->isNotifying()) return;
    link.announced = true;
    const auto writeLimit = static_cast<std::int64_t>(link.peripheral->maximumWriteValueLength());
    env_.events.peerConnected(link.peripheral->identifier(), std::clamp<std::int64_t>(writeLimit + 3, 23, 517));
}

void CoreBluetoothBridge::didUpdateValue(const ble::PeripheralPtr& p, const ble::CharacteristicPtr& c,
                                         const std::optional<ble::Error>& error) {
    // Reported whether or not the peer has a link: the value is the peer's to give.
    if (error || c->uuid() != outboxUUID) return;
    const auto value = c->value();
    if (!value || value->empty()) return;
    env_.events.frame(p->identifier(), *value);
}

}  // namespace runtime
