// The C++ faces of CoreBluetooth's peripheral, service and characteristic objects. Objective-C++:
// included by the backend's .mm files only.
#pragma once

#import <CoreBluetooth/CoreBluetooth.h>

// The stack's objects are held by strong references in C++ members: without ARC they would leak.
#if !__has_feature(objc_arc)
#error "the CoreBluetooth backend is compiled with ARC (-fobjc-arc)"
#endif

#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "ble/central.hpp"
#include "ble/corebluetooth/tracked_peripheral.hpp"

namespace corebluetooth {

class CoreBluetoothPeripheral;

// The identity of a stack object: its address, unique while a strong reference holds it.
inline const void* identityOf(id object) { return (__bridge const void*)object; }

codec::Uuid uuidOf(CBUUID* uuid);
NSArray<CBUUID*>* cbuuidsOf(const std::vector<codec::Uuid>& uuids);
codec::Uuid identifierOf(CBPeripheral* peripheral);
std::optional<ble::Error> errorOf(NSError* error);
// What a discovery said: the advertised local name, else the peripheral's own name, and the RSSI
// (CoreBluetooth's 127 means none was measured). Either dictionary and number may be nil.
ble::Advertisement advertisementOf(CBPeripheral* peripheral, NSDictionary<NSString*, id>* data,
                                   NSNumber* rssi);

class CoreBluetoothCharacteristic final : public ble::Characteristic {
public:
    explicit CoreBluetoothCharacteristic(CBCharacteristic* object) : object_(object), uuid_(uuidOf(object.UUID)) {}

    codec::Uuid uuid() const override { return uuid_; }
    bool isNotifying() const override { return object_.isNotifying; }

    CBCharacteristic* object() const { return object_; }

private:
    CBCharacteristic* const object_;
    const codec::Uuid uuid_;
};

class CoreBluetoothService final : public ble::Service {
public:
    CoreBluetoothService(CBService* object, const CoreBluetoothPeripheral& peripheral)
        : object_(object), uuid_(uuidOf(object.UUID)), peripheral_(peripheral) {}

    codec::Uuid uuid() const override { return uuid_; }
    std::optional<std::vector<ble::CharacteristicPtr>> characteristics() const override;

    CBService* object() const { return object_; }

private:
    CBService* const object_;
    const codec::Uuid uuid_;
    const CoreBluetoothPeripheral& peripheral_;
};

// One CBPeripheral and the bridge's connection to it. Calls reach CoreBluetooth only while the
// connection is open; callbacks reach the bridge only while it is open (see ConnectionTracker).
class CoreBluetoothPeripheral final : public TrackedPeripheral {
public:
    CoreBluetoothPeripheral(CBPeripheral* object, codec::Uuid id) : object_(object), id_(id) {}

    codec::Uuid identifier() const override { return id_; }
    void setDelegate(ble::PeripheralDelegate* delegate) override { delegate_ = delegate; }
    void discoverServices(const std::vector<codec::Uuid>& services) override;
    std::optional<std::vector<ble::ServicePtr>> services() const override;
    void discoverCharacteristics(const std::vector<codec::Uuid>& characteristics,
                                 const ble::ServicePtr& service) override;
    void setNotifyValue(bool enabled, const ble::CharacteristicPtr& c) override;
    void writeValue(const codec::Bytes& value, const ble::CharacteristicPtr& c) override;
    std::size_t maximumWriteValueLength() const override;
    std::size_t singlePacketWriteLength() const override;

    CBPeripheral* object() const { return object_; }
    // The bridge's delegate while the connection is open, else null: callbacks go nowhere.
    ble::PeripheralDelegate* openDelegate() const { return tracker().open() ? delegate_ : nullptr; }
    void forgetAttributes() override;

    // The one C++ face of each stack object, for the life of the connection.
    std::shared_ptr<CoreBluetoothService> serviceFor(CBService* object) const;
    std::shared_ptr<CoreBluetoothCharacteristic> characteristicFor(CBCharacteristic* object) const;

private:
    CBPeripheral* const object_;
    const codec::Uuid id_;
    ble::PeripheralDelegate* delegate_ = nullptr;
    // By identity; each face holds its object, so no address is reused while it is here.
    mutable std::unordered_map<const void*, std::shared_ptr<CoreBluetoothService>> services_;
    mutable std::unordered_map<const void*, std::shared_ptr<CoreBluetoothCharacteristic>> characteristics_;
};

}  // namespace corebluetooth
