#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "ble/central.hpp"
#include "bridge/command_target.hpp"
#include "codec/uuid.hpp"

namespace bridge {

// The outcome of a send. Protocol 1 reports only written, writeFailed, pairingRequired and
// failedAsPeerWent frames, the last three alike.
enum class WriteOutcome : std::uint8_t {
    written,
    writeFailed,        // every attempt failed
    failedAsPeerWent,   // a write failed while the connection was ending: no attempt was left to make
    tooLong,      // at admission, or over the peer's write limit at its turn
    unknownPeer,
    notReady,
    queueFull,
    peerGone,  // the connection ended while the frame was queued, waiting for a retry or in flight
    pairingRequired,  // every attempt failed, the last because the device wants a pairing the link lacks
};

// Why a peer's connection ended. pairingRequired: the link ended while the device waited for a
// pairing that did not come (none could be made, or it was refused or not answered in time).
enum class PeerEnd : std::uint8_t { connectFailed, setupFailed, disconnected, closed /* by the client */, pairingRequired };

// The names outcomes and ends have on every front's wire ("write_failed", "connect_failed").
inline std::string_view reasonName(WriteOutcome outcome) {
    switch (outcome) {
        case WriteOutcome::written: return "";
        case WriteOutcome::writeFailed: return "write_failed";
        case WriteOutcome::failedAsPeerWent: return "peer_gone";
        case WriteOutcome::tooLong: return "too_long";
        case WriteOutcome::unknownPeer: return "unknown_peer";
        case WriteOutcome::notReady: return "not_ready";
        case WriteOutcome::queueFull: return "queue_full";
        case WriteOutcome::peerGone: return "peer_gone";
        case WriteOutcome::pairingRequired: return "pairing_required";
    }
    return "";
}

inline std::string_view reasonName(PeerEnd end) {
    switch (end) {
        case PeerEnd::connectFailed: return "connect_failed";
        case PeerEnd::setupFailed: return "setup_failed";
        case PeerEnd::disconnected: return "disconnected";
        case PeerEnd::closed: return "closed";
        case PeerEnd::pairingRequired: return "pairing_required";
    }
    return "";
}

// A peer ready for frames, with what is known of it.
struct ReadyPeer {
    codec::Uuid id;
    // Its write limit plus 3, within 23..517.
    std::int64_t mtu = 23;
    std::optional<std::string> name = {};
    // dBm, of its latest discovery report.
    std::optional<int> rssi = {};
    std::optional<std::string> address = {};
};

// What the bridge tells its front: everything that happens, as it happens. A front renders what
// its wire format reports (the stdio front's protocol 1 leaves most outcomes out) and nothing
// else. Main thread only.
class Reporter {
public:
    virtual ~Reporter() = default;

    // The bridge exists, its central manager created; nothing else has happened yet.
    virtual void hello() = 0;
    // The adapter state, by its name ("ready", "powered_off", ...), at start and on every change,
    // and why, where known ("no_adapter"; empty otherwise).
    virtual void state(std::string_view value, std::string_view reason) = 0;
    // A peer is ready for frames.
    virtual void peerConnected(const ReadyPeer& peer) = 0;
    // A peripheral's connection attempt or link ended; `mtu` is its write limit plus 3, at least 23.
    virtual void peerDisconnected(const codec::Uuid& id, std::int64_t mtu, PeerEnd reason) = 0;
    // A ready peer's write limit changed: `mtu` as for peerConnected.
    virtual void mtu(const codec::Uuid& id, std::int64_t mtu) = 0;
    // A value the peer notified on its outbox, valid for the call only.
    virtual void frame(const codec::Uuid& id, std::span<const std::uint8_t> data) = 0;
    // The outcome of one frame, with the tag its send carried (empty for none).
    virtual void write(const codec::Uuid& id, WriteOutcome outcome, std::int64_t bytes, std::string_view tag) = 0;
    // Input that was not a command.
    virtual void rejected(const Rejection& rejection) = 0;
    // A frame's write failed and will be tried again; its outcome comes later, through write().
    virtual void writeRetried(const codec::Uuid& /*id*/) {}
    // A peer's device asks how to pair (answered with CommandTarget::answerPairing), and a request
    // that ended unanswered. Only with a backend that answers pairings.
    virtual void pairing(const codec::Uuid& /*id*/, const ble::PairingRequest& /*request*/) {}
    virtual void pairingEnded(const codec::Uuid& /*id*/, ble::PairingEnd /*end*/) {}
    // Around the reports one batch of commands causes at once: a front may deliver them together.
    virtual void hold() {}
    virtual void release() {}
};


}  // namespace bridge
