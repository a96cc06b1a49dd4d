#include "ble/bluez/bluez_peripheral.hpp"

#include <fcntl.h>

#include <algorithm>

#include "ble/bluez/bluez_central.hpp"
#include "ble/bluez/bounds.hpp"
#include "ble/bluez/names.hpp"

namespace bluez {

namespace {

using namespace std::chrono_literals;

bool coversAll(const std::vector<codec::Uuid>& found, const std::vector<codec::Uuid>& wanted) {
    return std::all_of(wanted.begin(), wanted.end(), [&](const codec::Uuid& u) {
        return std::find(found.begin(), found.end(), u) != found.end();
    });
}

bool wanted(const std::vector<codec::Uuid>& uuids, const codec::Uuid& u) {
    return uuids.empty() || std::find(uuids.begin(), uuids.end(), u) != uuids.end();
}

// What a discovery found below a path: the objects whose UUIDs are wanted, and whether every
// wanted UUID is among them.
template <typename Ptr>
struct Found {
    std::vector<Ptr> objects;
    bool complete = false;
};

// The objects with `interface` below `parent`; each object is made once per connection, in `made`.
template <typename Ptr, typename Object>
Found<Ptr> findBelow(const ObjectTree& tree, const std::string& parent, const char* interface,
                     const std::vector<codec::Uuid>& uuids, std::map<std::string, std::shared_ptr<Object>>& made) {
    Found<Ptr> found;
    std::vector<codec::Uuid> foundUuids;
    for (const auto& [path, props] : tree.below(parent + "/", interface)) {
        const auto uuid = codec::Uuid::parse(text(props, "UUID"));
        if (!uuid || !wanted(uuids, *uuid)) continue;
        auto& object = made[path];
        if (!object) object = std::make_shared<Object>(path, *uuid);
        found.objects.push_back(object);
        foundUuids.push_back(*uuid);
    }
    found.complete = coversAll(foundUuids, uuids);
    return found;
}

std::optional<ble::Error> errorOf(const Reply& reply) {
    if (!reply.error) return std::nullopt;
    return ble::Error{*reply.error + ": " + reply.errorText};
}

}  // namespace

void BluezPeripheral::connect() {
    if (state_ != ble::PeripheralState::disconnected) return;
    ++connectionNumber_;
    state_ = ble::PeripheralState::connecting;
    // connection_ was reset when the last one ended.
    services_.reset();
    mtu_ = 0;
    if (!central_.tree().find(path_, names::device)) {
        end(ble::Error{"the device is gone"});
        return;
    }
    central_.queueConnect(shared_from_this());
}

void BluezPeripheral::sendConnect() {
    connection_.holdsConnectCall = true;
    connection_.connectSent = true;
    const auto number = connectionNumber_;
    central_.callBluez(path_, names::device, "Connect", {}, bounds::connect + 5s,
                       [self = shared_from_this(), number](const Reply& reply) {
                           if (self->connectionNumber_ != number || self->state_ != ble::PeripheralState::connecting)
                               return;
                           self->releaseConnectCall();
                           // The reply is what says connected: the Connected signal is often lost.
                           if (!reply.error || *reply.error == "org.bluez.Error.AlreadyConnected") {
                               self->becomeConnected();
                           } else if (*reply.error == "org.bluez.Error.InProgress") {
                               self->connection_.awaitingOtherAttempt = true;
                               const Properties* device = self->central_.tree().find(self->path_, names::device);
                               if (flag(device, "Connected")) self->becomeConnected();
                           } else {
                               // bluetoothd's text for a controller at its limit of links.
                               if (reply.errorText.find("connection-limit") != std::string::npos)
                                   self->central_.refusedForLimit();
                               self->end(errorOf(reply));
                           }
                       });
    // Counted from the call, not from the wait for its turn.
    after(connection_.connectTimeout, bounds::connect, &BluezPeripheral::connectTimedOut);
}

void BluezPeripheral::releaseConnectCall() {
    if (!connection_.holdsConnectCall) return;
    connection_.holdsConnectCall = false;
    central_.connectCallDone();
}

void BluezPeripheral::connectTimedOut() {
    if (state_ != ble::PeripheralState::connecting) return;
    // Left alone, bluetoothd might still bring the link up later, unowned.
    disconnectAndEnd("connecting timed out");
}

void BluezPeripheral::becomeConnected() {
    state_ = ble::PeripheralState::connected;
    connection_.reported = true;
    connection_.awaitingOtherAttempt = false;
    central_.deliver([self = shared_from_this()] {
        self->central_.delegate().didConnect(self);
    });
}

void BluezPeripheral::cancel() {
    if (state_ == ble::PeripheralState::connecting) {
        disconnectAndEnd(nullptr);
    } else if (state_ == ble::PeripheralState::connected) {
        state_ = ble::PeripheralState::disconnecting;
        // Whichever comes first ends the connection: this reply or Connected turning false.
        central_.callBluez(path_, names::device, "Disconnect", {}, bounds::quickCall,
                           [self = shared_from_this(), number = connectionNumber_](const Reply&) {
                               if (self->connectionNumber_ == number) self->end(std::nullopt);
                           });
    }
}

void BluezPeripheral::disconnectAndEnd(const char* why, bool deviceFault) {
    if (state_ == ble::PeripheralState::disconnected) return;
    // A connection still waiting for its turn asked bluetoothd for nothing yet.
    if (state_ != ble::PeripheralState::connecting || connection_.connectSent)
        central_.callBluez(path_, names::device, "Disconnect", {}, bounds::quickCall, nullptr);
    end(why ? std::optional<ble::Error>(ble::Error{why}) : std::nullopt, deviceFault);
}

void BluezPeripheral::end(std::optional<ble::Error> error, bool deviceFault) {
    if (state_ == ble::PeripheralState::disconnected) return;
    const bool wasConnected = connection_.reported;
    // A link that ends while a write waits for the device (its security, often) is a failure
    // too: the device is not connected again at once, only at the back-off's pace.
    const bool failed = deviceFault && (!connection_.ready || connection_.writeStalled);
    const bool missingService = connection_.missingService;
    // The stall is taken for a pairing nobody answered: the end says so.
    if (wasConnected && connection_.writeStalled && deviceFault) {
        if (!error) error = ble::Error{"the link ended"};
        error->what += " while a write waited for a pairing";
        error->wantsPairing = true;
    }
    state_ = ble::PeripheralState::disconnected;
    // A new number: every reply of the connection that ended is dropped.
    ++connectionNumber_;
    releaseConnectCall();
    // Its timers are cancelled and its stream closed.
    connection_ = {};
    central_.connectionEnded(*this, failed, missingService);
    central_.deliver([self = shared_from_this(), wasConnected, error = std::move(error)] {
        if (wasConnected)
            self->central_.delegate().didDisconnect(self, error);
        else
            self->central_.delegate().didFailToConnect(self, error);
    });
}

void BluezPeripheral::onConnectedChanged(bool connected) {
    if (connected) {
        if (state_ == ble::PeripheralState::connecting && connection_.awaitingOtherAttempt) becomeConnected();
        return;
    }
    if (linked() || (state_ == ble::PeripheralState::connecting && connection_.awaitingOtherAttempt))
        end(ble::Error{"the link was lost"});
}

void BluezPeripheral::onObjectRemoved(const std::string& objectPath) {
    if (!linked()) return;
    // Only the link's own objects: the service and characteristics it was given.
    if (!connection_.serviceObjects.count(objectPath) && !connection_.characteristicObjects.count(objectPath)) return;
    disconnectAndEnd("its GATT objects were removed");
}

void BluezPeripheral::discoverServices(const std::vector<codec::Uuid>& services) {
    // On a connection that ended, its end is what gets reported.
    if (!linked()) return;
    connection_.serviceWait = services;
    boundResolve();
    checkGatt();
}

void BluezPeripheral::discoverCharacteristics(const std::vector<codec::Uuid>& characteristics,
                                              const ble::ServicePtr& service) {
    if (!linked()) return;
    connection_.characteristicWaits.push_back({std::static_pointer_cast<BluezService>(service), characteristics});
    boundResolve();
    checkGatt();
}

void BluezPeripheral::checkGatt(bool lagOver) {
    if (!linked() || (!connection_.serviceWait && connection_.characteristicWaits.empty())) return;
    const ObjectTree& tree = central_.tree();
    if (!flag(tree.find(path_, names::device), "ServicesResolved")) return;

    if (connection_.serviceWait) {
        auto found = findBelow<ble::ServicePtr>(tree, path_, names::gattService, *connection_.serviceWait,
                                                connection_.serviceObjects);
        if (lagOver || found.complete) {
            connection_.missingService = !found.complete;
            connection_.serviceWait.reset();
            central_.deliver([self = shared_from_this(), found = std::move(found.objects)] {
                self->services_ = found;
                if (auto* d = self->delegate_) d->didDiscoverServices(self, std::nullopt);
            });
        }
    }

    for (auto wait = connection_.characteristicWaits.begin(); wait != connection_.characteristicWaits.end();) {
        auto found = findBelow<ble::CharacteristicPtr>(tree, wait->service->path, names::gattCharacteristic,
                                                       wait->uuids, connection_.characteristicObjects);
        if (!lagOver && !found.complete) {
            ++wait;
            continue;
        }
        central_.deliver([self = shared_from_this(), service = wait->service, found = std::move(found.objects)] {
            service->discovered = found;
            if (auto* d = self->delegate_) d->didDiscoverCharacteristics(self, service, std::nullopt);
        });
        wait = connection_.characteristicWaits.erase(wait);
    }

    // Objects asked for may lag behind ServicesResolved, or never come: wait for them, bounded.
    if ((connection_.serviceWait || !connection_.characteristicWaits.empty()) && !connection_.objectLag.pending())
        after(connection_.objectLag, bounds::objectLag, &BluezPeripheral::lagOver);
}

void BluezPeripheral::lagOver() { checkGatt(true); }

void BluezPeripheral::boundResolve() {
    // The first wait sets the bound; it fails every wait still open when it is over.
    if (!connection_.resolveTimeout.pending())
        after(connection_.resolveTimeout, bounds::resolve, &BluezPeripheral::resolveTimedOut);
}

void BluezPeripheral::resolveTimedOut() {
    const ble::Error error{"services were not resolved in time"};
    if (connection_.serviceWait) {
        connection_.serviceWait.reset();
        central_.deliver([self = shared_from_this(), error] {
            if (auto* d = self->delegate_) d->didDiscoverServices(self, error);
        });
    }
    for (const CharacteristicWait& wait : connection_.characteristicWaits)
        central_.deliver([self = shared_from_this(), service = wait.service, error] {
            if (auto* d = self->delegate_) d->didDiscoverCharacteristics(self, service, error);
        });
    connection_.characteristicWaits.clear();
}

void BluezPeripheral::setNotifyValue(bool enabled, const ble::CharacteristicPtr& c) {
    if (!linked()) return;
    auto characteristic = std::static_pointer_cast<BluezCharacteristic>(c);
    if (!enabled && connection_.notifySocket && connection_.mtuSource == characteristic->path) {
        // Closing the stream is what ends an acquired subscription.
        connection_.notifySocket.reset();
        finishNotify(characteristic, false, std::nullopt);
        return;
    }
    connection_.notifyPending[characteristic->path] = enabled;
    // Indications, and a characteristic someone else subscribed to, have no stream to hand over.
    const auto flags = texts(central_.tree().find(characteristic->path, names::gattCharacteristic), "Flags");
    if (enabled && !connection_.notifySocket && std::find(flags.begin(), flags.end(), "notify") != flags.end())
        acquireNotify(characteristic);
    else
        startOrStopNotify(characteristic, enabled);
}

void BluezPeripheral::acquireNotify(const std::shared_ptr<BluezCharacteristic>& c) {
    // A stream of notifications on a socket: one datagram each, no D-Bus message per value, and
    // the reply carries the link's MTU on every bluetoothd that has it, with or without the
    // MTU property.
    central_.callBluez(c->path, names::gattCharacteristic, "AcquireNotify",
                       [](sd_bus_message* m) { return sd_bus_message_append(m, "a{sv}", 0); }, bounds::quickCall,
                       [self = shared_from_this(), number = connectionNumber_, c](const Reply& reply) {
                           if (self->connectionNumber_ == number) self->onNotifyAcquired(c, reply);
                       });
}

void BluezPeripheral::onNotifyAcquired(const std::shared_ptr<BluezCharacteristic>& c, const Reply& reply) {
    int fd = -1;
    std::uint16_t mtu = 0;
    if (reply.error || sd_bus_message_read(reply.message, "hq", &fd, &mtu) < 0 ||
        (fd = fcntl(fd, F_DUPFD_CLOEXEC, 3)) < 0) {
        central_.say([&] {
            return "AcquireNotify on " + c->path + " refused (" + reply.error.value_or("bad reply") +
                   "): subscribing with StartNotify";
        });
        startOrStopNotify(c, true);
        return;
    }
    // The socket is this peripheral's and closed with the connection: its handlers find it here.
    connection_.notifySocket = std::make_unique<NotifySocket>(
        central_.loop(), fd,
        [this, c](const std::uint8_t* data, std::size_t size) { deliverValue(c, codec::Bytes(data, data + size)); },
        // bluetoothd closes it when the link goes, and then says so: wait for that, bounded.
        [this] { after(connection_.streamClosedWait, bounds::streamClosed, &BluezPeripheral::streamClosed); });
    if (mtu >= 23) mtu_ = mtu;
    connection_.notifyPending.erase(c->path);
    connection_.mtuSource = c->path;
    finishNotify(c, true, std::nullopt);
}

void BluezPeripheral::streamClosed() {
    // Still up without notifications: end it rather than leave it announced and silent.
    disconnectAndEnd("the notification stream closed");
}

void BluezPeripheral::startOrStopNotify(const std::shared_ptr<BluezCharacteristic>& c, bool enabled) {
    central_.callBluez(c->path, names::gattCharacteristic, enabled ? "StartNotify" : "StopNotify", {},
                       bounds::quickCall,
                       [self = shared_from_this(), number = connectionNumber_, c, enabled](const Reply& reply) {
                           if (self->connectionNumber_ != number) return;
                           auto pending = self->connection_.notifyPending.find(c->path);
                           // Already confirmed by the Notifying property.
                           if (pending == self->connection_.notifyPending.end() || pending->second != enabled) return;
                           self->connection_.notifyPending.erase(pending);
                           if (enabled && !reply.error)
                               self->subscribed(c);
                           else
                               self->finishNotify(c, enabled, errorOf(reply));
                       });
}

void BluezPeripheral::onNotifying(const std::string& characteristicPath, bool notifying) {
    if (!linked()) return;
    auto object = connection_.characteristicObjects.find(characteristicPath);
    if (object == connection_.characteristicObjects.end()) return;
    auto pending = connection_.notifyPending.find(characteristicPath);
    if (pending != connection_.notifyPending.end() && pending->second == notifying) {
        connection_.notifyPending.erase(pending);
        if (notifying)
            subscribed(object->second);
        else
            finishNotify(object->second, false, std::nullopt);
        return;
    }
    // An acquired stream is not a subscription through this property.
    if (connection_.notifySocket && connection_.mtuSource == characteristicPath) return;
    central_.deliver([c = object->second, notifying] { c->notifying = notifying; });
}

void BluezPeripheral::subscribed(const std::shared_ptr<BluezCharacteristic>& c) {
    connection_.mtuSource = c->path;
    readMtu(c->path, [self = shared_from_this(), number = connectionNumber_, c] {
        if (self->connectionNumber_ == number) self->finishNotify(c, true, std::nullopt);
    });
}

void BluezPeripheral::finishNotify(const std::shared_ptr<BluezCharacteristic>& c, bool enabled,
                                   std::optional<ble::Error> error) {
    if (enabled && !error && !connection_.ready) {
        connection_.ready = true;
        central_.connectionReady(*this);
        // The MTU exchange may finish after setup, and bluetoothd's MTU property changes without
        // a signal: read it once more a little later.
        after(connection_.mtuRecheck, bounds::mtuRecheck, &BluezPeripheral::refreshMtu);
    }
    central_.deliver([self = shared_from_this(), c, enabled, error = std::move(error)] {
        if (!error) c->notifying = enabled;
        if (auto* d = self->delegate_) d->didUpdateNotificationState(self, c, error);
    });
}

void BluezPeripheral::readMtu(const std::string& characteristicPath, std::function<void()> then) {
    // Read from bluetoothd, never from the object tree: the property changes without a signal.
    central_.callBluez(
        characteristicPath, "org.freedesktop.DBus.Properties", "Get",
        [](sd_bus_message* m) { return sd_bus_message_append(m, "ss", names::gattCharacteristic, "MTU"); },
        bounds::quickCall,
        [self = shared_from_this(), number = connectionNumber_, then = std::move(then)](const Reply& reply) {
            std::uint16_t mtu = 0;
            // Without the property (bluetoothd before 5.62) the figure known so far holds.
            if (self->connectionNumber_ == number && !reply.error &&
                sd_bus_message_read(reply.message, "v", "q", &mtu) >= 0 && mtu >= 23)
                self->mtu_ = mtu;
            if (then) then();
        });
}

void BluezPeripheral::refreshMtu() {
    if (linked() && !connection_.mtuSource.empty()) readMtu(connection_.mtuSource, nullptr);
}

void BluezPeripheral::onMtu(const std::string& characteristicPath, std::int64_t mtu) {
    if (linked() && connection_.characteristicObjects.count(characteristicPath) && mtu >= 23) mtu_ = mtu;
}

void BluezPeripheral::onValue(const std::string& characteristicPath, codec::Bytes value) {
    if (!linked()) return;
    auto object = connection_.characteristicObjects.find(characteristicPath);
    if (object == connection_.characteristicObjects.end()) return;
    deliverValue(object->second, std::move(value));
}

void BluezPeripheral::deliverValue(const std::shared_ptr<BluezCharacteristic>& c, codec::Bytes value) {
    // The value travels with its own task: notifications are never merged.
    central_.deliver([self = shared_from_this(), c, value = std::move(value)] {
        if (auto* d = self->delegate_) d->didUpdateValue(self, c, value, std::nullopt);
    });
}

void BluezPeripheral::writeValue(const codec::Bytes& value, const ble::CharacteristicPtr& c) {
    if (!linked()) return;
    sendWrite(value, std::static_pointer_cast<BluezCharacteristic>(c), central_.pairs());
}

void BluezPeripheral::sendWrite(const codec::Bytes& value, const std::shared_ptr<BluezCharacteristic>& characteristic,
                                bool mayPair) {
    if (!connection_.writeStalled) after(connection_.writeWait, bounds::writeStall, &BluezPeripheral::writeStalled);
    central_.callBluez(
        characteristic->path, names::gattCharacteristic, "WriteValue",
        [&value](sd_bus_message* m) {
            const int r = sd_bus_message_append_array(m, 'y', value.data(), value.size());
            return r < 0 ? r : sd_bus_message_append(m, "a{sv}", 1, "type", "s", "request");
        },
        bounds::write,
        [self = shared_from_this(), number = connectionNumber_, characteristic,
         value = mayPair ? value : codec::Bytes{}, mayPair, asked = connection_.pairingsAsked](const Reply& reply) {
            if (self->connectionNumber_ != number) return;
            self->connection_.writeWait.cancel();
            // A write that went through ends the wait for security; a failure may come just
            // before the link's end, which is still taken as the pairing's.
            if (!reply.error) self->connection_.writeStalled = false;
            std::optional<ble::Error> error = errorOf(reply);
            // bluetoothd's answer when the device refused for lack of encryption or authentication
            // ("Not paired") and raising the link's security did not help.
            if (error && *reply.error == "org.bluez.Error.NotPermitted" &&
                reply.errorText.find("paired") != std::string::npos) {
                error->wantsPairing = true;
                // The kernel's own pairing, as the write asked for security, goes to the default
                // agent, which need not be the bridge's; a Pair call of ours asks the bridge's.
                // When the bridge's agent was asked meanwhile, the pairing that failed was ours.
                if (mayPair && self->connection_.pairingsAsked == asked) {
                    self->pairThen([self, characteristic, value, error](bool paired) {
                        if (paired) return self->sendWrite(value, characteristic, false);
                        self->central_.deliver([self, characteristic, error] {
                            if (auto* d = self->delegate_) d->didWriteValue(self, characteristic, error);
                        });
                    });
                    return;
                }
                self->central_.say([&] {
                    return "write to " + self->address_ + " refused (" + *reply.error + ": " + reply.errorText +
                           "): the device wants a pairing (an encrypted or authenticated link) that this adapter "
                           "does not have; see docs/bluez.md";
                });
            } else if (reply.error && *reply.error == "org.bluez.Error.NotAuthorized") {
                self->central_.say([&] {
                    return "write to " + self->address_ + " refused (" + *reply.error + ": " + reply.errorText +
                           "): the device wants an authorization of its own";
                });
            }
            self->central_.deliver([self, characteristic, error = std::move(error)] {
                if (auto* d = self->delegate_) d->didWriteValue(self, characteristic, error);
            });
        });
}

void BluezPeripheral::pairThen(std::function<void(bool)> then) {
    if (connection_.pairWaits) return connection_.pairWaits->push_back(std::move(then));
    connection_.pairWaits.emplace({std::move(then)});
    central_.say([&] { return "write to " + address_ + " refused for want of a pairing: pairing the device"; });
    central_.callBluez(
        path_, names::device, "Pair", {}, bounds::pair,
        [self = shared_from_this(), number = connectionNumber_](const Reply& reply) {
            if (self->connectionNumber_ != number || !self->connection_.pairWaits) return;
            // A bond made meanwhile (the kernel's own pairing) is as good as ours.
            const bool paired = !reply.error || *reply.error == "org.bluez.Error.AlreadyExists";
            if (!paired)
                self->central_.say([&] {
                    return "pairing " + self->address_ + " failed (" + *reply.error + ": " + reply.errorText + ")";
                });
            auto waits = std::move(*self->connection_.pairWaits);
            self->connection_.pairWaits.reset();
            for (auto& w : waits) w(paired);
        });
}

void BluezPeripheral::writeStalled() {
    connection_.writeStalled = true;
    // The wait is the client's, answering the pairing.
    if (central_.pairingAsked(path_)) return;
    central_.say([&] {
        return "a write to " + address_ + " has waited " + std::to_string(bounds::writeStall.count() / 1000) +
               " s: the device may want a pairing that no agent answers (bluetoothd's log: \"No agent available\"); "
               "see docs/bluez.md";
    });
}

std::size_t BluezPeripheral::maximumWriteValueLength() const {
    // A single write holds MTU - 3 bytes, at most one attribute value; 20 until the MTU is known.
    if (mtu_ < 23) return 20;
    return static_cast<std::size_t>(std::min<std::int64_t>(mtu_ - 3, 512));
}

void BluezPeripheral::after(loop::Timer& timer, std::chrono::milliseconds delay, void (BluezPeripheral::*fn)()) {
    // The timer is this peripheral's: its task never outlives it.
    timer = central_.after(delay, [this, fn] { (this->*fn)(); });
}

}  // namespace bluez
