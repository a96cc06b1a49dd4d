// Frames from a peer: its outbox notifications, passed on as they come.
#include "bridge/bridge.hpp"

namespace bridge {

void Bridge::didUpdateValue(const ble::PeripheralPtr& p, const ble::CharacteristicPtr& c,
                            std::span<const std::uint8_t> value, const std::optional<ble::Error>& error) {
    // Reported whether or not the peer has a link: the value is the peer's to give.
    if (error || c->uuid() != env_.profile.outbox) return;
    if (value.empty()) return;
    env_.reports.frame(p->identifier(), value);
}

}  // namespace bridge
