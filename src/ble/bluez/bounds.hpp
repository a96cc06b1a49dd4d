#pragma once

#include <chrono>

// How long this backend waits for bluetoothd.
namespace bluez::bounds {

using namespace std::chrono_literals;

// Calls that bluetoothd answers at once.
inline constexpr std::chrono::milliseconds quickCall = 25s;
// A connection attempt, longer than the kernel's own LE connection timeout (20 s).
inline constexpr std::chrono::milliseconds connect = 45s;
// A write with response, longer than ATT's own transaction timeout (30 s).
inline constexpr std::chrono::milliseconds write = 40s;
// From a discovery request until bluetoothd says the services are resolved.
inline constexpr std::chrono::milliseconds resolve = 30s;
// After ServicesResolved, how long objects that were asked for may lag behind it.
inline constexpr std::chrono::milliseconds objectLag = 2s;
// Before asking again to discover after bluetoothd refused.
inline constexpr std::chrono::milliseconds discoveryRetry = 1s;

}  // namespace bluez::bounds
