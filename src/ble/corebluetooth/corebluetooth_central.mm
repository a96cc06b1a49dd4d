#include "ble/corebluetooth/corebluetooth_central.hpp"

#import <CoreBluetooth/CoreBluetooth.h>

#include "ble/corebluetooth/central_policy.hpp"
#include "ble/corebluetooth/corebluetooth_peripheral.h"

// CoreBluetooth's state values are the interface's.
static_assert(CBManagerStateUnknown == ble::ManagerState::unknown);
static_assert(CBManagerStateResetting == ble::ManagerState::resetting);
static_assert(CBManagerStateUnsupported == ble::ManagerState::unsupported);
static_assert(CBManagerStateUnauthorized == ble::ManagerState::unauthorized);
static_assert(CBManagerStatePoweredOff == ble::ManagerState::poweredOff);
static_assert(CBManagerStatePoweredOn == ble::ManagerState::poweredOn);

// Receives every callback of the manager and of its peripherals, on the main dispatch queue, and
// hands each to the policy as plain values, contained by the queue (an exception stops it).
// CoreBluetooth calls back in a task of its own, never from inside a call we made.
@interface GattrelayStackDelegate : NSObject <CBCentralManagerDelegate, CBPeripheralDelegate>
- (instancetype)initWithPolicy:(corebluetooth::CentralPolicy*)policy queue:(loop::DispatchMainQueue*)queue;
// The policy is going away: later callbacks go nowhere.
- (void)detach;
@end

namespace corebluetooth {

namespace {

// The stack's object for an identity the policy holds (or CoreBluetooth, in its callback).
CBPeripheral* objectOf(const void* identity) { return (__bridge CBPeripheral*)identity; }

// The central manager, as the policy's Stack.
class CoreBluetoothStack final : public Stack {
public:
    CoreBluetoothStack(CentralPolicy& policy, loop::DispatchMainQueue& queue, bool showPowerAlert)
        : delegate_([[GattrelayStackDelegate alloc] initWithPolicy:&policy queue:&queue]), policy_(policy) {
        manager_ = [[CBCentralManager alloc] initWithDelegate:delegate_
                                                        queue:dispatch_get_main_queue()
                                                      options:@{CBCentralManagerOptionShowPowerAlertKey : @(showPowerAlert)}];
    }

    ~CoreBluetoothStack() override {
        [delegate_ detach];
        manager_.delegate = nil;
    }

    int state() const override { return static_cast<int>(manager_.state); }

    std::string_view stateReason() const override {
        if (manager_.state != CBManagerStateUnauthorized) return {};
        // The user's answer for the process responsible for this one (the terminal, or the
        // application that started it).
        switch (CBManager.authorization) {
            case CBManagerAuthorizationDenied: return "denied";
            case CBManagerAuthorizationRestricted: return "restricted";
            case CBManagerAuthorizationNotDetermined: return "not_determined";
            case CBManagerAuthorizationAllowedAlways: return {};
        }
        return {};
    }
    bool isScanning() const override { return manager_.isScanning; }

    void scan(const std::vector<codec::Uuid>& services) override {
        [manager_ scanForPeripheralsWithServices:cbuuidsOf(services)
                                         options:@{CBCentralManagerScanOptionAllowDuplicatesKey : @YES}];
    }
    void stopScan() override { [manager_ stopScan]; }
    void connect(const void* object) override { [manager_ connectPeripheral:objectOf(object) options:nil]; }
    void cancel(const void* object) override { [manager_ cancelPeripheralConnection:objectOf(object)]; }

    void retrieveConnected(const std::vector<codec::Uuid>& services) override {
        for (CBPeripheral* p in [manager_ retrieveConnectedPeripheralsWithServices:cbuuidsOf(services)])
            discovered(policy_, p, advertisementOf(p, nil, nil), delegate_);
    }

    static void discovered(CentralPolicy& policy, CBPeripheral* object, const ble::Advertisement& advertisement,
                           id<CBPeripheralDelegate> delegate) {
        const codec::Uuid id = identifierOf(object);
        policy.discovered(identityOf(object), id, advertisement, [&]() -> std::shared_ptr<TrackedPeripheral> {
            object.delegate = delegate;
            return std::make_shared<CoreBluetoothPeripheral>(object, id);
        });
    }

private:
    // Strong: the manager and the peripherals hold their delegate weakly.
    GattrelayStackDelegate* const delegate_;
    CentralPolicy& policy_;
    CBCentralManager* manager_ = nil;
};

}  // namespace

ble::CentralFactory centralFactory(loop::DispatchMainQueue& queue) {
    return [&queue](ble::CentralDelegate& delegate, const ble::CentralOptions& options) {
        return std::make_unique<CentralPolicy>(delegate, queue, options.diagnostics, [&](CentralPolicy& policy) {
            return std::make_unique<CoreBluetoothStack>(policy, queue, options.showPowerAlert);
        });
    };
}

}  // namespace corebluetooth

using corebluetooth::CentralPolicy;
using corebluetooth::CoreBluetoothPeripheral;
using corebluetooth::errorOf;
using corebluetooth::identityOf;

@implementation GattrelayStackDelegate {
    CentralPolicy* _policy;
    loop::DispatchMainQueue* _queue;
}

- (instancetype)initWithPolicy:(CentralPolicy*)policy queue:(loop::DispatchMainQueue*)queue {
    if ((self = [super init])) {
        _policy = policy;
        _queue = queue;
    }
    return self;
}

- (void)detach {
    _policy = nullptr;
}

// The peripheral's face while its object stands for it, else null.
- (std::shared_ptr<CoreBluetoothPeripheral>)faceOf:(CBPeripheral*)peripheral {
    return _policy ? std::static_pointer_cast<CoreBluetoothPeripheral>(_policy->find(identityOf(peripheral))) : nullptr;
}

// ---- the central manager ----

- (void)centralManagerDidUpdateState:(CBCentralManager*)central {
    if (_policy) _queue->contain([&] { _policy->stateChanged(); });
}

- (void)centralManager:(CBCentralManager*)central
    didDiscoverPeripheral:(CBPeripheral*)peripheral
        advertisementData:(NSDictionary<NSString*, id>*)advertisementData
                     RSSI:(NSNumber*)RSSI {
    if (_policy)
        _queue->contain([&] {
            corebluetooth::CoreBluetoothStack::discovered(
                *_policy, peripheral, corebluetooth::advertisementOf(peripheral, advertisementData, RSSI), self);
        });
}

- (void)centralManager:(CBCentralManager*)central didConnectPeripheral:(CBPeripheral*)peripheral {
    if (_policy) _queue->contain([&] { _policy->connected(identityOf(peripheral)); });
}

- (void)centralManager:(CBCentralManager*)central
    didFailToConnectPeripheral:(CBPeripheral*)peripheral
                         error:(NSError*)error {
    if (_policy) _queue->contain([&] { _policy->ended(identityOf(peripheral), errorOf(error)); });
}

- (void)centralManager:(CBCentralManager*)central
    didDisconnectPeripheral:(CBPeripheral*)peripheral
                      error:(NSError*)error {
    if (_policy) _queue->contain([&] { _policy->ended(identityOf(peripheral), errorOf(error)); });
}

// ---- the peripherals: only while their connection is open ----

- (void)peripheral:(CBPeripheral*)peripheral didModifyServices:(NSArray<CBService*>*)invalidatedServices {
    if (!_policy) return;
    _queue->contain([&] {
        std::vector<codec::Uuid> uuids;
        for (CBService* s in invalidatedServices) uuids.push_back(corebluetooth::uuidOf(s.UUID));
        _policy->servicesInvalidated(identityOf(peripheral), uuids);
    });
}

- (void)peripheral:(CBPeripheral*)peripheral didDiscoverServices:(NSError*)error {
    auto p = [self faceOf:peripheral];
    if (auto* d = p ? p->openDelegate() : nullptr)
        _queue->contain([&] { d->didDiscoverServices(p, errorOf(error)); });
}

- (void)peripheral:(CBPeripheral*)peripheral
    didDiscoverCharacteristicsForService:(CBService*)service
                                   error:(NSError*)error {
    auto p = [self faceOf:peripheral];
    if (auto* d = p ? p->openDelegate() : nullptr)
        _queue->contain([&] { d->didDiscoverCharacteristics(p, p->serviceFor(service), errorOf(error)); });
}

- (void)peripheral:(CBPeripheral*)peripheral
    didUpdateNotificationStateForCharacteristic:(CBCharacteristic*)characteristic
                                          error:(NSError*)error {
    auto p = [self faceOf:peripheral];
    auto* d = p ? p->openDelegate() : nullptr;
    if (!d) return;
    _queue->contain([&] {
        // Notifications on: the bridge's setup of this link is done.
        if (!error && characteristic.isNotifying) p->tracker().setUp();
        d->didUpdateNotificationState(p, p->characteristicFor(characteristic), errorOf(error));
    });
}

- (void)peripheral:(CBPeripheral*)peripheral
    didUpdateValueForCharacteristic:(CBCharacteristic*)characteristic
                              error:(NSError*)error {
    auto p = [self faceOf:peripheral];
    auto* d = p ? p->openDelegate() : nullptr;
    if (!d) return;
    _queue->contain([&] {
        // The callback runs on the main queue with the value of this notification in place: the
        // bridge reads it from the characteristic's own data, without a copy. The span views
        // bytes the NSData owns, so the NSData is kept to the end of this scope: without a
        // precise lifetime ARC may release it right after its last use, `.length`, before the
        // bridge has read the bytes.
        NSData* value __attribute__((objc_precise_lifetime)) = characteristic.value;
        const auto* bytes = static_cast<const std::uint8_t*>(value.bytes);
        d->didUpdateValue(p, p->characteristicFor(characteristic),
                          std::span<const std::uint8_t>(bytes, bytes ? value.length : 0), errorOf(error));
    });
}

- (void)peripheral:(CBPeripheral*)peripheral
    didWriteValueForCharacteristic:(CBCharacteristic*)characteristic
                             error:(NSError*)error {
    auto p = [self faceOf:peripheral];
    if (auto* d = p ? p->openDelegate() : nullptr)
        _queue->contain([&] { d->didWriteValue(p, p->characteristicFor(characteristic), errorOf(error)); });
}

@end
