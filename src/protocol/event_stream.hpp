#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "codec/uuid.hpp"
#include "protocol/command.hpp"

namespace protocol {

// The outcome of a send. Protocol 1 reports only written, writeFailed and failedAsPeerWent
// frames, the last two alike.
enum class WriteOutcome : std::uint8_t {
    written,
    writeFailed,        // every attempt failed
    failedAsPeerWent,   // a write failed while the connection was ending: no attempt was left to make
    tooLong,      // at admission, or over the peer's write limit at its turn
    unknownPeer,
    notReady,
    queueFull,
    peerGone,  // the connection ended while the frame was queued, waiting for a retry or in flight
};

// Why a peer's connection ended. Protocol 1 does not report it.
enum class PeerEnd : std::uint8_t { connectFailed, setupFailed, disconnected };

// Receives each finished event line, line feed included, or several at once (EventStream::hold).
using LineSink = std::function<void(std::string_view line)>;

// The bridge's only output: one compact JSON object per line, keys in byte order, "/" written
// as "\/". Main thread only, so lines never interleave. Told everything that happens, it writes
// what its protocol (1 unless told otherwise) reports.
class EventStream {
public:
    explicit EventStream(LineSink sink, int protocol = 1);

    void hello();
    void state(std::string_view value);
    void peerConnected(const codec::Uuid& id, std::int64_t mtu);
    void peerDisconnected(const codec::Uuid& id, std::int64_t mtu, PeerEnd reason = PeerEnd::disconnected);
    // A ready peer's write limit changed to `mtu`.
    void mtu(const codec::Uuid& id, std::int64_t mtu);
    void frame(const codec::Uuid& id, std::span<const std::uint8_t> data);
    void write(const codec::Uuid& id, WriteOutcome outcome, std::int64_t bytes, std::string_view tag = {});
    void write(const codec::Uuid& id, bool accepted, std::int64_t bytes) {
        write(id, accepted ? WriteOutcome::written : WriteOutcome::writeFailed, bytes);
    }
    void rejected(const Rejection& rejection);

    // Lines written between hold() and release() reach the sink together at release(), in one
    // call: a protocol 2 client sending many lines at once gets their answers in few writes.
    void hold() { held_ = true; }
    void release();

private:
    void peer(const codec::Uuid& id, bool connected, std::int64_t mtu);
    void finish();

    LineSink sink_;
    const bool answersAll_;  // protocol 2
    bool held_ = false;
    std::string heldLines_;
    // Reused for every event, so writing one allocates nothing once they have grown.
    std::string line_;
    std::string base64_;
};

// The name a rejection reason has on the wire ("not_json").
std::string_view reasonName(LineError error);

// Writes each line to standard output with whole-line writes (a short or interrupted write is
// finished, never torn); a closed standard output loses the line and nothing else.
LineSink standardOutput();

}  // namespace protocol
