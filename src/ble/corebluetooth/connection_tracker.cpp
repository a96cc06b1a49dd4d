#include "ble/corebluetooth/connection_tracker.hpp"

namespace corebluetooth {

bool ConnectionTracker::begin() {
    if (state_ != ble::PeripheralState::disconnected) return false;
    ++generation_;
    state_ = ble::PeripheralState::connecting;
    reportedConnected_ = false;
    ready_ = false;
    return true;
}

bool ConnectionTracker::connected() {
    if (state_ != ble::PeripheralState::connecting) return false;
    state_ = ble::PeripheralState::connected;
    reportedConnected_ = true;
    return true;
}

void ConnectionTracker::cancelling() {
    if (state_ == ble::PeripheralState::connected) state_ = ble::PeripheralState::disconnecting;
}

Ending ConnectionTracker::end() {
    if (state_ == ble::PeripheralState::disconnected) return Ending::none;
    state_ = ble::PeripheralState::disconnected;
    return reportedConnected_ ? Ending::disconnected : Ending::failedToConnect;
}

}  // namespace corebluetooth
