#pragma once

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ble/bluez/bus.hpp"
#include "ble/bluez/object_tree.hpp"
#include "ble/bluez/pairing_agent.hpp"
#include "ble/central.hpp"
#include "loop/main_queue.hpp"
#include "loop/timer_set.hpp"

namespace bluez {

class BluezPeripheral;

// What the user chose for the backend.
struct BluezOptions {
    // An adapter's name ("hci1") or address, any case; empty for the automatic choice.
    std::string adapter;
    // Where the kernel shows its adapters and their rfkill switches.
    std::string sysClassBluetooth = "/sys/class/bluetooth";
    // Answer pairings as bluetoothd's agent with this capability (BlueZ's name, "KeyboardOnly");
    // empty for none.
    std::string pairingCapability;
};

// The central manager on bluetoothd: follows bluetoothd on the system bus and one adapter,
// scans with a discovery filter, and keeps one BluezPeripheral per device it reported while it
// may be in use. Every D-Bus exchange is asynchronous on the loop; every callback is posted
// to the queue.
class BluezCentral final : public ble::CentralManager {
public:
    BluezCentral(ble::CentralDelegate& delegate, loop::MainQueue& queue, loop::MainLoop& loop,
                 const ble::CentralOptions& options, BluezOptions bluezOptions);
    ~BluezCentral() override;

    int state() const override { return state_.value; }
    std::string_view stateReason() const override { return state_.reason; }
    bool isScanning() const override { return scanning_; }
    void scanForPeripherals(const std::vector<codec::Uuid>& services, bool allowDuplicates) override;
    void stopScan() override;
    void connect(const ble::PeripheralPtr& p) override;
    void cancelConnection(const ble::PeripheralPtr& p) override;
    void answerPairing(const ble::PeripheralPtr& p, const ble::PairingAnswer& answer) override;
    // Whether the bridge's client is being asked how to pair with the device.
    bool pairingAsked(const std::string& devicePath) const { return agent_ && agent_->asking(devicePath); }
    // With --pairing: a device that refuses a write for want of a pairing is paired by the bridge.
    bool pairs() const { return agent_ != nullptr; }
    // The peripheral of a device of the chosen adapter that the bridge was told of, or none.
    std::shared_ptr<BluezPeripheral> heldPeripheral(std::string_view devicePath) const;

    // For the peripherals: posting to the queue (dropped once this central is gone), timers
    // (the peripheral holds the handle; the central cancels them all when it goes), calls to
    // the running bluetoothd (no reply asked for without a handler), and its objects.
    void deliver(loop::Task task);
    [[nodiscard]] loop::Timer after(loop::Duration delay, loop::Task task);
    void callBluez(const std::string& path, const char* interface, const char* member,
                   const Bus::Arguments& append, std::chrono::milliseconds timeout, Bus::ReplyHandler onReply);
    const ObjectTree& tree() const { return tree_; }
    ble::CentralDelegate& delegate() const { return delegate_; }
    loop::MainLoop& loop() const { return loop_; }
    // A diagnostic line, built only when someone listens.
    template <typename Line>
    void say(Line&& line) const {
        if (diagnostics_) diagnostics_(line());
    }
    // A connection waits for its turn to send Connect; each Connect sent ends with one call here.
    void queueConnect(const std::shared_ptr<BluezPeripheral>& p);
    void connectCallDone();
    // Setup succeeded; a connection ended (`failed`: it ended before setup succeeded, through
    // the device's fault).
    void connectionReady(const BluezPeripheral& p);
    // A Connect refused because the controller holds all the links it can.
    void refusedForLimit();
    void connectionEnded(const BluezPeripheral& p, bool failed, bool missingService);

private:
    // A device whose connections failed in a row: its discoveries are held back for a while.
    struct Retry {
        unsigned failures = 0;
        // Pending while its discoveries are held back.
        loop::Timer hold;
        // bluetoothd's copy of its GATT database was dropped once (it lacked the service).
        bool cacheCleared = false;
        bool clearCache = false;
    };

    // A state as the bridge is told it: the value, and why (a constant name, or empty).
    struct Reported {
        int value = ble::ManagerState::unknown;
        std::string_view reason;
        bool operator==(const Reported&) const = default;
    };

    void followBluez();
    void retryBus(std::chrono::milliseconds wait);
    void onNameOwnerChanged(sd_bus_message* m);
    void onObjectManagerSignal(sd_bus_message* m);
    void onPropertiesChanged(sd_bus_message* m);
    bool fromBluez(sd_bus_message* m) const;
    void setOwner(const std::string& owner);
    void loadObjects(std::uint64_t epoch, std::chrono::milliseconds retryAfter);
    void forgetBluez();
    void loseBluez();
    void onBusLost();

    // Brings adapter choice, power, discovery and the reported state up to date.
    void update();
    std::string chooseAdapterPath() const;
    std::size_t poweredAdapters() const;
    // While `hold` and `longest` are both pending, `hold` starts again for `wait`.
    void holdOn(loop::Timer& hold, const loop::Timer& longest, std::chrono::milliseconds wait);
    void leaveAdapter(const char* why);
    std::optional<Reported> currentState();
    // Tells the bridge the state, unless it is the one told last.
    void post(const Reported& state);
    std::string explain(const Reported& state) const;
    void startDiscovery();
    void stopDiscovery();
    bool adapterReady() const;
    // Whether rfkill blocks the chosen adapter, which is off.
    bool blocked();
    void reportIfAdvertising(const std::string& devicePath);
    std::shared_ptr<BluezPeripheral> peripheralFor(const std::string& devicePath);
    std::shared_ptr<BluezPeripheral> peripheralAbove(std::string_view path) const;
    void deviceRemoved(const std::string& devicePath);
    void clearCacheIfDisconnected(const std::string& devicePath);
    void release(const std::string& devicePath);
    void pumpConnects();
    std::string addressOf(const std::string& devicePath) const;
    // What a device's properties say of its latest report: its Name and RSSI.
    static ble::Advertisement advertisementOf(const Properties* device);
    void endAll(const char* why, bool disconnect);

    ble::CentralDelegate& delegate_;
    loop::MainQueue& queue_;
    loop::MainLoop& loop_;
    const ble::Diagnostics diagnostics_;
    const BluezOptions options_;
    // Posted tasks hold this weakly: none of them runs after the central is gone.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    // The central's own timers, cancelled with it.
    loop::TimerSet timers_{queue_};

    Reported state_;
    Reported lastPosted_;

    // bluetoothd: its unique name on the bus, whether that is known yet, whether it answered
    // the request for its objects and with them, and whether it went away (not there until it
    // is back).
    std::string owner_;
    bool ownerKnown_ = false;
    bool treeLoaded_ = false;
    bool objectsRead_ = false;
    bool bluezLost_ = false;
    bool accessDenied_ = false;
    std::uint64_t ownerEpoch_ = 0;
    // Pending while a bluetoothd that started under our eyes may still be bringing its adapters
    // up: it adds them and their devices one after another, then powers them. Each object it
    // adds meanwhile starts the wait again, within the longest.
    loop::Timer bluezStarting_;
    loop::Timer bluezStartingLongest_;
    ObjectTree tree_;

    std::string adapterPath_;
    bool adapterPowered_ = false;
    // Pending for a moment after the adapter lost its power: bluetoothd told to stop powers its
    // adapters off one after another, then removes their devices and them, then leaves. Each
    // further adapter going off, and each object removed, meanwhile starts the moment again,
    // within the longest hold.
    loop::Timer powerOffHeld_;
    loop::Timer powerOffHeldLongest_;
    // bluetoothd's powered adapters at the last update.
    std::size_t poweredSeen_ = 0;
    // Pending while the kernel's rfkill state is what tells a block.
    loop::Timer rfkillCheck_;

    bool scanning_ = false;
    bool allowDuplicates_ = false;
    std::vector<codec::Uuid> scanServices_;
    bool discoveryActive_ = false;

    // Keyed by device object path: one object per device for as long as the bridge may hold it.
    std::map<std::string, std::shared_ptr<BluezPeripheral>, std::less<>> peripherals_;
    std::map<std::string, Retry, std::less<>> retries_;
    // Connections waiting to send Connect, with their connection numbers; Connect calls out.
    std::deque<std::pair<std::shared_ptr<BluezPeripheral>, std::uint64_t>> connectQueue_;
    std::size_t connectCalls_ = 0;
    // A refusal for the controller's limit was said, and no link ended since.
    bool limitSaid_ = false;

    // Last: destroyed first, flushing what is still queued while the rest is intact.
    Bus bus_;
    // With --pairing; goes before the bus, unregistering itself.
    std::unique_ptr<PairingAgent> agent_;
};

// The backend's factory: centrals on bluetoothd, served by `loop`, which runs `queue`.
ble::CentralFactory centralFactory(loop::MainQueue& queue, loop::MainLoop& loop, BluezOptions options = {});

}  // namespace bluez
