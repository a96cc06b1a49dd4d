#pragma once

// The GATT objects of a simulated peripheral. They are made once with the peripheral and live
// as long as it does; what a connection has discovered of them is forgotten when it ends.

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "ble/central.hpp"

namespace sim {

class SimCharacteristic final : public ble::Characteristic {
public:
    SimCharacteristic(codec::Uuid uuid, int serviceInstance) : uuid_(uuid), serviceInstance_(serviceInstance) {}

    codec::Uuid uuid() const override { return uuid_; }
    bool isNotifying() const override { return notifying_; }

    int serviceInstance() const { return serviceInstance_; }
    void setNotifying(bool on) { notifying_ = on; }
    void forget() { notifying_ = false; }

private:
    const codec::Uuid uuid_;
    const int serviceInstance_;
    bool notifying_ = false;
};

class SimService final : public ble::Service {
public:
    SimService(codec::Uuid uuid, int instance, std::vector<std::shared_ptr<SimCharacteristic>> characteristics)
        : uuid_(uuid), instance_(instance), all_(std::move(characteristics)) {}

    codec::Uuid uuid() const override { return uuid_; }
    std::optional<std::vector<ble::CharacteristicPtr>> characteristics() const override { return discovered_; }

    int instance() const { return instance_; }
    const std::vector<std::shared_ptr<SimCharacteristic>>& all() const { return all_; }
    // Those of `wanted` this service has (all of them when `wanted` is empty) become discovered.
    void discover(const std::vector<codec::Uuid>& wanted) {
        if (!discovered_) discovered_.emplace();
        for (const auto& c : all_) {
            const bool asked = wanted.empty() || std::find(wanted.begin(), wanted.end(), c->uuid()) != wanted.end();
            const bool known = std::find(discovered_->begin(), discovered_->end(), c) != discovered_->end();
            if (asked && !known) discovered_->push_back(c);
        }
    }
    bool isDiscovered(const SimCharacteristic& c) const {
        return discovered_ && std::any_of(discovered_->begin(), discovered_->end(),
                                          [&](const ble::CharacteristicPtr& d) { return d.get() == &c; });
    }
    void forget() {
        discovered_.reset();
        for (const auto& c : all_) c->forget();
    }

private:
    const codec::Uuid uuid_;
    const int instance_;
    const std::vector<std::shared_ptr<SimCharacteristic>> all_;
    std::optional<std::vector<ble::CharacteristicPtr>> discovered_;
};

}  // namespace sim
