#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "bridge/reporter.hpp"
#include "bridge/survey.hpp"
#include "codec/uuid.hpp"
#include "protocol/protocol.hpp"

namespace protocol {

// Receives each finished event line, line feed included, or several at once (EventStream::hold).
using LineSink = std::function<void(std::string_view line)>;

// The bridge's only output: one compact JSON object per line, keys in byte order, "/" written
// as "\/". Main thread only, so lines never interleave. Told everything that happens, it writes
// what its protocol (1 unless told otherwise) reports.
class EventStream final : public bridge::Reporter {
public:
    explicit EventStream(LineSink sink, Protocol protocol = Protocol::v1);

    void hello() override;
    void state(std::string_view value, std::string_view reason) override;
    void state(std::string_view value) { state(value, {}); }
    void peerConnected(const bridge::ReadyPeer& peer) override;
    void peerConnected(const codec::Uuid& id, std::int64_t mtu) { peerConnected({.id = id, .mtu = mtu}); }
    void peerDisconnected(const codec::Uuid& id, std::int64_t mtu, bridge::PeerEnd reason) override;
    void peerDisconnected(const codec::Uuid& id, std::int64_t mtu) {
        peerDisconnected(id, mtu, bridge::PeerEnd::disconnected);
    }
    // A ready peer's write limit changed to `mtu`.
    void mtu(const codec::Uuid& id, std::int64_t mtu) override;
    void frame(const codec::Uuid& id, std::span<const std::uint8_t> data) override;
    void write(const codec::Uuid& id, bridge::WriteOutcome outcome, std::int64_t bytes, std::string_view tag) override;
    void write(const codec::Uuid& id, bridge::WriteOutcome outcome, std::int64_t bytes) { write(id, outcome, bytes, {}); }
    void write(const codec::Uuid& id, bool accepted, std::int64_t bytes) {
        write(id, accepted ? bridge::WriteOutcome::written : bridge::WriteOutcome::writeFailed, bytes);
    }
    void rejected(const bridge::Rejection& rejection) override;
    void pairing(const codec::Uuid& id, const ble::PairingRequest& request) override;
    void pairingEnded(const codec::Uuid& id, ble::PairingEnd end) override;
    // A peripheral the survey found (--list), in either protocol.
    void found(const bridge::Sighting& sighting);

    // Lines written between hold() and release() reach the sink together at release(), in one
    // call: a protocol 2 client sending many lines at once gets their answers in few writes.
    void hold() override { held_ = true; }
    void release() override;

private:
    void peer(const codec::Uuid& id, bool connected, std::int64_t mtu);
    // `"name":N` and `"rssi":R` where known, each after a comma.
    void appendNameAndRssi(const std::optional<std::string>& name, const std::optional<int>& rssi);
    void finish();

    LineSink sink_;
    const bool answersAll_;  // protocol 2
    bool held_ = false;
    // The last state reported, and why.
    std::optional<std::string> stateValue_;
    std::string stateReason_;
    std::string heldLines_;
    // Reused for every event, so writing one allocates nothing once they have grown.
    std::string line_;
    std::string base64_;
};

// Writes each line to standard output with whole-line writes (a short or interrupted write is
// finished, never torn); a closed standard output loses the line and nothing else.
LineSink standardOutput();

}  // namespace protocol
