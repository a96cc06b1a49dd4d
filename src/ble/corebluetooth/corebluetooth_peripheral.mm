#include "ble/corebluetooth/corebluetooth_peripheral.h"

#include "ble/corebluetooth/error_text.hpp"
#include "ble/corebluetooth/gatt_uuid.hpp"

namespace corebluetooth {

namespace {

std::string textOf(NSString* s) {
    const char* utf8 = s.UTF8String;
    return utf8 ? utf8 : "";
}

}  // namespace

NSArray<CBUUID*>* cbuuidsOf(const std::vector<codec::Uuid>& uuids) {
    NSMutableArray<CBUUID*>* out = [NSMutableArray arrayWithCapacity:uuids.size()];
    for (const codec::Uuid& u : uuids) [out addObject:[CBUUID UUIDWithString:@(u.text().c_str())]];
    return out;
}

codec::Uuid uuidOf(CBUUID* uuid) {
    NSData* data = uuid.data;
    // A UUID of no GATT length matches nothing the bridge looks for.
    return gattUuid(static_cast<const std::uint8_t*>(data.bytes), data.length).value_or(codec::Uuid{});
}

codec::Uuid identifierOf(CBPeripheral* peripheral) {
    codec::Uuid id;
    static_assert(sizeof(uuid_t) == sizeof(id.bytes));
    [peripheral.identifier getUUIDBytes:id.bytes.data()];
    return id;
}

ble::Advertisement advertisementOf(CBPeripheral* peripheral, NSDictionary<NSString*, id>* data,
                                   NSNumber* rssi) {
    ble::Advertisement advertisement;
    NSString* name = data ? data[CBAdvertisementDataLocalNameKey] : nil;
    if (!name) name = peripheral.name;
    if (name) advertisement.name = textOf(name);
    if (rssi && rssi.intValue != 127) advertisement.rssi = rssi.intValue;
    return advertisement;
}

std::optional<ble::Error> errorOf(NSError* error) {
    if (!error) return std::nullopt;
    return ble::Error{
        errorText(textOf(error.domain), static_cast<long>(error.code), textOf(error.localizedDescription))};
}

std::optional<std::vector<ble::CharacteristicPtr>> CoreBluetoothService::characteristics() const {
    NSArray<CBCharacteristic*>* found = object_.characteristics;
    if (!found) return std::nullopt;
    std::vector<ble::CharacteristicPtr> out;
    for (CBCharacteristic* c in found) out.push_back(peripheral_.characteristicFor(c));
    return out;
}

void CoreBluetoothPeripheral::discoverServices(const std::vector<codec::Uuid>& services) {
    // On a connection that ended, its end is what the bridge hears of.
    if (!tracker().open()) return;
    [object_ discoverServices:cbuuidsOf(services)];
}

std::optional<std::vector<ble::ServicePtr>> CoreBluetoothPeripheral::services() const {
    NSArray<CBService*>* found = object_.services;
    if (!found) return std::nullopt;
    std::vector<ble::ServicePtr> out;
    for (CBService* s in found) out.push_back(serviceFor(s));
    return out;
}

void CoreBluetoothPeripheral::discoverCharacteristics(const std::vector<codec::Uuid>& characteristics,
                                                      const ble::ServicePtr& service) {
    if (!tracker().open()) return;
    [object_ discoverCharacteristics:cbuuidsOf(characteristics)
                          forService:std::static_pointer_cast<CoreBluetoothService>(service)->object()];
}

void CoreBluetoothPeripheral::setNotifyValue(bool enabled, const ble::CharacteristicPtr& c) {
    if (!tracker().open()) return;
    [object_ setNotifyValue:enabled
          forCharacteristic:std::static_pointer_cast<CoreBluetoothCharacteristic>(c)->object()];
}

void CoreBluetoothPeripheral::writeValue(const codec::Bytes& value, const ble::CharacteristicPtr& c) {
    if (!tracker().open()) return;
    [object_ writeValue:[NSData dataWithBytes:value.data() length:value.size()]
        forCharacteristic:std::static_pointer_cast<CoreBluetoothCharacteristic>(c)->object()
                     type:CBCharacteristicWriteWithResponse];
}

// With response, CoreBluetooth sends a longer value as a long (prepared) write: 512 on a Mac.
std::size_t CoreBluetoothPeripheral::maximumWriteValueLength() const {
    return [object_ maximumWriteValueLengthForType:CBCharacteristicWriteWithResponse];
}

std::size_t CoreBluetoothPeripheral::singlePacketWriteLength() const {
    return [object_ maximumWriteValueLengthForType:CBCharacteristicWriteWithoutResponse];
}

void CoreBluetoothPeripheral::forgetAttributes() {
    services_.clear();
    characteristics_.clear();
}

std::shared_ptr<CoreBluetoothService> CoreBluetoothPeripheral::serviceFor(CBService* object) const {
    auto& face = services_[identityOf(object)];
    if (!face) face = std::make_shared<CoreBluetoothService>(object, *this);
    return face;
}

std::shared_ptr<CoreBluetoothCharacteristic> CoreBluetoothPeripheral::characteristicFor(
    CBCharacteristic* object) const {
    auto& face = characteristics_[identityOf(object)];
    if (!face) face = std::make_shared<CoreBluetoothCharacteristic>(object);
    return face;
}

}  // namespace corebluetooth
