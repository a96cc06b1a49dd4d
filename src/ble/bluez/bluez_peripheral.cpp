#include "ble/bluez/bluez_peripheral.hpp"

#include <algorithm>

#include "ble/bluez/bluez_central.hpp"
#include "ble/bluez/bounds.hpp"
#include "ble/bluez/names.hpp"

namespace bluez {

namespace {

using namespace std::chrono_literals;

bool coversAll(const std::vector<ble::Uuid>& found, const std::vector<ble::Uuid>& wanted) {
    return std::all_of(wanted.begin(), wanted.end(), [&](const ble::Uuid& u) {
        return std::find(found.begin(), found.end(), u) != found.end();
    });
}

bool wanted(const std::vector<ble::Uuid>& uuids, const ble::Uuid& u) {
    return uuids.empty() || std::find(uuids.begin(), uuids.end(), u) != uuids.end();
}

std::optional<ble::Error> errorOf(const Reply& reply) {
    if (!reply.error) return std::nullopt;
    return ble::Error{*reply.error + ": " + reply.errorText};
}

}  // namespace

void BluezPeripheral::connect() {
    if (state_ != ble::PeripheralState::disconnected) return;
    ++connection_;
    state_ = ble::PeripheralState::connecting;
    connectReported_ = false;
    awaitingOtherAttempt_ = false;
    services_.reset();
    serviceWait_.reset();
    characteristicWaits_.clear();
    serviceObjects_.clear();
    characteristicObjects_.clear();
    notifyPending_.clear();
    lastWriteLimit_ = 20;
    if (!central_.tree().find(path_, names::device)) {
        end("the device is gone");
        return;
    }
    const auto connection = connection_;
    central_.callBluez(path_, names::device, "Connect", {}, bounds::connect + 5s,
                       [self = shared_from_this(), connection](const Reply& reply) {
                           if (self->connection_ != connection || self->state_ != ble::PeripheralState::connecting)
                               return;
                           // The reply is what says connected: the Connected signal is often lost.
                           if (!reply.error || *reply.error == "org.bluez.Error.AlreadyConnected") {
                               self->becomeConnected();
                           } else if (*reply.error == "org.bluez.Error.InProgress") {
                               self->awaitingOtherAttempt_ = true;
                               const Properties* device = self->central_.tree().find(self->path_, names::device);
                               if (flag(device, "Connected")) self->becomeConnected();
                           } else {
                               self->end("connecting failed");
                           }
                       });
    afterOnThisConnection(bounds::connect, &BluezPeripheral::connectTimedOut);
}

void BluezPeripheral::connectTimedOut() {
    if (state_ != ble::PeripheralState::connecting) return;
    // Left alone, bluetoothd might still bring the link up later, unowned.
    central_.callBluez(path_, names::device, "Disconnect", {}, bounds::quickCall, [](const Reply&) {});
    end("connecting timed out");
}

void BluezPeripheral::becomeConnected() {
    state_ = ble::PeripheralState::connected;
    connectReported_ = true;
    awaitingOtherAttempt_ = false;
    central_.deliver([self = shared_from_this()] {
        self->central_.delegate().didConnect(self);
    });
}

void BluezPeripheral::cancel() {
    if (state_ == ble::PeripheralState::connecting) {
        central_.callBluez(path_, names::device, "Disconnect", {}, bounds::quickCall, [](const Reply&) {});
        end(nullptr);
    } else if (state_ == ble::PeripheralState::connected) {
        state_ = ble::PeripheralState::disconnecting;
        // Whichever comes first ends the connection: this reply or Connected turning false.
        central_.callBluez(path_, names::device, "Disconnect", {}, bounds::quickCall,
                           [self = shared_from_this(), connection = connection_](const Reply&) {
                               if (self->connection_ == connection) self->end(nullptr);
                           });
    }
}

void BluezPeripheral::end(const char* why) {
    if (state_ == ble::PeripheralState::disconnected) return;
    const bool wasConnected = connectReported_;
    state_ = ble::PeripheralState::disconnected;
    connectReported_ = false;
    awaitingOtherAttempt_ = false;
    // A new number: every reply, signal and timer of the connection that ended is dropped.
    ++connection_;
    serviceWait_.reset();
    characteristicWaits_.clear();
    notifyPending_.clear();
    std::optional<ble::Error> error;
    if (why) error = ble::Error{why};
    central_.deliver([self = shared_from_this(), wasConnected, error] {
        if (wasConnected)
            self->central_.delegate().didDisconnect(self, error);
        else
            self->central_.delegate().didFailToConnect(self, error);
    });
}

void BluezPeripheral::onConnectedChanged(bool connected) {
    if (connected) {
        if (state_ == ble::PeripheralState::connecting && awaitingOtherAttempt_) becomeConnected();
        return;
    }
    if (linked() || (state_ == ble::PeripheralState::connecting && awaitingOtherAttempt_)) end("the link was lost");
}

void BluezPeripheral::discoverServices(const std::vector<ble::Uuid>& services) {
    // On a connection that ended, its end is what gets reported.
    if (!linked()) return;
    serviceWait_ = services;
    afterOnThisConnection(bounds::resolve, &BluezPeripheral::resolveTimedOut);
    checkGatt();
}

void BluezPeripheral::discoverCharacteristics(const std::vector<ble::Uuid>& characteristics,
                                              const ble::ServicePtr& service) {
    if (!linked()) return;
    characteristicWaits_.push_back({std::static_pointer_cast<BluezService>(service), characteristics});
    afterOnThisConnection(bounds::resolve, &BluezPeripheral::resolveTimedOut);
    checkGatt();
}

void BluezPeripheral::checkGatt(bool lagOver) {
    if (!linked() || (!serviceWait_ && characteristicWaits_.empty())) return;
    const ObjectTree& tree = central_.tree();
    if (!flag(tree.find(path_, names::device), "ServicesResolved")) return;

    if (serviceWait_) {
        std::vector<ble::ServicePtr> found;
        std::vector<ble::Uuid> uuids;
        for (const auto& [path, props] : tree.below(path_ + "/", names::gattService)) {
            const auto uuid = ble::Uuid::parse(text(props, "UUID"));
            if (!uuid || !wanted(*serviceWait_, *uuid)) continue;
            auto& object = serviceObjects_[path];
            if (!object) object = std::make_shared<BluezService>(path, *uuid);
            found.push_back(object);
            uuids.push_back(*uuid);
        }
        if (lagOver || coversAll(uuids, *serviceWait_)) {
            serviceWait_.reset();
            central_.deliver([self = shared_from_this(), found = std::move(found)] {
                self->services_ = found;
                if (auto* d = self->delegate_) d->didDiscoverServices(self, std::nullopt);
            });
        }
    }

    for (auto wait = characteristicWaits_.begin(); wait != characteristicWaits_.end();) {
        std::vector<ble::CharacteristicPtr> found;
        std::vector<ble::Uuid> uuids;
        for (const auto& [path, props] : tree.below(wait->service->path + "/", names::gattCharacteristic)) {
            const auto uuid = ble::Uuid::parse(text(props, "UUID"));
            if (!uuid || !wanted(wait->uuids, *uuid)) continue;
            auto& object = characteristicObjects_[path];
            if (!object) object = std::make_shared<BluezCharacteristic>(path, *uuid);
            found.push_back(object);
            uuids.push_back(*uuid);
        }
        if (!lagOver && !coversAll(uuids, wait->uuids)) {
            ++wait;
            continue;
        }
        central_.deliver([self = shared_from_this(), service = wait->service, found = std::move(found)] {
            service->discovered = found;
            if (auto* d = self->delegate_) d->didDiscoverCharacteristics(self, service, std::nullopt);
        });
        wait = characteristicWaits_.erase(wait);
    }

    // Objects asked for may lag behind ServicesResolved, or never come: wait for them, bounded.
    if ((serviceWait_ || !characteristicWaits_.empty()) && lagTimerConnection_ != connection_) {
        lagTimerConnection_ = connection_;
        afterOnThisConnection(bounds::objectLag, &BluezPeripheral::lagOver);
    }
}

void BluezPeripheral::lagOver() {
    lagTimerConnection_ = 0;
    checkGatt(true);
}

void BluezPeripheral::resolveTimedOut() {
    const ble::Error error{"services were not resolved in time"};
    if (serviceWait_) {
        serviceWait_.reset();
        central_.deliver([self = shared_from_this(), error] {
            if (auto* d = self->delegate_) d->didDiscoverServices(self, error);
        });
    }
    for (const CharacteristicWait& wait : characteristicWaits_)
        central_.deliver([self = shared_from_this(), service = wait.service, error] {
            if (auto* d = self->delegate_) d->didDiscoverCharacteristics(self, service, error);
        });
    characteristicWaits_.clear();
}

void BluezPeripheral::setNotifyValue(bool enabled, const ble::CharacteristicPtr& c) {
    if (!linked()) return;
    auto characteristic = std::static_pointer_cast<BluezCharacteristic>(c);
    notifyPending_[characteristic->path] = enabled;
    central_.callBluez(characteristic->path, names::gattCharacteristic, enabled ? "StartNotify" : "StopNotify", {},
                       bounds::quickCall,
                       [self = shared_from_this(), connection = connection_, characteristic, enabled](const Reply& reply) {
                           if (self->connection_ != connection) return;
                           auto pending = self->notifyPending_.find(characteristic->path);
                           // Already confirmed by the Notifying property.
                           if (pending == self->notifyPending_.end() || pending->second != enabled) return;
                           self->notifyPending_.erase(pending);
                           self->finishNotify(characteristic, enabled, errorOf(reply));
                       });
}

void BluezPeripheral::onNotifying(const std::string& characteristicPath, bool notifying) {
    if (!linked()) return;
    auto object = characteristicObjects_.find(characteristicPath);
    if (object == characteristicObjects_.end()) return;
    auto pending = notifyPending_.find(characteristicPath);
    if (pending != notifyPending_.end() && pending->second == notifying) {
        notifyPending_.erase(pending);
        finishNotify(object->second, notifying, std::nullopt);
        return;
    }
    central_.deliver([c = object->second, notifying] { c->notifying = notifying; });
}

void BluezPeripheral::finishNotify(const std::shared_ptr<BluezCharacteristic>& c, bool enabled,
                                   std::optional<ble::Error> error) {
    central_.deliver([self = shared_from_this(), c, enabled, error = std::move(error)] {
        if (!error) c->notifying = enabled;
        if (auto* d = self->delegate_) d->didUpdateNotificationState(self, c, error);
    });
}

void BluezPeripheral::onValue(const std::string& characteristicPath, const ble::Bytes& value) {
    if (!linked()) return;
    auto object = characteristicObjects_.find(characteristicPath);
    if (object == characteristicObjects_.end()) return;
    // The value travels with its own task: notifications are never merged.
    central_.deliver([self = shared_from_this(), c = object->second, value] {
        c->latestValue = value;
        if (auto* d = self->delegate_) d->didUpdateValue(self, c, std::nullopt);
    });
}

void BluezPeripheral::writeValue(const ble::Bytes& value, const ble::CharacteristicPtr& c) {
    if (!linked()) return;
    auto characteristic = std::static_pointer_cast<BluezCharacteristic>(c);
    central_.callBluez(
        characteristic->path, names::gattCharacteristic, "WriteValue",
        [&value](sd_bus_message* m) {
            sd_bus_message_append_array(m, 'y', value.data(), value.size());
            sd_bus_message_append(m, "a{sv}", 1, "type", "s", "request");
        },
        bounds::write,
        [self = shared_from_this(), connection = connection_, characteristic](const Reply& reply) {
            if (self->connection_ != connection) return;
            self->central_.deliver([self, characteristic, error = errorOf(reply)] {
                if (auto* d = self->delegate_) d->didWriteValue(self, characteristic, error);
            });
        });
}

std::size_t BluezPeripheral::maximumWriteValueLength() const {
    // Every characteristic carries the link's ATT MTU; a single write holds MTU - 3 bytes.
    std::int64_t mtu = 0;
    for (const auto& [path, props] : central_.tree().below(path_ + "/", names::gattCharacteristic))
        mtu = std::max(mtu, number(props, "MTU", 0));
    // Once the objects are gone with the link, the last figure of this connection holds.
    if (mtu >= 23) lastWriteLimit_ = static_cast<std::size_t>(std::min<std::int64_t>(mtu - 3, 512));
    return lastWriteLimit_;
}

void BluezPeripheral::afterOnThisConnection(std::chrono::milliseconds delay, void (BluezPeripheral::*fn)()) {
    central_.after(delay, [self = shared_from_this(), connection = connection_, fn] {
        if (self->connection_ == connection) ((*self).*fn)();
    });
}

}  // namespace bluez
