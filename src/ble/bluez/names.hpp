#pragma once

// bluetoothd's names on the bus.
namespace bluez::names {

inline constexpr const char* service = "org.bluez";
inline constexpr const char* adapter = "org.bluez.Adapter1";
inline constexpr const char* device = "org.bluez.Device1";
inline constexpr const char* gattService = "org.bluez.GattService1";
inline constexpr const char* gattCharacteristic = "org.bluez.GattCharacteristic1";
inline constexpr const char* objectManager = "org.freedesktop.DBus.ObjectManager";

}  // namespace bluez::names
