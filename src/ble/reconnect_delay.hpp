#pragma once

#include <algorithm>
#include <chrono>

namespace ble {

// How long a peripheral's discovery is held back after `failures` connections in a row that
// failed or were abandoned during setup: none, then 1 s, doubling up to a minute.
inline std::chrono::milliseconds reconnectDelay(unsigned failures) {
    using namespace std::chrono_literals;
    if (failures == 0) return 0ms;
    const unsigned doublings = std::min(failures - 1, 6u);
    return std::min<std::chrono::milliseconds>(1000ms * (1u << doublings), 60s);
}

}  // namespace ble
