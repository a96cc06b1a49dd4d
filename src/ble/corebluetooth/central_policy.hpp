#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "ble/central.hpp"
#include "ble/corebluetooth/peripheral_registry.hpp"
#include "ble/corebluetooth/stack.hpp"
#include "ble/corebluetooth/tracked_peripheral.hpp"
#include "loop/main_queue.hpp"
#include "loop/timer_set.hpp"

namespace corebluetooth {

struct PolicyTiming {
    // CoreBluetooth's connects never time out: an attempt is cancelled after this.
    std::chrono::seconds connectTimeout{30};
    // A peripheral without a connection is forgotten after it has not been seen for between
    // one and two of these.
    std::chrono::seconds forgetAfter{300};
    // A connect held for the stack's answer to the last cancel (or for the late end of an
    // attempt the adapter's going off cut short) goes ahead after this without it.
    std::chrono::seconds heldConnect{2};
};

// Every decision of the macOS backend, in plain C++: it takes the bridge's calls and
// CoreBluetooth's callbacks as plain values, answers with calls to the Stack, and keeps the
// interface's promises to the bridge (ble/central.hpp):
//  - each connect() ends in exactly one callback, however many ends the stack reports;
//  - an attempt that CoreBluetooth leaves pending (it never times out) is cancelled after
//    `connectTimeout` and reported as failed;
//  - a connection the stack makes that no attempt asked for is cancelled, and a connect is held
//    back until the stack has answered the cancel of the last one (or the adapter's going off
//    cut it short), so a late end of an older connection never ends a newer attempt; an answer
//    that never comes holds it back for `heldConnect` only;
//  - discoveries (the scan reports every advertisement) reach the bridge only for peripherals
//    without a connection, and after a connection that failed or was abandoned during setup
//    only once a back-off has passed (ble::reconnectDelay); a loss after setup, at once;
//  - peripherals connected to the system, which do not advertise, are retrieved as the scan
//    starts and as each wait ends;
//  - a link whose service the peripheral removed (Service Changed) ends as lost;
//  - peripherals without a connection that have not been seen for a while are forgotten.
class CentralPolicy final : public ble::CentralManager {
public:
    using MakeStack = std::function<std::unique_ptr<Stack>(CentralPolicy&)>;
    using MakeFace = std::function<std::shared_ptr<TrackedPeripheral>()>;

    CentralPolicy(ble::CentralDelegate& delegate, loop::MainQueue& queue, ble::Diagnostics diagnostics,
                  const MakeStack& makeStack, PolicyTiming timing = {});
    ~CentralPolicy() override;

    // ---- from the bridge ----
    int state() const override;
    std::string_view stateReason() const override;
    bool isScanning() const override;
    void scanForPeripherals(const std::vector<codec::Uuid>& services, bool allowDuplicates) override;
    void stopScan() override;
    void connect(const ble::PeripheralPtr& p) override;
    void cancelConnection(const ble::PeripheralPtr& p) override;

    // ---- from the stack ----
    void stateChanged();
    // An advertisement, or a retrieved peripheral. `make` gives the face of a new object.
    void discovered(const void* object, const codec::Uuid& id, const ble::Advertisement& advertisement,
                    const MakeFace& make);
    void connected(const void* object);
    // A failure to connect or either disconnection callback.
    void ended(const void* object, const std::optional<ble::Error>& error);
    void servicesInvalidated(const void* object, const std::vector<codec::Uuid>& services);
    // The face of `object` while it stands for a peripheral, else null.
    std::shared_ptr<TrackedPeripheral> find(const void* object);

private:
    // What CoreBluetooth is doing for a peripheral's object, apart from what the bridge was told.
    enum class StackLink { none, connecting, connected, cancelling };

    struct Peer {
        std::shared_ptr<TrackedPeripheral> face;
        StackLink link = StackLink::none;
        // The bridge's attempt waits for the stack to answer the cancel of the last one.
        bool connectHeld = false;
        // Bounds the attempt under way, and its wait for the stack when it is held.
        loop::Timer attempt;
        loop::Timer held;
        // Connections in a row that failed or were abandoned during setup.
        unsigned failures = 0;
        // Pending while the peripheral's discovery is held back.
        loop::Timer backOff;
        // Reported since the last sweep.
        bool seen = true;
        // What its latest report said.
        ble::Advertisement advertisement;
    };

    bool poweredOn() const;
    void offer(const codec::Uuid& id);
    void issueConnect(const void* object, Peer& peer);
    void holdConnect(const codec::Uuid& id, Peer& peer);
    void cancelAtStack(const void* object, Peer& peer);
    void timedOut(const codec::Uuid& id, ConnectionTracker::Generation generation);
    // Ends the connection the bridge knows of, if any, and tells it. `counts`: the end is the
    // peripheral's, and a failure during setup holds its next discovery back.
    void finish(const codec::Uuid& id, const std::optional<ble::Error>& error, bool counts);
    void report(const std::shared_ptr<TrackedPeripheral>& face, Ending ending, const std::optional<ble::Error>& error);
    void retrieve();
    void sweep();

    ble::CentralDelegate& delegate_;
    loop::MainQueue& queue_;
    const ble::Diagnostics diagnostics_;
    const PolicyTiming timing_;
    PeripheralRegistry<Peer> registry_;
    std::vector<codec::Uuid> services_;
    // The bridge asked for a scan, and the adapter has stayed on since.
    bool scanning_ = false;
    int lastState_ = -1;
    loop::Timer sweep_;
    loop::TimerSet soon_;
    // Last: destroyed first, so no callback of the stack reaches a policy half gone.
    std::unique_ptr<Stack> stack_;
};

}  // namespace corebluetooth
