#pragma once

#include <string_view>

#include "ble/central.hpp"

namespace bridge {

// The name an adapter state has on every front ("ready", "powered_off"); "failed" for a state
// the bridge does not know.
inline std::string_view stateName(int state) {
    switch (state) {
        case ble::ManagerState::unknown: return "unknown";
        case ble::ManagerState::resetting: return "resetting";
        case ble::ManagerState::unsupported: return "unsupported";
        case ble::ManagerState::unauthorized: return "unauthorized";
        case ble::ManagerState::poweredOff: return "powered_off";
        case ble::ManagerState::poweredOn: return "ready";
        default: return "failed";
    }
}

}  // namespace bridge
