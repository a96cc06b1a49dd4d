#include "ble/corebluetooth/corebluetooth_central.hpp"

#import <CoreBluetooth/CoreBluetooth.h>

#include "ble/corebluetooth/corebluetooth_peripheral.h"
#include "ble/corebluetooth/peripheral_registry.hpp"

// CoreBluetooth's state values are the interface's.
static_assert(CBManagerStateUnknown == ble::ManagerState::unknown);
static_assert(CBManagerStateResetting == ble::ManagerState::resetting);
static_assert(CBManagerStateUnsupported == ble::ManagerState::unsupported);
static_assert(CBManagerStateUnauthorized == ble::ManagerState::unauthorized);
static_assert(CBManagerStatePoweredOff == ble::ManagerState::poweredOff);
static_assert(CBManagerStatePoweredOn == ble::ManagerState::poweredOn);

namespace corebluetooth {
class CoreBluetoothCentral;
}

// Receives every callback of the manager and of its peripherals, on the main dispatch queue, and
// hands each to the central. CoreBluetooth calls back in a task of its own, never from inside a
// call we made, so the central can deliver to the bridge at once.
@interface GattrelayStackDelegate : NSObject <CBCentralManagerDelegate, CBPeripheralDelegate>
- (instancetype)initWithCentral:(corebluetooth::CoreBluetoothCentral*)central;
// The central is going away: later callbacks go nowhere.
- (void)detach;
@end

namespace corebluetooth {

namespace {

std::optional<ble::Error> adapterGone() { return ble::Error{"the adapter is not powered on"}; }

}  // namespace

class CoreBluetoothCentral final : public ble::CentralManager {
public:
    CoreBluetoothCentral(ble::CentralDelegate& delegate, loop::MainQueue& queue, const ble::CentralOptions& options)
        : delegate_(delegate), queue_(queue), diagnostics_(options.diagnostics) {
        stackDelegate_ = [[GattrelayStackDelegate alloc] initWithCentral:this];
        NSDictionary<NSString*, id>* managerOptions =
            @{CBCentralManagerOptionShowPowerAlertKey : @(options.showPowerAlert)};
        manager_ = [[CBCentralManager alloc] initWithDelegate:stackDelegate_
                                                        queue:dispatch_get_main_queue()
                                                      options:managerOptions];
    }

    ~CoreBluetoothCentral() override {
        *alive_ = false;
        [stackDelegate_ detach];
        manager_.delegate = nil;
        for (const auto& p : registry_.all()) p->object().delegate = nil;
    }

    int state() const override { return static_cast<int>(manager_.state); }
    bool isScanning() const override { return manager_.isScanning; }

    void scanForPeripherals(const std::vector<codec::Uuid>& services, bool allowDuplicates) override {
        if (!poweredOn()) return;
        [manager_ scanForPeripheralsWithServices:cbuuidsOf(services)
                                         options:@{CBCentralManagerScanOptionAllowDuplicatesKey : @(allowDuplicates)}];
    }

    void stopScan() override {
        // Below powered on, CoreBluetooth has stopped the scan itself.
        if (poweredOn()) [manager_ stopScan];
    }

    void connect(const ble::PeripheralPtr& p) override {
        auto peripheral = std::static_pointer_cast<CoreBluetoothPeripheral>(p);
        if (!peripheral->tracker().begin()) return;
        peripheral->forgetAttributes();
        if (poweredOn()) {
            [manager_ connectPeripheral:peripheral->object() options:nil];
            return;
        }
        // CoreBluetooth would not answer: the failure comes as a task of its own.
        queue_.post([alive = std::weak_ptr<bool>(alive_), this, peripheral, g = peripheral->tracker().generation()] {
            if (!alive.expired() && peripheral->tracker().current(g)) end(peripheral, adapterGone());
        });
    }

    void cancelConnection(const ble::PeripheralPtr& p) override {
        auto peripheral = std::static_pointer_cast<CoreBluetoothPeripheral>(p);
        if (peripheral->tracker().state() == ble::PeripheralState::disconnected) return;
        peripheral->tracker().cancelling();
        // Below powered on every connection has ended already, or ends in a task posted by connect().
        if (poweredOn()) [manager_ cancelPeripheralConnection:peripheral->object()];
    }

    // ---- from the stack delegate ----

    void didUpdateState() {
        const int state = this->state();
        if (state == lastState_) return;
        lastState_ = state;
        // CoreBluetooth ends every connection below powered on without a word for each.
        if (state != ble::ManagerState::poweredOn)
            for (const auto& p : registry_.all()) end(p, adapterGone());
        delegate_.centralDidUpdateState();
    }

    void didDiscover(CBPeripheral* object) {
        const codec::Uuid id = identifierOf(object);
        auto adopted = registry_.adopt(identityOf(object), id, [&] {
            return std::make_shared<CoreBluetoothPeripheral>(object, id);
        });
        const auto& p = adopted.peripheral;
        if (adopted.replacedObject) {
            end(p, ble::Error{"the system replaced the peripheral's object"});
            p->object().delegate = nil;
            p->rebind(object);
        }
        object.delegate = stackDelegate_;
        delegate_.didDiscover(p, {});
    }

    void didConnect(CBPeripheral* object) {
        auto p = registry_.find(identityOf(object));
        if (p && p->tracker().connected()) delegate_.didConnect(p);
    }

    // A failure to connect and both disconnection callbacks: the tracker makes it one callback.
    void didEnd(CBPeripheral* object, NSError* error) {
        if (auto p = registry_.find(identityOf(object))) end(p, errorOf(error));
    }

    std::shared_ptr<CoreBluetoothPeripheral> find(CBPeripheral* object) const {
        return registry_.find(identityOf(object));
    }

private:
    bool poweredOn() const { return manager_.state == CBManagerStatePoweredOn; }

    void end(const std::shared_ptr<CoreBluetoothPeripheral>& p, const std::optional<ble::Error>& error) {
        const Ending ending = p->tracker().end();
        if (ending == Ending::none) return;
        if (diagnostics_ && error)
            diagnostics_((ending == Ending::failedToConnect ? "connecting to " : "connection to ") +
                         p->identifier().text() + " ended: " + error->what);
        if (ending == Ending::failedToConnect)
            delegate_.didFailToConnect(p, error);
        else
            delegate_.didDisconnect(p, error);
    }

    ble::CentralDelegate& delegate_;
    loop::MainQueue& queue_;
    const ble::Diagnostics diagnostics_;
    // Posted tasks hold this weakly: none of them runs after the central is gone.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    // Strong: the manager and the peripherals hold their delegate weakly.
    GattrelayStackDelegate* stackDelegate_ = nil;
    CBCentralManager* manager_ = nil;
    PeripheralRegistry<CoreBluetoothPeripheral> registry_;
    int lastState_ = -1;
};

ble::CentralFactory centralFactory(loop::MainQueue& queue) {
    return [&queue](ble::CentralDelegate& delegate, const ble::CentralOptions& options) {
        return std::make_unique<CoreBluetoothCentral>(delegate, queue, options);
    };
}

}  // namespace corebluetooth

using corebluetooth::CoreBluetoothCentral;

@implementation GattrelayStackDelegate {
    CoreBluetoothCentral* _central;
}

- (instancetype)initWithCentral:(CoreBluetoothCentral*)central {
    if ((self = [super init])) _central = central;
    return self;
}

- (void)detach {
    _central = nullptr;
}

// ---- the central manager ----

- (void)centralManagerDidUpdateState:(CBCentralManager*)central {
    if (_central) _central->didUpdateState();
}

- (void)centralManager:(CBCentralManager*)central
    didDiscoverPeripheral:(CBPeripheral*)peripheral
        advertisementData:(NSDictionary<NSString*, id>*)advertisementData
                     RSSI:(NSNumber*)RSSI {
    if (_central) _central->didDiscover(peripheral);
}

- (void)centralManager:(CBCentralManager*)central didConnectPeripheral:(CBPeripheral*)peripheral {
    if (_central) _central->didConnect(peripheral);
}

- (void)centralManager:(CBCentralManager*)central
    didFailToConnectPeripheral:(CBPeripheral*)peripheral
                         error:(NSError*)error {
    if (_central) _central->didEnd(peripheral, error);
}

- (void)centralManager:(CBCentralManager*)central
    didDisconnectPeripheral:(CBPeripheral*)peripheral
                      error:(NSError*)error {
    if (_central) _central->didEnd(peripheral, error);
}

- (void)centralManager:(CBCentralManager*)central
    didDisconnectPeripheral:(CBPeripheral*)peripheral
                  timestamp:(CFAbsoluteTime)timestamp
             isReconnecting:(BOOL)isReconnecting
                      error:(NSError*)error {
    // Handled like the other: we never ask for automatic reconnection.
    if (_central) _central->didEnd(peripheral, error);
}

// ---- the peripherals: only while their connection is open ----

- (void)peripheral:(CBPeripheral*)peripheral didDiscoverServices:(NSError*)error {
    auto p = _central ? _central->find(peripheral) : nullptr;
    if (auto* d = p ? p->openDelegate() : nullptr) d->didDiscoverServices(p, corebluetooth::errorOf(error));
}

- (void)peripheral:(CBPeripheral*)peripheral
    didDiscoverCharacteristicsForService:(CBService*)service
                                   error:(NSError*)error {
    auto p = _central ? _central->find(peripheral) : nullptr;
    if (auto* d = p ? p->openDelegate() : nullptr)
        d->didDiscoverCharacteristics(p, p->serviceFor(service), corebluetooth::errorOf(error));
}

- (void)peripheral:(CBPeripheral*)peripheral
    didUpdateNotificationStateForCharacteristic:(CBCharacteristic*)characteristic
                                          error:(NSError*)error {
    auto p = _central ? _central->find(peripheral) : nullptr;
    if (auto* d = p ? p->openDelegate() : nullptr)
        d->didUpdateNotificationState(p, p->characteristicFor(characteristic), corebluetooth::errorOf(error));
}

- (void)peripheral:(CBPeripheral*)peripheral
    didUpdateValueForCharacteristic:(CBCharacteristic*)characteristic
                              error:(NSError*)error {
    auto p = _central ? _central->find(peripheral) : nullptr;
    auto* d = p ? p->openDelegate() : nullptr;
    if (!d) return;
    // The callback runs on the main queue with the value of this notification in place: the
    // bridge reads it from the characteristic's own data, without a copy.
    NSData* value = characteristic.value;
    const auto* bytes = static_cast<const std::uint8_t*>(value.bytes);
    d->didUpdateValue(p, p->characteristicFor(characteristic),
                      std::span<const std::uint8_t>(bytes, bytes ? value.length : 0), corebluetooth::errorOf(error));
}

- (void)peripheral:(CBPeripheral*)peripheral
    didWriteValueForCharacteristic:(CBCharacteristic*)characteristic
                             error:(NSError*)error {
    auto p = _central ? _central->find(peripheral) : nullptr;
    if (auto* d = p ? p->openDelegate() : nullptr)
        d->didWriteValue(p, p->characteristicFor(characteristic), corebluetooth::errorOf(error));
}

@end
