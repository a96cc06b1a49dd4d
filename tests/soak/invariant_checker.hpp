#pragma once

// Watches one run of the bridge (the stack's callbacks and the bridge's writes through a Spy,
// the event lines, the command tasks as they run) and checks, as each thing happens, the
// properties that must hold whatever the world does:
//  - every line is one valid JSON object in the exact compact, sorted-key form; hello first;
//  - each state callback writes one "state" line; each non-empty outbox notification one
//    "frame" line with its bytes; nothing is written without its cause;
//  - a peer is announced at most once per link, with its mtu from the write limit;
//  - a send is admitted exactly when its peer is announced, the payload is at most 16384 bytes
//    and fewer than 512 frames wait; a link's queue never holds more than 512;
//  - one write in flight per peer; only admitted frames are written, in the order sent, each
//    fitting the write limit; a frame skipped silently is longer than the write limit;
//  - no frame is issued more than 3 times, and a retry comes 200 ms or more after the failure;
//  - every admitted frame ends in exactly one "write" line (accepted true after a success,
//    false after a failure that is not retried), or silently with its link or at stop;
//  - after stop nothing more is written or asked for.

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <simdjson.h>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/bridge.hpp"
#include "loop/manual_queue.hpp"
#include "soak/spy_central.hpp"

namespace soak {

struct Counts {
    std::uint64_t lines = 0;
    std::uint64_t sends = 0;
    std::uint64_t admitted = 0;
    std::uint64_t writesIssued = 0;
    std::uint64_t retries = 0;
    std::uint64_t acceptedTrue = 0;
    std::uint64_t acceptedFalse = 0;
    std::uint64_t discardedTooLong = 0;
    std::uint64_t discardedWithLink = 0;
    std::uint64_t discardedAtStop = 0;
    std::uint64_t frames = 0;
    std::uint64_t announcements = 0;
    std::uint64_t checks = 0;
    std::size_t longestQueue = 0;

    Counts& operator+=(const Counts& other);
};

class InvariantChecker final : public Observer {
public:
    InvariantChecker(const Spy& spy, const loop::ManualQueue& queue) : spy_(spy), queue_(queue) {}

    void stateUpdated(int state) override;
    void connectionEnded(const codec::Uuid& id) override;
    void valueUpdated(const codec::Uuid& id, const ble::CharacteristicPtr& c, std::span<const std::uint8_t> value,
                      bool error) override;
    void writeIssued(const codec::Uuid& id, const codec::Bytes& value, std::size_t limit) override;
    void writeDone(const codec::Uuid& id, bool error, int peripheralState) override;
    void otherCallback() override;

    // An event line as written, line feed included.
    void line(std::string_view text);
    // The command tasks, as they start to run.
    void sendTaskRan(const codec::Uuid& id, const codec::Bytes& payload);
    void stopTaskRan();

    // Between steps: the bridge's queues hold what was admitted and has not ended, in order,
    // less frames skipped as too long; none holds more than 512.
    void afterStep(const bridge::Bridge& bridge);
    // Admitted frames that have not ended yet.
    std::size_t waitingFrames() const;
    // After a long quiet time with the bridge running: no admitted frame is still waiting.
    void settled(const bridge::Bridge& bridge);
    // The end of the run.
    void finish();

    const std::vector<std::string>& violations() const { return violations_; }
    const Counts& counts() const { return counts_; }

private:
    struct Frame {
        codec::Bytes bytes;
        int issues = 0;
    };
    struct Peer {
        std::deque<Frame> waiting;  // admitted, not yet ended; the head is the one written
        bool announced = false;
        bool inFlight = false;
        bool lastFailed = false;
        std::chrono::steady_clock::time_point lastDoneAt{};
    };
    // What the last callback must (or may) write before anything else happens.
    struct Due {
        enum class Kind { nothing, state, frame, write, peerGone } kind = Kind::nothing;
        bool required = false;
        codec::Uuid id{};
        std::string state{};
        codec::Bytes frame{};
        bool accepted = false;
    };

    bool expect(bool ok, const std::string& what);
    void closeDue();
    void checkPeerLine(const codec::Uuid& id, bool connected, std::int64_t mtu);
    void checkWriteLine(const codec::Uuid& id, bool accepted, std::int64_t bytes);
    std::int64_t writeLimit(const codec::Uuid& id) const;
    std::string now() const;

    const Spy& spy_;
    const loop::ManualQueue& queue_;
    std::map<codec::Uuid, Peer> peers_;
    simdjson::dom::parser parser_;
    Due due_;
    bool helloSeen_ = false;
    bool stopped_ = false;
    Counts counts_;
    std::vector<std::string> violations_;
};

}  // namespace soak
