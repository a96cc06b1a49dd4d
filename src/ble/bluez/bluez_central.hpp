#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ble/bluez/bus.hpp"
#include "ble/bluez/object_tree.hpp"
#include "ble/central.hpp"
#include "loop/main_queue.hpp"

namespace bluez {

class BluezPeripheral;

// The central manager on bluetoothd: follows bluetoothd on the system bus and its first
// adapter, scans with a discovery filter, and keeps one BluezPeripheral per device it reported.
// Every D-Bus exchange is asynchronous on the loop; every callback is posted to the queue.
class BluezCentral final : public ble::CentralManager {
public:
    BluezCentral(ble::CentralDelegate& delegate, loop::MainQueue& queue, asio::io_context& io);
    ~BluezCentral() override;

    int state() const override { return state_; }
    bool isScanning() const override { return scanning_; }
    void scanForPeripherals(const std::vector<ble::Uuid>& services, bool allowDuplicates) override;
    void stopScan() override;
    void connect(const ble::PeripheralPtr& p) override;
    void cancelConnection(const ble::PeripheralPtr& p) override;

    // For the peripherals: posting to the queue (dropped once this central is gone), timers,
    // calls to the running bluetoothd, and its objects.
    void deliver(loop::Task task);
    void after(loop::Duration delay, loop::Task task);
    void callBluez(const std::string& path, const char* interface, const char* member,
                   const Bus::Arguments& append, std::chrono::milliseconds timeout, Bus::ReplyHandler onReply);
    const ObjectTree& tree() const { return tree_; }
    ble::CentralDelegate& delegate() const { return delegate_; }

private:
    void onNameOwnerChanged(sd_bus_message* m);
    void onObjectManagerSignal(sd_bus_message* m);
    void onPropertiesChanged(sd_bus_message* m);
    bool fromBluez(sd_bus_message* m) const;
    void setOwner(const std::string& owner);
    void loseBluez();
    void onBusLost();

    // Brings adapter choice, power, discovery and the reported state up to date.
    void update();
    std::optional<int> currentState() const;
    void startDiscovery();
    void reportIfAdvertising(const std::string& devicePath);
    std::shared_ptr<BluezPeripheral> peripheralFor(const std::string& devicePath);
    std::shared_ptr<BluezPeripheral> peripheralAbove(const std::string& path) const;
    void endAll(const char* why);

    ble::CentralDelegate& delegate_;
    loop::MainQueue& queue_;
    // Tasks and timers hold this weakly: none of them runs after the central is gone.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    int state_ = ble::ManagerState::unknown;
    int lastPosted_ = ble::ManagerState::unknown;

    // bluetoothd: its unique name on the bus, whether that is known yet, whether its objects
    // are loaded, and whether it went away (resetting until it is back).
    std::string owner_;
    bool ownerKnown_ = false;
    bool treeLoaded_ = false;
    bool bluezLost_ = false;
    bool accessDenied_ = false;
    std::uint64_t ownerEpoch_ = 0;
    ObjectTree tree_;

    std::string adapterPath_;
    bool adapterPowered_ = false;

    bool scanning_ = false;
    bool allowDuplicates_ = false;
    std::vector<ble::Uuid> scanServices_;
    bool discoveryActive_ = false;

    // Keyed by device object path; kept for the life of the process so identity holds.
    std::map<std::string, std::shared_ptr<BluezPeripheral>> peripherals_;

    // Last: destroyed first, flushing what is still queued while the rest is intact.
    Bus bus_;
};

// The backend's factory: centrals on bluetoothd, served by `io`, the loop that runs `queue`.
ble::CentralFactory centralFactory(loop::MainQueue& queue, asio::io_context& io);

}  // namespace bluez
