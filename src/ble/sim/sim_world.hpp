#pragma once

// The simulated BLE stack: a world of virtual peripherals behind the BLE interface, run entirely
// on the main queue (no threads, no sleeps). Tests drive it on a ManualQueue's virtual clock;
// gattrelay-sim runs it on the production loop in real time.
//
// How it behaves where real stacks leave a choice:
//  - The adapter: before the first adapter step the state is unknown. When it leaves
//    powered on, the scan ends (isScanning() turns false and stays false until the next
//    scanForPeripherals while powered on), every connection attempt ends in didFailToConnect and
//    every connection in didDisconnect, after the state callback. A scan asked for while the
//    adapter is not powered on is ignored.
//  - The adapter's state carries the reason of its step, if any; a change of reason alone is a
//    change of state.
//  - Advertising: every peripheral advertises the service. One advertisement is reported by one
//    didDiscover, as soon as the central is scanning for the service (or for any service) while
//    powered on; the advertisement is then used up. A peripheral advertises at its advertiseAt
//    time, `readvertiseAfter` its connection ends or fails, and when a test says so. Duplicate
//    reports are never made, whatever the scan's allowDuplicates flag; a report carries the name and
//    the signal strength of the moment, and a change of strength while the peripheral is
//    disconnected (after its advertiseAt) is a new advertisement.
//  - Connecting: connect() on a peripheral that is not disconnected is ignored. cancelConnection
//    turns a connection into disconnecting at once (nothing more of it is delivered) and ends it
//    `delays.disconnect` later, with didDisconnect, or with didFailToConnect if it was still
//    connecting.
//  - GATT: an operation asked for while not connected is ignored. Failures and delays come from
//    the peripheral's description. Notifications (scheduled, echoes, a test's) go out on the
//    first outbox, in layout order, that is notifying on the current connection; without one
//    they are lost, like a radio packet nobody listens to. The notification schedule starts when
//    an outbox of the connection first notifies (at characteristic discovery for an outbox
//    already notifying).
//  - Connection scripts (a peripheral's `connections`, a replayed recording): the n-th attempt
//    goes as the n-th script says. An attempt past the last script fails at once, and a write
//    past a connection's scripted writes succeeds at once with no notification; the first of
//    each kind is said through setDepartures.
//  - Writes: a write to a characteristic other than an inbox, or longer than the write limit,
//    fails. `disconnectAfterWrites` counts the writes answered on the connection, failed or not.
//
// The world must outlive the central manager it makes and every task it posted that still may
// run (in practice: create it before the queue is served, destroy it after).

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "ble/central.hpp"
#include "ble/sim/request.hpp"
#include "ble/sim/world.hpp"
#include "loop/main_queue.hpp"
#include "loop/timer_set.hpp"

namespace sim {

class SimPeripheral;

class SimWorld {
public:
    SimWorld(WorldSpec description, loop::MainQueue& queue);
    ~SimWorld();
    SimWorld(const SimWorld&) = delete;
    SimWorld& operator=(const SimWorld&) = delete;

    // How the bridge creates its central manager on this world. Make one central per world:
    // the world's clock (the times in its description) starts when it is made.
    ble::CentralFactory centralFactory();

    // Where the world says that the bridge went past a peripheral's connection scripts (a
    // recording being replayed): one line each, without a line feed. Unset, nothing is said.
    void setDepartures(std::function<void(std::string_view)> say) { departures_ = std::move(say); }

    // Recording what the bridge asks of the stack; off by default.
    void setRecording(bool on) { recording_ = on; }
    const std::vector<Request>& requests() const { return requests_; }
    void clearRequests() { requests_.clear(); }

    // A test's actions, taking effect now. An id must be that of a peripheral of the world.
    // Callbacks that follow are delivered as tasks, as always.
    void setAdapterState(int state);
    void disconnect(const codec::Uuid& id);
    void failNextWrite(const codec::Uuid& id);
    void notify(const codec::Uuid& id, codec::Bytes value);
    void setWriteLimit(const codec::Uuid& id, std::size_t limit);
    void advertise(const codec::Uuid& id);
    // The peripheral object the bridge is given, for tests that deliver a callback themselves.
    ble::PeripheralPtr peripheral(const codec::Uuid& id) const;

    // For the stack's own parts.
    loop::MainQueue& queue() { return queue_; }
    // Runs `task` on the queue after `delay` (as soon as possible for no delay).
    void schedule(Ms delay, loop::Task task);
    bool recording() const { return recording_; }
    void depart(const std::string& what) {
        if (departures_) departures_(what);
    }
    void record(Request request) { requests_.push_back(std::move(request)); }
    // The bridge, while its central manager exists.
    ble::CentralDelegate* central() const { return central_; }
    bool poweredOn() const { return state_ == ble::ManagerState::poweredOn; }
    // Posts the discovery of an advertising peripheral if a scan would see it.
    void offerDiscovery(SimPeripheral& p);

private:
    class Central;

    SimPeripheral& find(const codec::Uuid& id) const;
    void changeState(int state, const std::string& reason);
    void deliverDiscovery(SimPeripheral& p);
    bool scanSees(const SimPeripheral& p) const;
    void scan(const std::vector<codec::Uuid>& services, bool allowDuplicates);
    void stopScan();

    const std::vector<AdapterStep> adapter_;
    loop::MainQueue& queue_;
    // The world's timed parts, cancelled with it.
    loop::TimerSet timers_{queue_};
    std::vector<std::shared_ptr<SimPeripheral>> peripherals_;
    std::unordered_map<codec::Uuid, SimPeripheral*, codec::UuidHash> byId_;
    ble::CentralDelegate* central_ = nullptr;
    int state_ = ble::ManagerState::unknown;
    std::string reason_;
    bool scanning_ = false;
    // The current scan is for the service the peripherals advertise (or for any service).
    std::vector<codec::Uuid> scannedServices_;
    bool recording_ = false;
    std::vector<Request> requests_;
    std::function<void(std::string_view)> departures_;
};

}  // namespace sim
