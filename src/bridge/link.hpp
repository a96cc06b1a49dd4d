#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "ble/central.hpp"
#include "loop/main_queue.hpp"

namespace bridge {

// A frame the client sent, with the tag its outcome echoes (empty for none).
struct QueuedFrame {
    codec::Bytes payload;
    std::string tag;
    // Its place among the session's sends, from 1: what the diagnostics call it ("send 7").
    std::int64_t number = 0;
};

// The bridge's state for one peripheral it found: connecting, setting up or exchanging frames.
// Shared and compared by identity: a pending retry holds the Link it was scheduled for.
struct Link {
    explicit Link(ble::PeripheralPtr p) : peripheral(std::move(p)) {}

    const ble::PeripheralPtr peripheral;
    ble::CharacteristicPtr inbox;
    ble::CharacteristicPtr outbox;
    // Frames waiting to be written; the head is in flight or next to go.
    std::deque<QueuedFrame> writes;
    bool writing = false;
    std::int64_t writeAttemptCount = 0;
    // Cleared only by the retry task, when it finds this link current and connected.
    bool writeRetryScheduled = false;
    // The retry task; it goes with the link.
    loop::Timer retryTimer;
    bool announced = false;
    // Why the bridge cancelled the connection during setup, if it did.
    std::optional<std::string> setupFailure;
    // What its latest discovery report said.
    ble::Advertisement advertisement;
    // The write limit as last reported (announcement or "mtu" event), plus 3.
    std::int64_t reportedMtu = 0;
};
using LinkPtr = std::shared_ptr<Link>;

}  // namespace bridge
