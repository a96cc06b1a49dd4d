// Service and characteristic discovery, the outbox subscription and the announcement of ready
// peers.
#include <algorithm>

#include "bridge/bridge.hpp"
#include "bridge/constants.hpp"

namespace bridge {

namespace {

bool offersService(const std::optional<std::vector<ble::ServicePtr>>& services, const codec::Uuid& uuid) {
    return services && std::any_of(services->begin(), services->end(),
                                   [&](const ble::ServicePtr& s) { return s->uuid() == uuid; });
}

}  // namespace

void Bridge::abandonSetup(const ble::PeripheralPtr& p, std::string_view why, const std::optional<ble::Error>& error) {
    // Said once, with the link's end: the disconnection that follows removes the link.
    if (LinkPtr link = links_.find(p->identifier()))
        link->setupFailure = std::string(why) + (error ? ": " + error->what : std::string());
    manager_->cancelConnection(p);
}

void Bridge::didDiscoverServices(const ble::PeripheralPtr& p, const std::optional<ble::Error>& error) {
    if (error) return abandonSetup(p, "service discovery failed", error);
    if (!offersService(p->services(), env_.profile.service)) return abandonSetup(p, "no such service", error);
    const auto services = p->services();
    if (!services) return;
    for (const ble::ServicePtr& service : *services)
        if (service->uuid() == env_.profile.service)
            p->discoverCharacteristics({env_.profile.inbox, env_.profile.outbox}, service);
}

void Bridge::didDiscoverCharacteristics(const ble::PeripheralPtr& p, const ble::ServicePtr& service,
                                        const std::optional<ble::Error>& error) {
    LinkPtr link = error ? nullptr : links_.find(p->identifier());
    if (!link) return abandonSetup(p, "characteristic discovery failed", error);
    if (const auto characteristics = service->characteristics()) {
        for (const ble::CharacteristicPtr& c : *characteristics) {
            const codec::Uuid uuid = c->uuid();
            if (uuid == env_.profile.inbox) link->inbox = c;
            if (uuid == env_.profile.outbox) {
                link->outbox = c;
                p->setNotifyValue(true, c);
            }
        }
    }
    if (!link->inbox || !link->outbox)
        diagnose("peer ", p->identifier(),
                 link->inbox ? ": no outbox" : link->outbox ? ": no inbox" : ": no inbox or outbox",
                 " characteristic; not announced");
    announceIfReady(*link);
}

void Bridge::didUpdateNotificationState(const ble::PeripheralPtr& p, const ble::CharacteristicPtr& c,
                                        const std::optional<ble::Error>& error) {
    // A failed subscription leaves the link connected and unannounced.
    if (error && c->uuid() == env_.profile.outbox)
        diagnose("peer ", p->identifier(), ": subscription to the outbox failed: ", error->what, "; not announced");
    if (error || c->uuid() != env_.profile.outbox) return;
    if (LinkPtr link = links_.find(p->identifier())) announceIfReady(*link);
}

void Bridge::announceIfReady(Link& link) {
    if (link.announced || !link.inbox || !link.outbox) return;
    // The stored outbox, not the characteristic of the callback that led here.
    if (!link.outbox->isNotifying()) return;
    link.announced = true;
    const std::size_t writeLimit = link.peripheral->maximumWriteValueLength();
    link.reportedMtu = announcedMtu(writeLimit);
    diagnose("peer ", link.peripheral->identifier(), ": ready, write limit ", static_cast<std::int64_t>(writeLimit));
    env_.reports.peerConnected({.id = link.peripheral->identifier(),
                                .mtu = link.reportedMtu,
                                .name = link.advertisement.name,
                                .rssi = link.advertisement.rssi,
                                .address = link.peripheral->address()});
}

}  // namespace bridge
