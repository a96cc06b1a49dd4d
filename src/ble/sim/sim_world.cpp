#include "ble/sim/sim_world.hpp"

#include <algorithm>
#include <cstdlib>

#include "ble/sim/sim_peripheral.hpp"
#include "ble/gatt_profile.hpp"

namespace sim {

// The bridge's central manager: a view of the world's adapter.
class SimWorld::Central final : public ble::CentralManager {
public:
    Central(SimWorld& world, ble::CentralDelegate& delegate) : world_(world) { world_.central_ = &delegate; }
    ~Central() override {
        world_.central_ = nullptr;
        for (const auto& p : world_.peripherals_) p->detach();
    }

    int state() const override { return world_.state_; }
    std::string_view stateReason() const override { return world_.reason_; }
    bool isScanning() const override { return world_.scanning_; }
    void scanForPeripherals(const std::vector<codec::Uuid>& services, bool allowDuplicates) override {
        world_.scan(services, allowDuplicates);
    }
    void stopScan() override { world_.stopScan(); }
    void connect(const ble::PeripheralPtr& p) override {
        if (world_.recording_) world_.record({.kind = Request::Kind::connect, .peripheral = p->identifier()});
        world_.find(p->identifier()).connect();
    }
    void cancelConnection(const ble::PeripheralPtr& p) override {
        if (world_.recording_) world_.record({.kind = Request::Kind::cancelConnection, .peripheral = p->identifier()});
        world_.find(p->identifier()).cancelConnection();
    }

private:
    SimWorld& world_;
};

SimWorld::SimWorld(WorldSpec description, loop::MainQueue& queue) : adapter_(std::move(description.adapter)), queue_(queue) {
    peripherals_.reserve(description.peripherals.size());
    for (PeripheralSpec& p : description.peripherals) {
        peripherals_.push_back(std::make_shared<SimPeripheral>(*this, std::move(p)));
        byId_.emplace(peripherals_.back()->identifier(), peripherals_.back().get());
    }
    if (!adapter_.empty() && adapter_.front().at == Ms{0}) {
        state_ = adapter_.front().state;
        reason_ = adapter_.front().reason;
    }
}

SimWorld::~SimWorld() = default;

ble::CentralFactory SimWorld::centralFactory() {
    return [this](ble::CentralDelegate& delegate, const ble::CentralOptions&) -> std::unique_ptr<ble::CentralManager> {
        auto central = std::make_unique<Central>(*this, delegate);
        queue_.post([this] {
            if (central_) central_->centralDidUpdateState();
        });
        for (std::size_t i = 0; i < adapter_.size(); ++i) {
            if (i == 0 && adapter_[i].at == Ms{0}) continue;
            timers_.after(adapter_[i].at, [this, step = adapter_[i]] { changeState(step.state, step.reason); });
        }
        for (const auto& p : peripherals_) p->start();
        return central;
    };
}

void SimWorld::schedule(Ms delay, loop::Task task) {
    if (delay <= Ms{0})
        queue_.post(std::move(task));
    else
        timers_.after(delay, std::move(task));
}

SimPeripheral& SimWorld::find(const codec::Uuid& id) const {
    auto it = byId_.find(id);
    // Only the world's own peripherals reach the world: anything else is a broken test.
    if (it == byId_.end()) std::abort();
    return *it->second;
}

void SimWorld::changeState(int state, const std::string& reason) {
    if (state == state_ && reason == reason_) return;
    const bool wasOn = poweredOn();
    state_ = state;
    reason_ = reason;
    if (wasOn && !poweredOn()) {
        scanning_ = false;
        for (const auto& p : peripherals_) p->lose("the adapter is no longer powered on");
    }
    if (central_) central_->centralDidUpdateState();
}

void SimWorld::scan(const std::vector<codec::Uuid>& services, bool allowDuplicates) {
    if (recording_) record({.kind = Request::Kind::scan, .uuids = services, .flag = allowDuplicates});
    if (!poweredOn()) return;
    scanning_ = true;
    scannedServices_ = services;
    for (const auto& p : peripherals_)
        if (p->advertising()) offerDiscovery(*p);
}

void SimWorld::stopScan() {
    if (recording_) record({.kind = Request::Kind::stopScan});
    scanning_ = false;
}

bool SimWorld::scanSees(const SimPeripheral& p) const {
    const codec::Uuid& service = p.profile().service;
    return scanning_ && poweredOn() &&
           (scannedServices_.empty() ||
            std::find(scannedServices_.begin(), scannedServices_.end(), service) != scannedServices_.end());
}

void SimWorld::offerDiscovery(SimPeripheral& p) {
    if (scanSees(p)) queue_.post([this, &p] { deliverDiscovery(p); });
}

void SimWorld::deliverDiscovery(SimPeripheral& p) {
    // The scan may have stopped, or another report used the advertisement, since the post.
    if (!p.advertising() || !scanSees(p) || !central_) return;
    p.useAdvertisement();
    central_->didDiscover(p.shared_from_this(), p.advertisement());
}

void SimWorld::setAdapterState(int state) {
    queue_.post([this, state] { changeState(state, {}); });
}

void SimWorld::disconnect(const codec::Uuid& id) { find(id).lose("disconnected by the test"); }

void SimWorld::failNextWrite(const codec::Uuid& id) { find(id).failNextWrite(); }

void SimWorld::notify(const codec::Uuid& id, codec::Bytes value) { find(id).notify(std::move(value)); }

void SimWorld::setWriteLimit(const codec::Uuid& id, std::size_t limit) { find(id).setWriteLimit(limit); }

void SimWorld::advertise(const codec::Uuid& id) { find(id).advertise(); }

ble::PeripheralPtr SimWorld::peripheral(const codec::Uuid& id) const { return find(id).shared_from_this(); }

}  // namespace sim
