#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "bridge/reporter.hpp"

namespace mqtt {

// The JSON the MQTT front publishes: compact, keys in byte order, "/" written "\/".

// The gateway's status: online with the adapter's state (and why, where known) and the frames
// dropped so far when there were some.
std::string onlineStatus(std::string_view state, std::string_view reason, std::uint64_t dropped);
// The status the Last Will and an orderly stop leave.
std::string offlineStatus();
// A ready peer: its mtu, and its name, RSSI and address where known.
std::string peerPayload(const bridge::ReadyPeer& peer);
// Why a peer went.
std::string gonePayload(bridge::PeerEnd reason);
// A frame's outcome.
std::string resultPayload(bridge::WriteOutcome outcome, std::int64_t bytes);
// What an operator graphs, published on P/G/stats.
struct Counters {
    std::int64_t uptime = 0;  // seconds
    std::int64_t peers = 0;   // ready now
    std::uint64_t framesIn = 0;   // tx frames given to the bridge
    std::uint64_t framesOut = 0;  // rx frames published
    std::uint64_t writesRetried = 0;  // attempts tried again after a failed write
    std::uint64_t writesFailed = 0;
    std::uint64_t reconnections = 0;
    std::uint64_t backlogBytes = 0;
    std::uint64_t dropped = 0;
};
std::string statsPayload(const Counters& counters);
// The outcome of a tx message refused before it reached the bridge, for `reason`.
std::string refusalPayload(std::string_view reason, std::int64_t bytes);

}  // namespace mqtt
