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
// The outcome of a tx message refused before it reached the bridge, for `reason`.
std::string refusalPayload(std::string_view reason, std::int64_t bytes);

}  // namespace mqtt
