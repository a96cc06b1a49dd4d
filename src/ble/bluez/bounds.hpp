#pragma once

#include <chrono>
#include <cstddef>

// How long this backend waits for bluetoothd and the system bus.
namespace bluez::bounds {

using namespace std::chrono_literals;

// Calls that bluetoothd answers at once.
inline constexpr std::chrono::milliseconds quickCall = 25s;
// A connection attempt, longer than the kernel's own LE connection timeout (20 s).
inline constexpr std::chrono::milliseconds connect = 45s;
// A write with response, longer than ATT's own transaction timeout (30 s).
inline constexpr std::chrono::milliseconds write = 40s;
// A write unanswered this long is stalled: far beyond a write's usual milliseconds, well within
// the pairing timeout (30 s) that ends a link whose device waits for a pairing nobody answers.
inline constexpr std::chrono::milliseconds writeStall = 10s;
// From a discovery request until bluetoothd says the services are resolved.
inline constexpr std::chrono::milliseconds resolve = 30s;
// After ServicesResolved, how long objects that were asked for may lag behind it.
inline constexpr std::chrono::milliseconds objectLag = 2s;
// Before asking again to discover after bluetoothd refused.
inline constexpr std::chrono::milliseconds discoveryRetry = 1s;
// After bluetoothd closed a link's notification stream, how long the link's own end may take to
// be signalled before the link is ended for the stream.
inline constexpr std::chrono::milliseconds streamClosed = 1s;
// After a link is set up, when its MTU is read once more (an exchange that finished late).
inline constexpr std::chrono::milliseconds mtuRecheck = 1s;
// Asking for bluetoothd's objects again after a failure: the first wait, and the longest.
inline constexpr std::chrono::milliseconds objectsRetryFirst = 250ms;
inline constexpr std::chrono::milliseconds objectsRetryLast = 8s;
// Connecting to the system bus again while there is none: the first wait, and the longest.
inline constexpr std::chrono::milliseconds busRetryFirst = 1s;
inline constexpr std::chrono::milliseconds busRetryLast = 30s;
// Connect calls awaiting bluetoothd's answer at once; the rest wait their turn. Well under the
// bus's limit on calls awaiting replies, which writes and setup calls share.
inline constexpr std::size_t connectCalls = 32;
// After a bluetoothd starts, how long it may take to register its first adapter, and from
// each object it registers to the next or to its adapters' power; and the longest in all. (In
// the real-stack VM: 3.8 s to the first of four adapters, 7.7 s to their power.)
inline constexpr std::chrono::milliseconds bluezStart = 5s;
inline constexpr std::chrono::milliseconds bluezStartLongest = 15s;
// After the adapter went off, how long bluetoothd may take to power off its next adapter, or to
// remove its next object or leave the bus, when that was its stop; and the longest in all. (In
// that VM: at most 0.66 s between steps, 2.45 s from the last power-off to leaving.)
inline constexpr std::chrono::milliseconds powerOffHeld = 1s;
inline constexpr std::chrono::milliseconds powerOffHeldLongest = 5s;
// How often the kernel's rfkill state is read while the adapter is off and bluetoothd does not say.
inline constexpr std::chrono::milliseconds rfkillCheck = 1s;
// How long a pairing request waits for the client's answer: within the 30 s in which the kernel
// gives up a pairing that makes no progress, so that the refusal still reaches the device.
inline constexpr std::chrono::milliseconds pairingAnswer = 25s;
// A Device1.Pair call: the client's answer, then the device's side of the pairing.
inline constexpr std::chrono::milliseconds pair = 40s;
// Registering the pairing agent again after bluetoothd refused (it serves the agent manager a
// moment after taking its name).
inline constexpr std::chrono::milliseconds agentRetry = 1s;
// At exit, how long bluetoothd may take to show it has read what the bridge sent last.
inline constexpr std::chrono::milliseconds exitRoundTrip = 500ms;

}  // namespace bluez::bounds
