#pragma once

#include <cstdint>
#include <vector>

#include "ble/central.hpp"

namespace sim {

// One thing the bridge asked of the simulated stack, as the world records it (when recording
// is on), in the order asked.
struct Request {
    enum class Kind {
        scan,
        stopScan,
        connect,
        cancelConnection,
        discoverServices,
        discoverCharacteristics,
        setNotifyValue,
        write,
    };

    Kind kind{};
    // The peripheral asked about; all zero for scan and stopScan.
    codec::Uuid peripheral{};
    // scan: the services scanned for; discoverServices: the services asked for;
    // discoverCharacteristics: the characteristics asked for.
    std::vector<codec::Uuid> uuids{};
    // discoverCharacteristics, setNotifyValue and write: which instance of the service (0 for
    // the first in the peripheral's layout), or -1 for a service or characteristic that is not
    // the peripheral's.
    int serviceInstance = -1;
    // setNotifyValue and write: the characteristic.
    codec::Uuid characteristic{};
    // scan: duplicates allowed; setNotifyValue: notifications enabled.
    bool flag = false;
    // write: the value.
    codec::Bytes bytes{};

    friend bool operator==(const Request&, const Request&) = default;
};

}  // namespace sim
