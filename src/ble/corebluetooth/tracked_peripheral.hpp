#pragma once

#include <cstddef>

#include "ble/central.hpp"
#include "ble/corebluetooth/connection_tracker.hpp"

namespace corebluetooth {

// A peripheral whose connection, as the bridge sees it, is kept by a ConnectionTracker that
// CentralPolicy drives.
class TrackedPeripheral : public ble::Peripheral {
public:
    int state() const final { return tracker_.state(); }
    ConnectionTracker& tracker() { return tracker_; }
    const ConnectionTracker& tracker() const { return tracker_; }
    // The largest value a write without response carries in one packet, for diagnostics.
    virtual std::size_t singlePacketWriteLength() const = 0;
    // A new connection starts with no attributes of the last one.
    virtual void forgetAttributes() = 0;

private:
    ConnectionTracker tracker_;
};

}  // namespace corebluetooth
