#include "ble/bluez/bluez_central.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "ble/bluez/adapter_choice.hpp"
#include "ble/bluez/bluez_peripheral.hpp"
#include "ble/bluez/bounds.hpp"
#include "ble/bluez/names.hpp"
#include "ble/bluez/peer_id.hpp"
#include "ble/bluez/rfkill.hpp"
#include "ble/reconnect_delay.hpp"

namespace bluez {

namespace {

constexpr const char* accessDenied = "org.freedesktop.DBus.Error.AccessDenied";

// Why the state is what it is, as the state event names it.
namespace reasons {
constexpr std::string_view noBus = "no_bus";
constexpr std::string_view noBluetoothd = "no_bluetoothd";
constexpr std::string_view noAdapter = "no_adapter";
constexpr std::string_view adapterMissing = "adapter_missing";
constexpr std::string_view accessDenied = "access_denied";
constexpr std::string_view blocked = "blocked";
}  // namespace reasons

// Device properties that change when an advertisement is received.
bool isAdvertisement(const std::string& name) {
    return name == "RSSI" || name == "UUIDs" || name == "ManufacturerData" || name == "ServiceData" ||
           name == "TxPower" || name == "AdvertisingFlags" || name == "AdvertisingData";
}

std::string lowercaseText(const codec::Uuid& u) {
    std::string s = u.text();
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool has(const std::vector<std::string>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// {"UUIDs": <uuids>, "Transport": "le", "DuplicateData": <allowDuplicates>}
int appendDiscoveryFilter(sd_bus_message* m, const std::vector<std::string>& uuids, bool allowDuplicates) {
    int r = sd_bus_message_open_container(m, 'a', "{sv}");
    if (r >= 0) r = sd_bus_message_open_container(m, 'e', "sv");
    if (r >= 0) r = sd_bus_message_append(m, "s", "UUIDs");
    if (r >= 0) r = sd_bus_message_open_container(m, 'v', "as");
    if (r >= 0) r = sd_bus_message_open_container(m, 'a', "s");
    for (auto u = uuids.begin(); u != uuids.end() && r >= 0; ++u) r = sd_bus_message_append(m, "s", u->c_str());
    // The array, the variant, the entry.
    for (int open = 3; open > 0 && r >= 0; --open) r = sd_bus_message_close_container(m);
    if (r >= 0)
        r = sd_bus_message_append(m, "{sv}{sv}", "Transport", "s", "le", "DuplicateData", "b", allowDuplicates ? 1 : 0);
    if (r >= 0) r = sd_bus_message_close_container(m);
    return r;
}

std::string parentOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

std::string nameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

}  // namespace

BluezCentral::BluezCentral(ble::CentralDelegate& delegate, loop::MainQueue& queue, loop::MainLoop& loop,
                           const ble::CentralOptions& options, BluezOptions bluezOptions)
    : delegate_(delegate),
      queue_(queue),
      loop_(loop),
      diagnostics_(options.diagnostics),
      options_(std::move(bluezOptions)),
      bus_(loop, [this] { onBusLost(); }) {
    if (!options_.pairingCapability.empty())
        agent_ = std::make_unique<PairingAgent>(*this, bus_, options_.pairingCapability);
    if (bus_.connected())
        followBluez();
    else
        retryBus(bounds::busRetryFirst);
}

void BluezCentral::followBluez() {
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
        [](sd_bus_message* m) { return sd_bus_message_append(m, "s", names::service); }, bounds::quickCall,
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

void BluezCentral::retryBus(std::chrono::milliseconds wait) {
    say([&] {
        return "no system bus (" + std::string(std::strerror(-bus_.error())) + "), connecting again in " +
               std::to_string(wait.count()) + " ms";
    });
    update();
    timers_.after(wait, [this, next = std::min(wait * 2, bounds::busRetryLast)] {
        if (!bus_.open()) return retryBus(next);
        say([] { return std::string("connected to the system bus"); });
        followBluez();
    });
}

BluezCentral::~BluezCentral() {
    *alive_ = false;
    // The bridge may hold peripherals a little longer: their streams must not call in here.
    bool closed = false;
    for (const auto& [path, p] : peripherals_) closed |= p->centralGone();
    // bluetoothd 5.66 has been seen to die when a client leaves the bus with acquired notification
    // sockets still open: it frees the client, then handles the socket's hang-up. It takes the
    // hang-ups first when it has answered a call sent after them.
    if (closed && !owner_.empty()) bus_.roundTrip(owner_, bounds::exitRoundTrip);
}

void BluezCentral::deliver(loop::Task task) {
    queue_.post([alive = std::weak_ptr<bool>(alive_), task = std::move(task)] {
        if (!alive.expired()) task();
    });
}

loop::Timer BluezCentral::after(loop::Duration delay, loop::Task task) {
    return queue_.postAfter(delay, std::move(task));
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
    if (*newOwner && owner_ != newOwner) {
        setOwner(newOwner);
        // A bluetoothd that starts now registers its adapters, then powers them, after taking
        // its name: until then it is still the one that is not there.
        bluezStarting_ = queue_.postAfter(bounds::bluezStart, [this] { update(); });
        bluezStartingLongest_ = queue_.postAfter(bounds::bluezStartLongest, [] {});
    }
    update();
}

void BluezCentral::setOwner(const std::string& owner) {
    owner_ = owner;
    if (agent_) agent_->registerWith(owner_);
    treeLoaded_ = false;
    accessDenied_ = false;
    loadObjects(++ownerEpoch_, bounds::objectsRetryFirst);
}

void BluezCentral::loadObjects(std::uint64_t epoch, std::chrono::milliseconds retryAfter) {
    callBluez("/", names::objectManager, "GetManagedObjects", {}, bounds::quickCall,
              [this, epoch, retryAfter](const Reply& reply) {
                  if (epoch != ownerEpoch_) return;
                  accessDenied_ = reply.error && *reply.error == accessDenied;
                  const bool loaded = !reply.error && tree_.readAll(reply.message);
                  if (!loaded) tree_.clear();
                  treeLoaded_ = true;
                  objectsRead_ = loaded;
                  bluezLost_ = false;
                  // A bluetoothd still starting, or busy, answers later: ask again while it owns
                  // its name, less and less often. A refusal by policy stays as it is.
                  if (!loaded && !accessDenied_) {
                      say([&] {
                          return "GetManagedObjects failed (" + reply.error.value_or("bad reply") +
                                 "), asking again in " + std::to_string(retryAfter.count()) + " ms";
                      });
                      const auto next = std::min(retryAfter * 2, bounds::objectsRetryLast);
                      timers_.after(retryAfter, [this, epoch, next] {
                          if (epoch == ownerEpoch_) loadObjects(epoch, next);
                      });
                  }
                  update();
              });
}

void BluezCentral::forgetBluez() {
    owner_.clear();
    ++ownerEpoch_;
    treeLoaded_ = false;
    objectsRead_ = false;
    tree_.clear();
    discoveryActive_ = false;
    adapterPath_.clear();
    adapterPowered_ = false;
    bluezStarting_.cancel();
    bluezStartingLongest_.cancel();
    powerOffHeld_.cancel();
    powerOffHeldLongest_.cancel();
    if (agent_) agent_->bluezGone();
}

void BluezCentral::loseBluez() {
    forgetBluez();
    bluezLost_ = true;
    endAll("bluetoothd is gone", false);
}

void BluezCentral::onBusLost() {
    // On the next bus, bluetoothd is looked for afresh.
    forgetBluez();
    ownerKnown_ = false;
    bluezLost_ = false;
    endAll("the system bus is gone", false);
    retryBus(bounds::busRetryFirst);
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
        holdOn(bluezStarting_, bluezStartingLongest_, bounds::bluezStart);
        const std::string path = tree_.readAdded(m);
        if (tree_.find(path, names::device))
            reportIfAdvertising(path);
        else if (auto p = peripheralAbove(path))
            p->checkGatt();
    } else if (member == "InterfacesRemoved") {
        holdOn(powerOffHeld_, powerOffHeldLongest_, bounds::powerOffHeld);
        std::vector<std::string> interfaces;
        const std::string path = tree_.readRemoved(m, interfaces);
        if (has(interfaces, names::device))
            deviceRemoved(path);
        else if (auto p = peripheralAbove(path))
            p->onObjectRemoved(path);
    }
    update();
}

void BluezCentral::deviceRemoved(const std::string& devicePath) {
    auto it = peripherals_.find(devicePath);
    if (it == peripherals_.end()) return;
    it->second->end(ble::Error{"the device was removed"}, false);
    // Forgotten once the bridge has had the news of its end and let go of it, unless the
    // device came back meanwhile.
    deliver([this, devicePath] {
        auto it = peripherals_.find(devicePath);
        if (it != peripherals_.end() && !tree_.find(devicePath, names::device) &&
            it->second->state() == ble::PeripheralState::disconnected)
            peripherals_.erase(it);
    });
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
        if (has(changed, "Connected")) clearCacheIfDisconnected(path);
        // Only values received: bluetoothd invalidates RSSI when it stops discovering or
        // powers down, which is no advertisement.
        const bool advertised = device && std::any_of(changed.begin(), changed.end(), [&](const std::string& name) {
                                    return isAdvertisement(name) && device->count(name);
                                });
        if (advertised) reportIfAdvertising(path);
    } else if (interface == names::gattCharacteristic) {
        if (auto p = peripheralAbove(path)) {
            if (has(changed, "Value")) p->onValue(path, tree_.takeBytes(path, names::gattCharacteristic, "Value"));
            const Properties* c = tree_.find(path, names::gattCharacteristic);
            if (has(changed, "Notifying")) p->onNotifying(path, flag(c, "Notifying"));
            if (has(changed, "MTU")) p->onMtu(path, number(c, "MTU", 0));
        }
    } else if (interface == names::adapter) {
        // Only the adapter's own changes move the state: notifications stay cheap.
        update();
    }
}

std::shared_ptr<BluezPeripheral> BluezCentral::peripheralAbove(std::string_view path) const {
    // A few lookups up the path, whatever the number of devices.
    for (auto slash = path.rfind('/'); slash != std::string_view::npos && slash > 0; slash = path.rfind('/')) {
        path = path.substr(0, slash);
        auto it = peripherals_.find(path);
        if (it != peripherals_.end()) return it->second;
    }
    return nullptr;
}

// ---- adapter, state and scanning ------------------------------------------------------------

void BluezCentral::update() {
    const std::string chosen = treeLoaded_ ? chooseAdapterPath() : std::string();
    if (chosen != adapterPath_) {
        // Nothing of ours is left behind on the adapter we leave: no discovery, no link.
        if (!adapterPath_.empty()) leaveAdapter("the adapter changed");
        adapterPath_ = chosen;
        adapterPowered_ = false;
        if (!chosen.empty())
            say([&] {
                return "adapter " + nameOf(chosen) + " (" + text(tree_.find(chosen, names::adapter), "Address") +
                       ") chosen";
            });
    }
    const std::size_t poweredNow = poweredAdapters();
    const bool anotherWentOff = poweredNow < poweredSeen_;
    poweredSeen_ = poweredNow;
    const bool powered = adapterReady();
    if (adapterPowered_ && !powered) {
        // bluetoothd drops its discovery clients with the power, and no link survives it.
        discoveryActive_ = false;
        endAll("the adapter was powered off", false);
        // A bluetoothd told to stop powers its adapters off first, then removes them and leaves:
        // its leaving, not the power or the adapter's absence, is what the state says then.
        powerOffHeld_ = queue_.postAfter(bounds::powerOffHeld, [this] { update(); });
        powerOffHeldLongest_ = queue_.postAfter(bounds::powerOffHeldLongest, [] {});
    } else if (powered && powerOffHeld_.pending()) {
        // Back before the loss was told: told now, so that no power cycle goes unreported.
        powerOffHeld_.cancel();
        powerOffHeldLongest_.cancel();
        post({ble::ManagerState::poweredOff, {}});
    } else if (anotherWentOff) {
        holdOn(powerOffHeld_, powerOffHeldLongest_, bounds::powerOffHeld);
    }
    adapterPowered_ = powered;
    if (powered && scanning_ && !discoveryActive_) startDiscovery();

    if (const auto state = currentState()) post(*state);
}

void BluezCentral::post(const Reported& state) {
    if (state == lastPosted_) return;
    lastPosted_ = state;
    say([&] { return explain(state); });
    // state() changes with the callback, so each callback reads the state it reports.
    deliver([this, s = state] {
        state_ = s;
        delegate_.centralDidUpdateState();
    });
}

std::size_t BluezCentral::poweredAdapters() const {
    const auto adapters = tree_.children("/org/bluez", names::adapter);
    return static_cast<std::size_t>(
        std::count_if(adapters.begin(), adapters.end(), [](const auto& a) { return flag(a.second, "Powered"); }));
}

void BluezCentral::holdOn(loop::Timer& hold, const loop::Timer& longest, std::chrono::milliseconds wait) {
    if (hold.pending() && longest.pending()) hold = queue_.postAfter(wait, [this] { update(); });
}

std::string BluezCentral::chooseAdapterPath() const {
    std::vector<AdapterSeen> adapters;
    for (const auto& [path, props] : tree_.children("/org/bluez", names::adapter))
        adapters.push_back({path, text(props, "Address"), flag(props, "Powered")});
    return chooseAdapter(adapters, adapterPath_, options_.adapter);
}

void BluezCentral::leaveAdapter(const char* why) {
    stopDiscovery();
    endAll(why, true);
}

bool BluezCentral::blocked() {
    const Properties* adapter = tree_.find(adapterPath_, names::adapter);
    // PowerState says it where bluetoothd shows it: an experimental property, which 5.66 shows
    // only when started with -E.
    if (adapter && adapter->count("PowerState")) return text(adapter, "PowerState") == "off-blocked";
    // Else the kernel says it. An unblock that bluetoothd does not follow with power comes
    // with no signal: look again while the adapter is off.
    rfkillCheck_ = queue_.postAfter(bounds::rfkillCheck, [this] { update(); });
    return rfkillBlocks(options_.sysClassBluetooth, nameOf(adapterPath_));
}

bool BluezCentral::adapterReady() const {
    const Properties* adapter = tree_.find(adapterPath_, names::adapter);
    // PowerState says "off-disabling" while Powered is still true.
    const std::string powerState = text(adapter, "PowerState");
    return flag(adapter, "Powered") && (powerState.empty() || powerState == "on");
}

std::optional<BluezCentral::Reported> BluezCentral::currentState() {
    using namespace ble::ManagerState;
    if (!bus_.connected())
        return bus_.error() == -EACCES || bus_.error() == -EPERM ? Reported{unauthorized, reasons::accessDenied}
                                                                  : Reported{unsupported, reasons::noBus};
    // Gone, or still starting again: not there either way, until its adapter is ready.
    if ((bluezLost_ && !treeLoaded_) || (bluezStarting_.pending() && !adapterPowered_))
        return Reported{unsupported, reasons::noBluetoothd};
    if (!ownerKnown_) return std::nullopt;
    if (owner_.empty()) return Reported{unsupported, reasons::noBluetoothd};
    if (!treeLoaded_) return std::nullopt;
    if (accessDenied_) return Reported{unauthorized, reasons::accessDenied};
    if (adapterPowered_) return Reported{poweredOn, {}};
    if (!adapterPath_.empty() && blocked()) return Reported{poweredOff, reasons::blocked};
    // Soon after a power loss: perhaps bluetoothd stopping, told once it is clear.
    if (powerOffHeld_.pending()) return std::nullopt;
    // Without its objects, bluetoothd's adapters are unknown: no reason is given.
    if (adapterPath_.empty())
        return Reported{unsupported, !objectsRead_          ? std::string_view()
                                     : options_.adapter.empty() ? reasons::noAdapter
                                                                : reasons::adapterMissing};
    return Reported{poweredOff, {}};
}

std::string BluezCentral::explain(const Reported& state) const {
    const std::string adapter = "adapter " + nameOf(adapterPath_);
    if (state.reason == reasons::noBus)
        return "the system bus is not there: is dbus-daemon running? In a container, mount the host's system "
               "bus socket (/run/dbus/system_bus_socket)";
    if (state.reason == reasons::accessDenied && !bus_.connected())
        return "the system bus refuses this user: run as a user allowed to connect to it";
    if (state.reason == reasons::accessDenied)
        return "bluetoothd's D-Bus policy refuses this user: run as root or join the group that it lets in (see "
               "/etc/dbus-1/system.d/bluetooth.conf or /usr/share/dbus-1/system.d/bluetooth.conf)";
    if (state.reason == reasons::noBluetoothd && bluezLost_)
        return "bluetoothd is gone: waiting for it to come back (systemctl status bluetooth tells why it went)";
    if (state.reason == reasons::noBluetoothd)
        return "bluetoothd is not running (nobody owns org.bluez): start it (systemctl start bluetooth)";
    if (state.reason == reasons::noAdapter)
        return "bluetoothd has no adapter: plug one in, and see bluetoothctl list";
    if (state.reason == reasons::adapterMissing) {
        std::string present;
        for (const auto& [path, props] : tree_.children("/org/bluez", names::adapter))
            present += (present.empty() ? "" : ", ") + nameOf(path) + " (" + text(props, "Address") + ")";
        return "adapter " + options_.adapter + " (--adapter) is absent; present: " +
               (present.empty() ? "none" : present);
    }
    if (state.reason == reasons::blocked)
        return adapter + " is blocked by rfkill: rfkill unblock bluetooth unblocks it";
    if (state.value == ble::ManagerState::poweredOff)
        return adapter + " is powered off: bluetoothctl power on turns it on";
    if (state.value == ble::ManagerState::unsupported) return "bluetoothd's objects could not be read";
    return adapter + " is powered on";
}

void BluezCentral::scanForPeripherals(const std::vector<codec::Uuid>& services, bool allowDuplicates) {
    scanning_ = true;
    scanServices_ = services;
    allowDuplicates_ = allowDuplicates;
    update();
}

void BluezCentral::stopScan() {
    scanning_ = false;
    stopDiscovery();
}

void BluezCentral::stopDiscovery() {
    if (!discoveryActive_) return;
    discoveryActive_ = false;
    callBluez(adapterPath_, names::adapter, "StopDiscovery", {}, bounds::quickCall, nullptr);
    // The filter is shared by every client of bluetoothd: leave none behind.
    callBluez(
        adapterPath_, names::adapter, "SetDiscoveryFilter",
        [](sd_bus_message* m) { return sd_bus_message_append(m, "a{sv}", 0); }, bounds::quickCall, nullptr);
}

void BluezCentral::startDiscovery() {
    discoveryActive_ = true;
    std::vector<std::string> uuids;
    for (const codec::Uuid& u : scanServices_) uuids.push_back(lowercaseText(u));
    callBluez(
        adapterPath_, names::adapter, "SetDiscoveryFilter",
        [&](sd_bus_message* m) { return appendDiscoveryFilter(m, uuids, allowDuplicates_); },
        bounds::quickCall, nullptr);
    const std::string adapter = adapterPath_;
    callBluez(adapter, names::adapter, "StartDiscovery", {}, bounds::quickCall,
              [this, adapter, epoch = ownerEpoch_](const Reply& reply) {
                  // InProgress: this client's discovery is already on.
                  if (!reply.error || *reply.error == "org.bluez.Error.InProgress") return;
                  if (epoch != ownerEpoch_ || adapter != adapterPath_ || !discoveryActive_) return;
                  // Refused (not ready, busy): ask again a little later, at a modest pace.
                  say([&] {
                      return "StartDiscovery on " + nameOf(adapter) + " refused (" + *reply.error + "), asking again";
                  });
                  discoveryActive_ = false;
                  timers_.after(bounds::discoveryRetry, [this] { update(); });
              });
    say([&] { return "discovery started on " + nameOf(adapter); });
    // Devices bluetoothd already knows are found too: they may not advertise anything new.
    for (const auto& [path, props] : tree_.children(adapterPath_, names::device)) reportIfAdvertising(path);
}

void BluezCentral::reportIfAdvertising(const std::string& devicePath) {
    // Only while our scan runs on a powered adapter: what a departing adapter still signals
    // is no discovery.
    if (!scanning_ || !discoveryActive_ || !adapterReady()) return;
    const Properties* device = tree_.find(devicePath, names::device);
    // The filter is shared with every other client of bluetoothd: check what it let through.
    if (!device || text(device, "Adapter") != adapterPath_) return;
    const auto advertised = texts(device, "UUIDs");
    const bool offers = std::any_of(advertised.begin(), advertised.end(), [&](const std::string& text) {
        const auto u = codec::Uuid::parse(text);
        return u && std::find(scanServices_.begin(), scanServices_.end(), *u) != scanServices_.end();
    });
    if (!offers) return;
    // After failed connections the device's discovery waits; it is reported when the wait ends.
    auto retry = retries_.find(devicePath);
    if (retry != retries_.end() && retry->second.hold.pending()) return;
    const bool known = peripherals_.count(devicePath) != 0;
    auto p = peripheralFor(devicePath);
    if (!p || p->state() != ble::PeripheralState::disconnected) return;
    if (!known) say([&] { return "found " + text(device, "Address") + " at " + devicePath; });
    deliver([this, p, advertisement = advertisementOf(device)] { delegate_.didDiscover(p, advertisement); });
}

ble::Advertisement BluezCentral::advertisementOf(const Properties* device) {
    ble::Advertisement advertisement;
    // Name is what the device itself said (its advertised or GAP name); Alias would fall back
    // to a made-up name, so it is not used.
    if (std::string name = text(device, "Name"); !name.empty()) advertisement.name = std::move(name);
    constexpr std::int64_t absent = std::numeric_limits<std::int64_t>::min();
    if (const std::int64_t rssi = number(device, "RSSI", absent); rssi != absent)
        advertisement.rssi = static_cast<int>(rssi);
    return advertisement;
}

std::shared_ptr<BluezPeripheral> BluezCentral::peripheralFor(const std::string& devicePath) {
    const std::string address = text(tree_.find(devicePath, names::device), "Address");
    const auto id = peerId(text(tree_.find(adapterPath_, names::adapter), "Address"), address);
    if (!id) return nullptr;
    auto& p = peripherals_[devicePath];
    // Same path, other addresses (another controller took the adapter's name): a new peer.
    if (!p || p->identifier() != *id) p = std::make_shared<BluezPeripheral>(*this, devicePath, *id, address);
    return p;
}

std::string BluezCentral::addressOf(const std::string& devicePath) const {
    const std::string address = text(tree_.find(devicePath, names::device), "Address");
    return address.empty() ? devicePath : address;
}

void BluezCentral::endAll(const char* why, bool disconnect) {
    for (const auto& [path, p] : peripherals_) {
        if (disconnect)
            p->disconnectAndEnd(why, false);
        else
            p->end(ble::Error{why}, false);
    }
}

// ---- reconnection back-off -----------------------------------------------------------------

void BluezCentral::connectionReady(const BluezPeripheral& p) { retries_.erase(p.path()); }

void BluezCentral::refusedForLimit() {
    if (std::exchange(limitSaid_, true)) return;
    say([&] {
        return "adapter " + nameOf(adapterPath_) +
               " refuses more connections: the controller holds all the links it can; the links it has are kept, "
               "the others are tried again at the back-off's pace";
    });
}

void BluezCentral::connectionEnded(const BluezPeripheral& p, bool failed, bool missingService) {
    // The end itself is the bridge's to say, once, with the reason its event gives.
    if (!failed) {
        // A link that ended leaves the controller room: a refusal after it is news.
        limitSaid_ = false;
        return;
    }
    Retry& retry = retries_[p.path()];
    ++retry.failures;
    // bluetoothd may hold a stale copy of the device's GATT database: once, let it read afresh.
    if (missingService && !retry.cacheCleared) retry.clearCache = true;
    clearCacheIfDisconnected(p.path());
    const auto delay = ble::reconnectDelay(retry.failures);
    say([&] {
        return "back-off: " + addressOf(p.path()) + " is not connected again for " + std::to_string(delay.count()) +
               " ms";
    });
    retry.hold = queue_.postAfter(delay, [this, path = p.path()] { release(path); });
}

void BluezCentral::release(const std::string& devicePath) {
    auto it = retries_.find(devicePath);
    if (it == retries_.end()) return;
    // A device that went away starts afresh when it returns, unless its cache was cleared:
    // that is done once per device.
    if (!tree_.find(devicePath, names::device)) {
        if (!it->second.cacheCleared) retries_.erase(it);
        return;
    }
    reportIfAdvertising(devicePath);
}

void BluezCentral::clearCacheIfDisconnected(const std::string& devicePath) {
    auto it = retries_.find(devicePath);
    if (it == retries_.end() || !it->second.clearCache) return;
    const Properties* device = tree_.find(devicePath, names::device);
    if (!device || flag(device, "Connected")) return;
    it->second.clearCache = false;
    // Removing a device also deletes its pairing: a paired or trusted device is left alone.
    if (flag(device, "Paired") || flag(device, "Bonded") || flag(device, "Trusted")) return;
    it->second.cacheCleared = true;
    say([&] { return "removing " + addressOf(devicePath) + " from bluetoothd: its GATT database lacks the service"; });
    callBluez(
        parentOf(devicePath), names::adapter, "RemoveDevice",
        [&devicePath](sd_bus_message* m) { return sd_bus_message_append(m, "o", devicePath.c_str()); }, bounds::quickCall,
        nullptr);
}

// ---- connections ------------------------------------------------------------------------------

void BluezCentral::queueConnect(const std::shared_ptr<BluezPeripheral>& p) {
    connectQueue_.emplace_back(p, p->connectionNumber());
    pumpConnects();
}

void BluezCentral::connectCallDone() {
    --connectCalls_;
    // After the task at hand, which may end many connections at once.
    deliver([this] { pumpConnects(); });
}

void BluezCentral::pumpConnects() {
    while (connectCalls_ < bounds::connectCalls && !connectQueue_.empty()) {
        auto [p, connection] = std::move(connectQueue_.front());
        connectQueue_.pop_front();
        // Ended or cancelled while it waited.
        if (!p->waitsForConnectCall(connection)) continue;
        ++connectCalls_;
        p->sendConnect();
    }
}

// ---- connections ------------------------------------------------------------------------------

void BluezCentral::connect(const ble::PeripheralPtr& p) { static_cast<BluezPeripheral&>(*p).connect(); }

void BluezCentral::cancelConnection(const ble::PeripheralPtr& p) { static_cast<BluezPeripheral&>(*p).cancel(); }

void BluezCentral::answerPairing(const ble::PeripheralPtr& p, const ble::PairingAnswer& answer) {
    if (agent_) agent_->answer(static_cast<BluezPeripheral&>(*p).path(), answer);
}

std::shared_ptr<BluezPeripheral> BluezCentral::heldPeripheral(std::string_view devicePath) const {
    const auto found = peripherals_.find(devicePath);
    if (found == peripherals_.end() || parentOf(found->first) != adapterPath_) return nullptr;
    return found->second;
}

ble::CentralFactory centralFactory(loop::MainQueue& queue, loop::MainLoop& loop, BluezOptions options) {
    return [&queue, &loop, options = std::move(options)](ble::CentralDelegate& delegate,
                                                        const ble::CentralOptions& central) {
        return std::make_unique<BluezCentral>(delegate, queue, loop, central, options);
    };
}

}  // namespace bluez
