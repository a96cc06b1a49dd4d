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
#include <string_view>
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

// A write of a scripted connection: its answer `after` the request, and what the peripheral
// notifies after that answer, each `after` it (negative: before the answer, not before the request).
struct ScriptedWrite {
    bool fails = false;
    Ms after{0};
    std::vector<Notification> notify = {};
};

// The peripheral ends a scripted connection `after` its `afterWrites`-th write was answered (or,
// for 0, after the connection was made).
struct Drop {
    std::uint64_t afterWrites = 0;
    Ms after{0};
};

// What one connection attempt meets, in place of the peripheral's own behaviour: as a recorded
// session went.
struct ConnectionScript {
    bool fails = false;
    Delays delays = {};
    bool discoverServicesFails = false;
    bool discoverCharacteristicsFails = false;
    bool subscribeFails = false;
    // The connection's writes in order.
    std::vector<ScriptedWrite> writes = {};
    // Notifications that follow no write, `after` the outbox first notified.
    std::vector<Notification> notifications = {};
    std::optional<Drop> drop = {};
    // After the connection ends or fails, the peripheral advertises again this much later.
    std::optional<Ms> readvertiseAfter = {};
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
    // When not empty, the n-th connection attempt goes as the n-th script says, and the
    // behaviour above (from connectFails to echo) does not apply; an attempt past the last
    // script fails at once.
    std::vector<ConnectionScript> connections;
};

// The adapter states a world file names, by number (ble::ManagerState).
inline constexpr std::string_view adapterStateNames[] = {"unknown",      "resetting",   "unsupported",
                                                         "unauthorized", "powered_off", "powered_on"};

// The reasons an adapter step may give, as the protocol 2 "state" event reports them.
inline constexpr std::string_view adapterReasons[] = {"no_bus",          "no_bluetoothd", "no_adapter",
                                                      "adapter_missing", "access_denied", "blocked"};

struct WorldSpec {
    std::vector<AdapterStep> adapter{AdapterStep{}};
    std::vector<PeripheralSpec> peripherals;
};

}  // namespace sim
