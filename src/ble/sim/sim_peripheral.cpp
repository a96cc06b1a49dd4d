#include "ble/sim/sim_peripheral.hpp"

#include <algorithm>

#include "ble/sim/sim_world.hpp"
#include "ble/gatt_profile.hpp"

namespace sim {

namespace {

// Before the first write-limit step: what the smallest ATT MTU (23) leaves for a value.
constexpr std::size_t initialWriteLimit = 20;

}  // namespace

SimPeripheral::SimPeripheral(SimWorld& world, PeripheralSpec description)
    : world_(world), spec_(std::move(description)), writeLimit_(initialWriteLimit) {
    for (int i = 0; i < spec_.serviceCount; ++i) {
        std::vector<std::shared_ptr<SimCharacteristic>> characteristics;
        if (spec_.inbox) characteristics.push_back(std::make_shared<SimCharacteristic>(spec_.profile.inbox, i));
        if (spec_.outbox) characteristics.push_back(std::make_shared<SimCharacteristic>(spec_.profile.outbox, i));
        services_.push_back(std::make_shared<SimService>(spec_.profile.service, i, std::move(characteristics)));
    }
    for (const WriteLimitStep& step : spec_.writeLimit)
        if (step.at <= Ms{0}) writeLimit_ = step.limit;
    for (const RssiStep& step : spec_.rssi)
        if (step.at <= Ms{0}) rssi_ = step.dbm;
}

ble::Advertisement SimPeripheral::advertisement() const { return {.name = spec_.name, .rssi = rssi_}; }

void SimPeripheral::start() {
    for (const WriteLimitStep& step : spec_.writeLimit)
        if (step.at > Ms{0}) world_.schedule(step.at, [this, limit = step.limit] { writeLimit_ = limit; });
    // A disconnected peripheral already seen advertising is reported again with its new strength.
    for (const RssiStep& step : spec_.rssi)
        if (step.at > Ms{0})
            world_.schedule(step.at, [this, dbm = step.dbm, seen = step.at >= spec_.advertiseAt] {
                rssi_ = dbm;
                if (seen && state_ == ble::PeripheralState::disconnected) advertise();
            });
    for (const Ms at : spec_.disconnectAt)
        world_.schedule(at, [this] {
            if (state_ == ble::PeripheralState::connected) lose("the peripheral dropped the connection");
        });
    if (spec_.advertiseAt <= Ms{0})
        advertise();
    else
        world_.schedule(spec_.advertiseAt, [this] { advertise(); });
}

void SimPeripheral::advertise() {
    advertising_ = true;
    world_.offerDiscovery(*this);
}

// Connections.

void SimPeripheral::connect() {
    if (state_ != ble::PeripheralState::disconnected) return;
    state_ = ble::PeripheralState::connecting;
    ++connection_;
    if (scripted()) {
        const std::size_t attempt = connectionAttempts_++;
        script_ = attempt < spec_.connections.size() ? &spec_.connections[attempt] : nullptr;
        scriptedWritesIssued_ = 0;
        if (!script_)
            depart(saidExtraConnection_, "connection attempt " + std::to_string(attempt + 1) +
                                             " goes past the script; it and any later one fail");
    }
    world_.schedule(delays().connect, [this, c = connection_] { finishConnect(c); });
}

void SimPeripheral::depart(bool& said, const std::string& what) {
    if (said) return;
    said = true;
    world_.depart("peer " + spec_.id.text() + ": " + what);
}

void SimPeripheral::scheduleDrop(Ms after) {
    world_.schedule(after, [this, c = connection_] {
        if (c == connection_) lose("the peripheral dropped the connection");
    });
}

void SimPeripheral::finishConnect(std::uint32_t connection) {
    if (connection != connection_) return;
    const bool fails = scripted() ? !script_ || script_->fails : spec_.connectFails;
    if (fails || !world_.poweredOn()) {
        end(ble::Error{"the connection failed"});
        return;
    }
    state_ = ble::PeripheralState::connected;
    connectReported_ = true;
    if (script_ && script_->drop && script_->drop->afterWrites == 0) scheduleDrop(script_->drop->after);
    if (auto* central = world_.central()) central->didConnect(shared_from_this());
}

void SimPeripheral::cancelConnection() {
    if (state_ != ble::PeripheralState::connecting && state_ != ble::PeripheralState::connected) return;
    state_ = ble::PeripheralState::disconnecting;
    ++connection_;
    world_.schedule(delays().disconnect, [this, c = connection_] {
        if (c == connection_) end(std::nullopt);
    });
}

void SimPeripheral::lose(const char* why) {
    if (state_ != ble::PeripheralState::connecting && state_ != ble::PeripheralState::connected) return;
    world_.queue().post([this, c = connection_, why] {
        if (c == connection_) end(ble::Error{why});
    });
}

void SimPeripheral::end(std::optional<ble::Error> error) {
    const bool wasConnected = connectReported_;
    ++connection_;
    state_ = ble::PeripheralState::disconnected;
    connectReported_ = false;
    notificationsStarted_ = false;
    discovered_.reset();
    failedInARow_ = 0;
    completedWrites_ = 0;
    for (const auto& s : services_) s->forget();
    const std::optional<Ms> readvertise = scripted() ? (script_ ? script_->readvertiseAfter : std::nullopt)
                                                      : spec_.readvertiseAfter;
    if (readvertise) world_.schedule(*readvertise, [this] { advertise(); });

    auto* central = world_.central();
    if (!central) return;
    if (wasConnected)
        central->didDisconnect(shared_from_this(), error);
    else
        central->didFailToConnect(shared_from_this(), error);
}

// Discovery and subscription.

void SimPeripheral::discoverServices(const std::vector<codec::Uuid>& services) {
    if (world_.recording())
        world_.record({.kind = Request::Kind::discoverServices, .peripheral = spec_.id, .uuids = services});
    if (state_ != ble::PeripheralState::connected) return;
    world_.schedule(delays().discoverServices, [this, c = connection_, services] {
        if (c != connection_) return;
        std::optional<ble::Error> error;
        if (script_ ? script_->discoverServicesFails : spec_.discoverServicesFails) {
            error = ble::Error{"service discovery failed"};
        } else {
            if (!discovered_) discovered_.emplace();
            const bool asked = services.empty() ||
                               std::find(services.begin(), services.end(), spec_.profile.service) != services.end();
            if (asked && discovered_->empty()) discovered_->assign(services_.begin(), services_.end());
        }
        if (delegate_) delegate_->didDiscoverServices(shared_from_this(), error);
    });
}

void SimPeripheral::discoverCharacteristics(const std::vector<codec::Uuid>& characteristics,
                                            const ble::ServicePtr& service) {
    std::shared_ptr<SimService> s = findService(service);
    if (world_.recording())
        world_.record({.kind = Request::Kind::discoverCharacteristics,
                       .peripheral = spec_.id,
                       .uuids = characteristics,
                       .serviceInstance = s ? s->instance() : -1});
    if (state_ != ble::PeripheralState::connected) return;
    world_.schedule(delays().discoverCharacteristics, [this, c = connection_, characteristics, s, service] {
        if (c != connection_) return;
        std::optional<ble::Error> error;
        if ((script_ ? script_->discoverCharacteristicsFails : spec_.discoverCharacteristicsFails) || !s) {
            error = ble::Error{"characteristic discovery failed"};
        } else {
            s->discover(characteristics);
            if (spec_.outboxNotifying) {
                for (const auto& ch : s->all())
                    if (ch->uuid() == spec_.profile.outbox && s->isDiscovered(*ch)) ch->setNotifying(true);
                startNotifications();
            }
        }
        if (delegate_) delegate_->didDiscoverCharacteristics(shared_from_this(), service, error);
    });
}

void SimPeripheral::setNotifyValue(bool enabled, const ble::CharacteristicPtr& c) {
    std::shared_ptr<SimCharacteristic> ch = findCharacteristic(c);
    if (world_.recording())
        world_.record({.kind = Request::Kind::setNotifyValue,
                       .peripheral = spec_.id,
                       .serviceInstance = ch ? ch->serviceInstance() : -1,
                       .characteristic = c->uuid(),
                       .flag = enabled});
    if (state_ != ble::PeripheralState::connected) return;
    world_.schedule(delays().subscribe, [this, connection = connection_, ch, c, enabled] {
        if (connection != connection_) return;
        std::optional<ble::Error> error;
        if ((script_ ? script_->subscribeFails : spec_.subscribeFails) || !ch || ch->uuid() != spec_.profile.outbox) {
            error = ble::Error{"the characteristic cannot notify"};
        } else {
            ch->setNotifying(enabled);
            if (enabled) startNotifications();
        }
        if (delegate_) delegate_->didUpdateNotificationState(shared_from_this(), c, error);
    });
}

void SimPeripheral::startNotifications() {
    if (notificationsStarted_) return;
    notificationsStarted_ = true;
    for (const Notification& n : script_ ? script_->notifications : spec_.notifications)
        scheduleNotification(n, n.after);
}

void SimPeripheral::scheduleNotification(const Notification& n, Ms after) {
    // The description outlives every task of the world.
    world_.schedule(after, [this, c = connection_, &n] {
        if (c != connection_) return;
        codec::Bytes value = n.value;
        notifyOutbox(value);
    });
}

// Writes and notifications.

void SimPeripheral::writeValue(const codec::Bytes& value, const ble::CharacteristicPtr& c) {
    std::shared_ptr<SimCharacteristic> ch = findCharacteristic(c);
    if (world_.recording())
        world_.record({.kind = Request::Kind::write,
                       .peripheral = spec_.id,
                       .serviceInstance = ch ? ch->serviceInstance() : -1,
                       .characteristic = c->uuid(),
                       .bytes = value});
    if (state_ != ble::PeripheralState::connected) return;
    PendingWrite& w = writes_.emplace_back(PendingWrite{++nextWriteNumber_, std::move(ch), false, {}});
    Ms delay = delays().write;
    if (scripted()) {
        const std::size_t index = scriptedWritesIssued_++;
        if (script_ && index < script_->writes.size()) {
            w.scripted = &script_->writes[index];
            delay = w.scripted->after;
            // Those before the answer (negative "after") are timed from the request.
            for (const Notification& n : w.scripted->notify)
                if (n.after < Ms{0}) scheduleNotification(n, delay + n.after);
        } else {
            depart(saidExtraWrite_, "write " + std::to_string(index + 1) +
                                        " of a connection goes past the script; it and any later one succeed "
                                        "at once with no notification");
            delay = Ms{0};
        }
    }
    w.fails = decideWriteFails(w.characteristic.get(), value.size()) || (w.scripted && w.scripted->fails);
    if (spec_.echo && !scripted() && !w.fails) {
        w.value = spareBuffer();
        w.value.assign(value.begin(), value.end());
    }
    world_.schedule(delay, [this, c = connection_, n = w.number] { finishWrite(c, n); });
}

bool SimPeripheral::decideWriteFails(const SimCharacteristic* c, std::size_t size) {
    const std::uint64_t n = ++writesIssued_;
    const bool byPattern = !scripted() && (spec_.writeFailures.all || failedInARow_ < spec_.writeFailures.firstAttemptsOfEachFrame ||
                           std::find(spec_.writeFailures.nth.begin(), spec_.writeFailures.nth.end(), n) !=
                               spec_.writeFailures.nth.end());
    const bool fails = byPattern || failNextWrite_ || !c || c->uuid() != spec_.profile.inbox || size > writeLimit_;
    failNextWrite_ = false;
    failedInARow_ = fails ? failedInARow_ + 1 : 0;
    return fails;
}

void SimPeripheral::finishWrite(std::uint32_t connection, std::uint32_t number) {
    // Timers due at the same instant may run in any order on the production loop.
    auto it = std::find_if(writes_.begin(), writes_.end(), [&](const PendingWrite& p) { return p.number == number; });
    PendingWrite w = std::move(*it);
    writes_.erase(it);
    if (connection != connection_) {
        recycle(std::move(w.value));
        return;
    }
    ++completedWrites_;
    if (delegate_)
        delegate_->didWriteValue(shared_from_this(), w.characteristic,
                                 w.fails ? std::optional<ble::Error>(ble::Error{"the write failed"}) : std::nullopt);
    // The delegate may have ended the connection meanwhile.
    if (connection != connection_) {
        recycle(std::move(w.value));
        return;
    }
    if (w.scripted)
        for (const Notification& n : w.scripted->notify)
            if (n.after >= Ms{0}) scheduleNotification(n, n.after);
    if (script_ && script_->drop && script_->drop->afterWrites == completedWrites_) scheduleDrop(script_->drop->after);
    if (spec_.echo && !scripted() && !w.fails) {
        outgoing_.push_back(std::move(w.value));
        world_.queue().post([this, c = connection_] { deliverNext(c); });
    } else {
        recycle(std::move(w.value));
    }
    if (!scripted() && spec_.disconnectAfterWrites && completedWrites_ == *spec_.disconnectAfterWrites)
        lose("the peripheral dropped the connection");
}

void SimPeripheral::notify(codec::Bytes value) {
    outgoing_.push_back(std::move(value));
    world_.queue().post([this, c = connection_] { deliverNext(c); });
}

void SimPeripheral::deliverNext(std::uint32_t connection) {
    codec::Bytes value = std::move(outgoing_.front());
    outgoing_.pop_front();
    if (connection == connection_) notifyOutbox(value);
    recycle(std::move(value));
}

void SimPeripheral::notifyOutbox(codec::Bytes& value) {
    if (state_ != ble::PeripheralState::connected) return;
    for (const auto& s : services_)
        for (const auto& ch : s->all())
            if (ch->uuid() == spec_.profile.outbox && ch->isNotifying()) {
                if (delegate_) delegate_->didUpdateValue(shared_from_this(), ch, value, std::nullopt);
                return;
            }
}

std::shared_ptr<SimService> SimPeripheral::findService(const ble::ServicePtr& service) const {
    for (const auto& s : services_)
        if (s == service) return s;
    return nullptr;
}

std::shared_ptr<SimCharacteristic> SimPeripheral::findCharacteristic(const ble::CharacteristicPtr& c) const {
    for (const auto& s : services_)
        for (const auto& ch : s->all())
            if (ch == c) return ch;
    return nullptr;
}

codec::Bytes SimPeripheral::spareBuffer() {
    if (spare_.empty()) return {};
    codec::Bytes b = std::move(spare_.back());
    spare_.pop_back();
    return b;
}

void SimPeripheral::recycle(codec::Bytes&& buffer) {
    if (buffer.capacity() == 0) return;
    buffer.clear();
    spare_.push_back(std::move(buffer));
}

}  // namespace sim
