#pragma once

// The description of a simulated world: an adapter and the peripherals within reach, with
// their GATT layout and their behaviour over time. Built in code by tests, or loaded from a
// world file by gattrelay-sim. Times are virtual: they run on the main queue's clock, counted
// from the moment the central manager is created.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ble/central.hpp"
#include "ble/gatt_profile.hpp"

namespace sim {

using Ms = std::chrono::milliseconds;

// The adapter is in `state` from `at` on, for `reason` (empty for none). The first step should
// be at 0.
struct AdapterStep {
    Ms at{0};
    int state = ble::ManagerState::poweredOn;
    std::string reason = {};
};

// The write limit (largest value of a write with response) is `limit` from `at` on.
struct WriteLimitStep {
    Ms at{0};
    std::size_t limit = 20;
};

// The signal strength of the peripheral's reports is `dbm` from `at` on.
struct RssiStep {
    Ms at{0};
    int dbm = 0;
};

// Which writes with response fail. A write fails if any rule says so.
struct WriteFailures {
    bool all = false;
    // The first N attempts of every frame fail: a write fails while fewer than N writes have
    // failed in a row on this connection.
    std::uint32_t firstAttemptsOfEachFrame = 0;
    // Writes counted from 1 over the peripheral's whole life.
    std::vector<std::uint64_t> nth;
};

// How long each operation takes before its callback is delivered.
struct Delays {
    Ms connect{0};
    Ms discoverServices{0};
    Ms discoverCharacteristics{0};
    Ms subscribe{0};
    Ms write{0};
    // From cancelConnection to the disconnection callback.
    Ms disconnect{0};
};

// A notification on the outbox, `after` the subscription of each connection succeeded.
struct Notification {
    Ms after{0};
    codec::Bytes value;
};

struct PeripheralSpec {
    codec::Uuid id;
    // First advertised at this time.
    Ms advertiseAt{0};
    // What its discovery reports say, where known; a change of signal strength while it is
    // disconnected is reported as a new advertisement.
    std::optional<std::string> name;
    std::vector<RssiStep> rssi;
    // The address the stack shows ("AA:BB:CC:DD:EE:FF").
    std::optional<std::string> address;

    // GATT layout: how many instances of the service (0, 1, 2...), each with these characteristics,
    // and their UUIDs. The peripheral advertises its service.
    ble::GattProfile profile = ble::defaultGattProfile;
    int serviceCount = 1;
    bool inbox = true;
    bool outbox = true;
    // The outbox already notifies when its characteristics are discovered.
    bool outboxNotifying = false;
    std::vector<WriteLimitStep> writeLimit{WriteLimitStep{}};

    // Behaviour.
    bool connectFails = false;
    bool discoverServicesFails = false;
    bool discoverCharacteristicsFails = false;
    bool subscribeFails = false;
    WriteFailures writeFailures;
    Delays delays;
    // The peripheral drops the connection at these world times (if connected then)...
    std::vector<Ms> disconnectAt;
    // ...or after this many completed writes on one connection.
    std::optional<std::uint64_t> disconnectAfterWrites;
    // After a connection ends or fails, the peripheral advertises again this much later.
    std::optional<Ms> readvertiseAfter;
    std::vector<Notification> notifications;
    // Every successfully written value comes back as a notification on the outbox.
    bool echo = false;
};

struct WorldSpec {
    std::vector<AdapterStep> adapter{AdapterStep{}};
    std::vector<PeripheralSpec> peripherals;
};

}  // namespace sim
