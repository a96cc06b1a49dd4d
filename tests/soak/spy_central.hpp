#pragma once

// A BLE central that sits between the bridge and another central (the simulated stack) and
// tells an observer about every callback before the bridge sees it and every write the bridge
// asks for. The soak's invariants are checked against this trace, not against the bridge's code.

#include <cstddef>
#include <memory>
#include <optional>
#include <unordered_map>

#include "ble/central.hpp"

namespace soak {

class Observer {
public:
    virtual ~Observer() = default;
    virtual void stateUpdated(int state) = 0;
    virtual void connectionEnded(const codec::Uuid& id) = 0;
    virtual void valueUpdated(const codec::Uuid& id, const ble::CharacteristicPtr& c, std::span<const std::uint8_t> value,
                              bool error) = 0;
    // `limit` is the peripheral's write limit as the write is asked for.
    virtual void writeIssued(const codec::Uuid& id, const codec::Bytes& value, std::size_t limit) = 0;
    // `peripheralState` is the peripheral's state as the completion is delivered.
    virtual void writeDone(const codec::Uuid& id, bool error, int peripheralState) = 0;
    // Any other callback.
    virtual void otherCallback() = 0;
};

class SpyPeripheral;

// Must outlive the central it makes and every task of the backend that may still run.
class Spy {
public:
    explicit Spy(Observer& observer) : observer_(observer) {}
    Spy(const Spy&) = delete;
    Spy& operator=(const Spy&) = delete;
    ~Spy();

    // The bridge gets a central whose peripherals are stand-ins for the backend's, one per
    // backend peripheral, so identity comparisons keep working.
    ble::CentralFactory wrap(ble::CentralFactory inner);

    // The current write limit of a peripheral the bridge has been told about.
    std::optional<std::size_t> writeLimit(const codec::Uuid& id) const;

    Observer& observer() { return observer_; }
    ble::PeripheralPtr standIn(const ble::PeripheralPtr& real);

private:
    Observer& observer_;
    std::unordered_map<ble::Peripheral*, std::shared_ptr<SpyPeripheral>> byReal_;
};

}  // namespace soak
