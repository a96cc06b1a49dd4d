#pragma once

#include <cstdint>

#include "ble/central.hpp"

namespace corebluetooth {

// Which callback ends a connection for the bridge.
enum class Ending { none, failedToConnect, disconnected };

// One peripheral's connection as the bridge has been told of it, apart from CoreBluetooth's own
// view: CoreBluetooth may report an end twice (it has two disconnection callbacks) or not at all
// (the adapter leaving powered on drops every connection without one). Every report of an end
// goes through end(), which names the one callback the bridge gets, so each connect() ends in
// exactly one didFailToConnect or didDisconnect. Each begin() opens a new generation: work
// tagged with an older one belongs to a connection that is over and is dropped.
class ConnectionTracker {
public:
    using Generation = std::uint64_t;

    // The bridge asks to connect. False when a connection is already under way or open: there is
    // nothing to ask of the stack, and the one under way reports as usual.
    bool begin();
    // The stack reports the connection made. True when that is news to the bridge.
    bool connected();
    // The bridge cancels: the end that follows is reported as usual.
    void cancelling();
    // The bridge's setup of the open connection finished (its notifications are on): an end
    // from now on is a loss, not a failed attempt.
    void setUp() {
        if (open()) ready_ = true;
    }
    // The connection is over, whoever says so. The callback the bridge gets, or none when it was
    // told already or nothing was under way.
    Ending end();

    // ble::PeripheralState, as the bridge has been told.
    int state() const { return state_; }
    // Callbacks of the connection reach the bridge: it was reported connected and has not ended.
    bool open() const {
        return state_ == ble::PeripheralState::connected || state_ == ble::PeripheralState::disconnecting;
    }
    // The connection under way or open was set up (see setUp()).
    bool ready() const { return ready_; }
    Generation generation() const { return generation_; }
    // Work tagged with `g` still belongs to a connection under way or open.
    bool current(Generation g) const { return g == generation_ && state_ != ble::PeripheralState::disconnected; }

private:
    int state_ = ble::PeripheralState::disconnected;
    bool reportedConnected_ = false;
    bool ready_ = false;
    Generation generation_ = 0;
};

}  // namespace corebluetooth
