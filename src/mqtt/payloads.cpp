#include "mqtt/payloads.hpp"

#include <simdjson.h>

#include "codec/json_text.hpp"

namespace mqtt {

using codec::appendJsonInteger;
using codec::appendJsonString;

std::string onlineStatus(std::string_view state, std::string_view reason, std::uint64_t dropped) {
    std::string out = "{";
    if (dropped > 0) {
        out += R"("dropped":)";
        appendJsonInteger(out, static_cast<std::int64_t>(dropped));
        out += ',';
    }
    out += R"("online":true,)";
    if (!reason.empty() && simdjson::validate_utf8(reason)) {
        out += R"("reason":)";
        appendJsonString(out, reason);
        out += ',';
    }
    out += R"("state":)";
    appendJsonString(out, simdjson::validate_utf8(state) ? state : "failed");
    out += R"(,"version":)";
    appendJsonString(out, GATTRELAY_VERSION);
    out += '}';
    return out;
}

std::string offlineStatus() { return R"({"online":false})"; }

std::string peerPayload(const bridge::ReadyPeer& peer) {
    std::string out = "{";
    if (peer.address && simdjson::validate_utf8(*peer.address)) {
        out += R"("address":)";
        appendJsonString(out, *peer.address);
        out += ',';
    }
    out += R"("mtu":)";
    appendJsonInteger(out, peer.mtu);
    // A name that is not valid UTF-8 is left out rather than the message.
    if (peer.name && simdjson::validate_utf8(*peer.name)) {
        out += R"(,"name":)";
        appendJsonString(out, *peer.name);
    }
    if (peer.rssi) {
        out += R"(,"rssi":)";
        appendJsonInteger(out, *peer.rssi);
    }
    out += '}';
    return out;
}

std::string gonePayload(bridge::PeerEnd reason) {
    std::string out = R"({"reason":)";
    appendJsonString(out, bridge::reasonName(reason));
    out += '}';
    return out;
}

std::string resultPayload(bridge::WriteOutcome outcome, std::int64_t bytes) {
    if (outcome != bridge::WriteOutcome::written) return refusalPayload(bridge::reasonName(outcome), bytes);
    std::string out = R"({"accepted":true,"bytes":)";
    appendJsonInteger(out, bytes);
    out += '}';
    return out;
}

std::string refusalPayload(std::string_view reason, std::int64_t bytes) {
    std::string out = R"({"accepted":false,"bytes":)";
    appendJsonInteger(out, bytes);
    out += R"(,"reason":)";
    appendJsonString(out, reason);
    out += '}';
    return out;
}

}  // namespace mqtt

namespace mqtt {

std::string statsPayload(const Counters& counters) {
    std::string out;
    const auto field = [&out](std::string_view key, std::uint64_t value) {
        out += out.empty() ? "{\"" : ",\"";
        out += key;
        out += "\":";
        appendJsonInteger(out, static_cast<std::int64_t>(value));
    };
    field("backlog_bytes", counters.backlogBytes);
    field("dropped", counters.dropped);
    field("frames_in", counters.framesIn);
    field("frames_out", counters.framesOut);
    field("peers", static_cast<std::uint64_t>(counters.peers));
    field("reconnections", counters.reconnections);
    field("uptime", static_cast<std::uint64_t>(counters.uptime));
    field("writes_failed", counters.writesFailed);
    field("writes_retried", counters.writesRetried);
    out += '}';
    return out;
}

}  // namespace mqtt
