#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ble/central.hpp"

namespace bluez {

// A GATT service or characteristic as bluetoothd exports it: its object path and UUID. The
// state the bridge reads is set by the peripheral in the task that reports it.
class BluezService final : public ble::Service {
public:
    BluezService(std::string path, codec::Uuid uuid) : path(std::move(path)), uuid_(uuid) {}
    codec::Uuid uuid() const override { return uuid_; }
    std::optional<std::vector<ble::CharacteristicPtr>> characteristics() const override { return discovered; }

    const std::string path;
    std::optional<std::vector<ble::CharacteristicPtr>> discovered;

private:
    codec::Uuid uuid_;
};

class BluezCharacteristic final : public ble::Characteristic {
public:
    BluezCharacteristic(std::string path, codec::Uuid uuid) : path(std::move(path)), uuid_(uuid) {}
    codec::Uuid uuid() const override { return uuid_; }
    bool isNotifying() const override { return notifying; }

    const std::string path;
    bool notifying = false;

private:
    codec::Uuid uuid_;
};

}  // namespace bluez
