#pragma once

// Scenario tests of the bridge on the simulated stack. A scenario builds a world, starts the
// bridge, feeds it commands, moves the virtual clock and compares the exact event lines:
//
//   SimFixture f({Peer(peerA).echo()});
//   f.start();
//   f.advance(10ms);
//   EXPECT_THAT(f.takeLines(), ElementsAre(line::hello(), line::state("ready"), line::peer(peerA, true, 23)));

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ble/sim/sim_world.hpp"
#include "protocol/event_stream.hpp"
#include "bridge/bridge.hpp"
#include "loop/manual_queue.hpp"

namespace sim {
// How test failures show a request.
void PrintTo(const Request& r, std::ostream* out);
}  // namespace sim

namespace testsupport {

using namespace std::chrono_literals;

// A peer id as event lines write it: "00000000-0000-4000-8000-00000000000A" for 0xA.
std::string peerId(unsigned n);
inline const std::string peerA = peerId(0xA);
inline const std::string peerB = peerId(0xB);
inline const std::string peerC = peerId(0xC);

codec::Uuid uuid(std::string_view text);
codec::Bytes bytes(std::string_view text);

// A peripheral of the world, built by chaining: Peer(peerA).echo().writeLimit(182).
class Peer {
public:
    explicit Peer(std::string_view id);

    Peer& advertiseAt(sim::Ms at);
    Peer& name(std::string_view name);
    Peer& address(std::string_view address);
    // The signal strength from the start, then optionally changing at later times.
    Peer& rssi(int dbm);
    Peer& rssiAt(sim::Ms at, int dbm);
    Peer& profile(const ble::GattProfile& uuids);
    Peer& services(int count);
    Peer& noInbox();
    Peer& noOutbox();
    Peer& outboxNotifying();
    // The write limit from the start, then optionally changing at later times.
    Peer& writeLimit(std::size_t limit);
    Peer& writeLimitAt(sim::Ms at, std::size_t limit);
    Peer& connectFails();
    Peer& discoverServicesFails();
    Peer& discoverCharacteristicsFails();
    Peer& subscribeFails();
    Peer& failAllWrites();
    Peer& failFirstAttempts(std::uint32_t n);
    Peer& failWrite(std::uint64_t nth);
    Peer& delays(sim::Delays d);
    Peer& disconnectAt(sim::Ms at);
    Peer& disconnectAfterWrites(std::uint64_t n);
    Peer& readvertiseAfter(sim::Ms after);
    Peer& notification(sim::Ms after, codec::Bytes value);
    Peer& echo();

    operator sim::PeripheralSpec() const { return spec_; }

private:
    sim::PeripheralSpec spec_;
};

// The exact event lines, without their line feed.
namespace line {
std::string hello();
std::string state(std::string_view value);
std::string peer(std::string_view id, bool connected, int mtu);
std::string frame(std::string_view id, const codec::Bytes& data);
std::string write(std::string_view id, bool accepted, int bytes);
}  // namespace line

// How the bridge is run: what a command line would choose.
struct Session {
    int protocol = 1;
    ble::GattProfile profile = ble::defaultGattProfile;
    // Diagnostic lines are kept, for takeDiagnostics().
    bool verbose = false;
    bridge::PeerFilter::Rules filter = {};
    // What stands between the world and the bridge (a recording), if anything.
    std::function<ble::CentralFactory(ble::CentralFactory)> decorate = {};
};

// A world, the bridge on it, and the manual clock they share. Recording is on.
class SimFixture {
public:
    explicit SimFixture(sim::WorldSpec world, Session session = {});
    // A powered-on adapter and these peripherals.
    explicit SimFixture(std::vector<sim::PeripheralSpec> peripherals, Session session = {});

    // Creates the bridge: the hello line is written at once, everything else as tasks run.
    void start();
    // Post what the command reader's tasks would: they run when the queue next runs.
    void send(std::string_view id, codec::Bytes payload);
    void sendTagged(std::string_view id, codec::Bytes payload, std::string tag);
    void reject(std::uint64_t line, bridge::LineError reason);
    void disconnectPeer(std::string_view id);
    void connectPeer(std::string_view id);
    void stop();

    void runUntilIdle() { queue_.runUntilIdle(); }
    void advance(loop::Duration by) { queue_.advance(by); }
    // Virtual time since the fixture was made.
    std::chrono::milliseconds now() const;

    // The lines written since the last call.
    std::vector<std::string> takeLines();
    // The diagnostic lines since the last call (with Session::verbose).
    std::vector<std::string> takeDiagnostics() { return std::exchange(diagnostics_, {}); }

    // Acting on the world now, by peer id.
    void setAdapterState(int state) { world_.setAdapterState(state); }
    void disconnect(std::string_view id) { world_.disconnect(uuid(id)); }
    void failNextWrite(std::string_view id) { world_.failNextWrite(uuid(id)); }
    void notify(std::string_view id, codec::Bytes value) { world_.notify(uuid(id), std::move(value)); }
    void setWriteLimit(std::string_view id, std::size_t limit) { world_.setWriteLimit(uuid(id), limit); }
    void advertise(std::string_view id) { world_.advertise(uuid(id)); }

    // What the bridge asked of the stack.
    const std::vector<sim::Request>& requests() const { return world_.requests(); }
    std::vector<sim::Request> requests(sim::Request::Kind kind) const;
    // The values written to this peer, in order, retries included.
    std::vector<codec::Bytes> writes(std::string_view id) const;

    sim::SimWorld& world() { return world_; }
    loop::ManualQueue& queue() { return queue_; }
    // Valid after start().
    bridge::Bridge& bridge() { return *bridge_; }

private:
    loop::ManualQueue queue_;
    sim::SimWorld world_;
    Session session_;
    std::vector<std::string> lines_;
    std::vector<std::string> diagnostics_;
    protocol::EventStream events_;
    std::weak_ptr<bridge::CommandTarget> target_;
    std::shared_ptr<bridge::Bridge> bridge_;
};

}  // namespace testsupport
