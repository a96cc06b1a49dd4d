#include "ble/bluez/bluez_central.hpp"

#include <algorithm>
#include <cerrno>

#include "ble/bluez/bluez_peripheral.hpp"
#include "ble/bluez/bounds.hpp"
#include "ble/bluez/names.hpp"
#include "ble/bluez/peer_id.hpp"

namespace bluez {

namespace {

constexpr const char* accessDenied = "org.freedesktop.DBus.Error.AccessDenied";

// Device properties that change when an advertisement is received.
bool isAdvertisement(const std::string& name) {
    return name == "RSSI" || name == "UUIDs" || name == "ManufacturerData" || name == "ServiceData" ||
           name == "TxPower" || name == "AdvertisingFlags" || name == "AdvertisingData";
}

std::string lowercaseText(const ble::Uuid& u) {
    std::string s = u.text();
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool has(const std::vector<std::string>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

BluezCentral::BluezCentral(ble::CentralDelegate& delegate, loop::MainQueue& queue, asio::io_context& io)
    : delegate_(delegate), queue_(queue), bus_(io, [this] { onBusLost(); }) {
    if (!bus_.connected()) {
        update();
        return;
    }
    // The matches go out before the calls, so no change falls between a snapshot and its signals.
    bus_.addMatch(
        "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
        "member='NameOwnerChanged',arg0='org.bluez'",
        [this](sd_bus_message* m) { onNameOwnerChanged(m); });
    bus_.addMatch("type='signal',sender='org.bluez',interface='org.freedesktop.DBus.ObjectManager'",
                  [this](sd_bus_message* m) { onObjectManagerSignal(m); });
    bus_.addMatch(
        "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged'",
        [this](sd_bus_message* m) { onPropertiesChanged(m); });
    bus_.call(
        "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner",
        [](sd_bus_message* m) { sd_bus_message_append(m, "s", names::service); }, bounds::quickCall,
        [this](const Reply& reply) {
            // A NameOwnerChanged that came first is newer than this answer.
            if (ownerKnown_) return;
            ownerKnown_ = true;
            const char* owner = nullptr;
            if (!reply.error && sd_bus_message_read(reply.message, "s", &owner) >= 0 && owner)
                setOwner(owner);
            update();
        });
}

BluezCentral::~BluezCentral() { *alive_ = false; }

void BluezCentral::deliver(loop::Task task) {
    queue_.post([alive = std::weak_ptr<bool>(alive_), task = std::move(task)] {
        if (!alive.expired()) task();
    });
}

void BluezCentral::after(loop::Duration delay, loop::Task task) {
    queue_.postAfter(delay, [alive = std::weak_ptr<bool>(alive_), task = std::move(task)] {
        if (!alive.expired()) task();
    });
}

void BluezCentral::callBluez(const std::string& path, const char* interface, const char* member,
                             const Bus::Arguments& append, std::chrono::milliseconds timeout,
                             Bus::ReplyHandler onReply) {
    // Addressed to the running bluetoothd by its unique name: a call never reaches a later
    // instance, and never starts one.
    bus_.call(owner_.empty() ? std::string(names::service) : owner_, path, interface, member, append, timeout,
              std::move(onReply));
}

// ---- bluetoothd coming and going --------------------------------------------------------------

void BluezCentral::onNameOwnerChanged(sd_bus_message* m) {
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) < 0 || std::string_view(name) != names::service)
        return;
    ownerKnown_ = true;
    if (!owner_.empty() && owner_ != newOwner) loseBluez();
    if (*newOwner && owner_ != newOwner) setOwner(newOwner);
    update();
}

void BluezCentral::setOwner(const std::string& owner) {
    owner_ = owner;
    treeLoaded_ = false;
    accessDenied_ = false;
    const auto epoch = ++ownerEpoch_;
    callBluez("/", names::objectManager, "GetManagedObjects", {}, bounds::quickCall, [this, epoch](const Reply& reply) {
        if (epoch != ownerEpoch_) return;
        accessDenied_ = reply.error && *reply.error == accessDenied;
        if (reply.error || !tree_.readAll(reply.message)) tree_.clear();
        treeLoaded_ = true;
        bluezLost_ = false;
        update();
    });
}

void BluezCentral::loseBluez() {
    owner_.clear();
    ++ownerEpoch_;
    treeLoaded_ = false;
    bluezLost_ = true;
    tree_.clear();
    discoveryActive_ = false;
    adapterPath_.clear();
    adapterPowered_ = false;
    endAll("bluetoothd is gone");
}

void BluezCentral::onBusLost() {
    tree_.clear();
    treeLoaded_ = false;
    discoveryActive_ = false;
    adapterPath_.clear();
    adapterPowered_ = false;
    endAll("the system bus is gone");
    update();
}

bool BluezCentral::fromBluez(sd_bus_message* m) const {
    // Signals before the snapshot are already part of it; signals of others are not ours.
    const char* sender = sd_bus_message_get_sender(m);
    return treeLoaded_ && sender && owner_ == sender;
}

// ---- bluetoothd's objects ----------------------------------------------------------------------

void BluezCentral::onObjectManagerSignal(sd_bus_message* m) {
    if (!fromBluez(m)) return;
    const std::string_view member = sd_bus_message_get_member(m);
    if (member == "InterfacesAdded") {
        const std::string path = tree_.readAdded(m);
        if (tree_.find(path, names::device))
            reportIfAdvertising(path);
        else if (auto p = peripheralAbove(path))
            p->checkGatt();
    } else if (member == "InterfacesRemoved") {
        std::vector<std::string> interfaces;
        const std::string path = tree_.readRemoved(m, interfaces);
        if (has(interfaces, names::device)) {
            auto it = peripherals_.find(path);
            if (it != peripherals_.end()) it->second->end("the device was removed");
        }
    }
    update();
}

void BluezCentral::onPropertiesChanged(sd_bus_message* m) {
    if (!fromBluez(m)) return;
    const std::string path = sd_bus_message_get_path(m);
    std::vector<std::string> changed;
    const std::string interface = tree_.readChanged(path, m, changed);
    if (interface == names::device) {
        const Properties* device = tree_.find(path, names::device);
        auto it = peripherals_.find(path);
        if (it != peripherals_.end()) {
            const auto& p = it->second;
            if (has(changed, "Connected")) p->onConnectedChanged(flag(device, "Connected"));
            if (has(changed, "ServicesResolved") && flag(device, "ServicesResolved")) {
                // Also a sign of a link whose Connected signal was lost.
                p->onConnectedChanged(true);
                p->checkGatt();
            }
        }
        if (std::any_of(changed.begin(), changed.end(), isAdvertisement)) reportIfAdvertising(path);
    } else if (interface == names::gattCharacteristic) {
        if (auto p = peripheralAbove(path)) {
            const Properties* c = tree_.find(path, names::gattCharacteristic);
            if (has(changed, "Value")) {
                const ble::Bytes* value = bytes(c, "Value");
                p->onValue(path, value ? *value : ble::Bytes());
            }
            if (has(changed, "Notifying")) p->onNotifying(path, flag(c, "Notifying"));
        }
    } else if (interface == names::adapter) {
        // Only the adapter's own changes move the state: notifications stay cheap.
        update();
    }
}

std::shared_ptr<BluezPeripheral> BluezCentral::peripheralAbove(const std::string& path) const {
    for (const auto& [devicePath, p] : peripherals_)
        if (path.size() > devicePath.size() && path.compare(0, devicePath.size(), devicePath) == 0 &&
            path[devicePath.size()] == '/')
            return p;
    return nullptr;
}

// ---- adapter, state and scanning ------------------------------------------------------------

void BluezCentral::update() {
    std::string first;
    if (treeLoaded_) {
        const auto adapters = tree_.below("", names::adapter);
        if (!adapters.empty()) first = adapters.front().first;
    }
    if (first != adapterPath_) {
        // The connections of another adapter do not survive the change.
        endAll("the adapter is gone");
        adapterPath_ = first;
        discoveryActive_ = false;
    }
    const bool powered = flag(tree_.find(adapterPath_, names::adapter), "Powered");
    if (adapterPowered_ && !powered) {
        // bluetoothd drops its discovery clients with the power, and no link survives it.
        discoveryActive_ = false;
        endAll("the adapter was powered off");
    }
    adapterPowered_ = powered;
    if (powered && scanning_ && !discoveryActive_) startDiscovery();

    const auto state = currentState();
    if (!state || *state == lastPosted_) return;
    lastPosted_ = *state;
    // state() changes with the callback, so each callback reads the state it reports.
    deliver([this, s = *state] {
        state_ = s;
        delegate_.centralDidUpdateState();
    });
}

std::optional<int> BluezCentral::currentState() const {
    if (!bus_.connected())
        return bus_.error() == -EACCES || bus_.error() == -EPERM ? ble::ManagerState::unauthorized
                                                                  : ble::ManagerState::unsupported;
    if (bluezLost_ && !treeLoaded_) return ble::ManagerState::resetting;
    if (!ownerKnown_) return std::nullopt;
    if (owner_.empty()) return ble::ManagerState::unsupported;
    if (!treeLoaded_) return std::nullopt;
    if (accessDenied_) return ble::ManagerState::unauthorized;
    if (adapterPath_.empty()) return ble::ManagerState::unsupported;
    return adapterPowered_ ? ble::ManagerState::poweredOn : ble::ManagerState::poweredOff;
}

void BluezCentral::scanForPeripherals(const std::vector<ble::Uuid>& services, bool allowDuplicates) {
    scanning_ = true;
    scanServices_ = services;
    allowDuplicates_ = allowDuplicates;
    update();
}

void BluezCentral::stopScan() {
    scanning_ = false;
    if (!discoveryActive_) return;
    discoveryActive_ = false;
    callBluez(adapterPath_, names::adapter, "StopDiscovery", {}, bounds::quickCall, [](const Reply&) {});
    // The filter is shared by every client of bluetoothd: leave none behind.
    callBluez(
        adapterPath_, names::adapter, "SetDiscoveryFilter",
        [](sd_bus_message* m) { sd_bus_message_append(m, "a{sv}", 0); }, bounds::quickCall, [](const Reply&) {});
}

void BluezCentral::startDiscovery() {
    discoveryActive_ = true;
    std::vector<std::string> uuids;
    for (const ble::Uuid& u : scanServices_) uuids.push_back(lowercaseText(u));
    callBluez(
        adapterPath_, names::adapter, "SetDiscoveryFilter",
        [&](sd_bus_message* m) {
            sd_bus_message_open_container(m, 'a', "{sv}");
            sd_bus_message_open_container(m, 'e', "sv");
            sd_bus_message_append(m, "s", "UUIDs");
            sd_bus_message_open_container(m, 'v', "as");
            sd_bus_message_open_container(m, 'a', "s");
            for (const std::string& u : uuids) sd_bus_message_append(m, "s", u.c_str());
            sd_bus_message_close_container(m);
            sd_bus_message_close_container(m);
            sd_bus_message_close_container(m);
            sd_bus_message_append(m, "{sv}", "Transport", "s", "le");
            sd_bus_message_append(m, "{sv}", "DuplicateData", "b", allowDuplicates_ ? 1 : 0);
            sd_bus_message_close_container(m);
        },
        bounds::quickCall, [](const Reply&) {});
    const std::string adapter = adapterPath_;
    callBluez(adapter, names::adapter, "StartDiscovery", {}, bounds::quickCall,
              [this, adapter, epoch = ownerEpoch_](const Reply& reply) {
                  // InProgress: this client's discovery is already on.
                  if (!reply.error || *reply.error == "org.bluez.Error.InProgress") return;
                  if (epoch != ownerEpoch_ || adapter != adapterPath_ || !discoveryActive_) return;
                  // Refused (not ready, busy): ask again a little later, at a modest pace.
                  discoveryActive_ = false;
                  after(bounds::discoveryRetry, [this] { update(); });
              });
    // Devices bluetoothd already knows are found too: they may not advertise anything new.
    for (const auto& [path, props] : tree_.below(adapterPath_ + "/", names::device)) reportIfAdvertising(path);
}

void BluezCentral::reportIfAdvertising(const std::string& devicePath) {
    if (!scanning_ || !discoveryActive_) return;
    const Properties* device = tree_.find(devicePath, names::device);
    // The filter is shared with every other client of bluetoothd: check what it let through.
    if (!device || text(device, "Adapter") != adapterPath_) return;
    const auto advertised = texts(device, "UUIDs");
    const bool offers = std::any_of(advertised.begin(), advertised.end(), [&](const std::string& text) {
        const auto u = ble::Uuid::parse(text);
        return u && std::find(scanServices_.begin(), scanServices_.end(), *u) != scanServices_.end();
    });
    if (!offers) return;
    auto p = peripheralFor(devicePath);
    if (!p || p->state() != ble::PeripheralState::disconnected) return;
    deliver([this, p] { delegate_.didDiscover(p); });
}

std::shared_ptr<BluezPeripheral> BluezCentral::peripheralFor(const std::string& devicePath) {
    const auto id = peerId(text(tree_.find(adapterPath_, names::adapter), "Address"),
                           text(tree_.find(devicePath, names::device), "Address"));
    if (!id) return nullptr;
    auto& p = peripherals_[devicePath];
    // Same path, other addresses (another controller took the adapter's name): a new peer.
    if (!p || p->identifier() != *id) p = std::make_shared<BluezPeripheral>(*this, devicePath, *id);
    return p;
}

void BluezCentral::endAll(const char* why) {
    for (const auto& [path, p] : peripherals_) p->end(why);
}

// ---- connections ------------------------------------------------------------------------------

void BluezCentral::connect(const ble::PeripheralPtr& p) { static_cast<BluezPeripheral&>(*p).connect(); }

void BluezCentral::cancelConnection(const ble::PeripheralPtr& p) { static_cast<BluezPeripheral&>(*p).cancel(); }

ble::CentralFactory centralFactory(loop::MainQueue& queue, asio::io_context& io) {
    return [&queue, &io](ble::CentralDelegate& delegate, const ble::CentralOptions&) {
        return std::make_unique<BluezCentral>(delegate, queue, io);
    };
}

}  // namespace bluez
