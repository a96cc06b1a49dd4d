#pragma once

// The BLE central interface the bridge is written against, and the promises every backend keeps.
//
// Notes for implementers:
//  1. Every delegate callback is delivered as a task on the MainQueue the backend was built
//     with, never from inside a call the bridge made (no re-entrancy) and never from another
//     thread. Calls into the backend are made on the main thread only and never block.
//  2. The first centralDidUpdateState comes as a task after construction, and again on every
//     change of state() (one callback per change).
//  3. An error is std::optional<Error>: absent on success, present on failure. The bridge tests
//     its presence, and names one cause (wantsPairing) to the client; backends map every failure
//     of their stack to it and never throw.
//  4. Each connect() ends in exactly one didConnect or didFailToConnect; each connection that was
//     reported by didConnect ends in exactly one didDisconnect (whoever ended it, including
//     cancelConnection and the adapter going away). After a peripheral's didFailToConnect or
//     didDisconnect, no callback of that connection is delivered any more (pending writes
//     and discoveries of a lost connection are dropped, not reported to the next one).
//  5. Each writeValue() is answered by exactly one didWriteValue, unless the connection ends
//     first (rule 4).
//  6. didUpdateValue carries the value of that one notification, valid for the call only:
//     queued notifications are never merged or lost. A backend copies a value at most once on
//     its way from the stack to the bridge (into the task that delivers it).
//  7. Peripheral::identifier() is stable for the life of the process.
//  8. maximumWriteValueLength() is the largest value a write with response may carry now; it may
//     change over time and the bridge reads it afresh each time.
//  9. Delegates are not owned: the bridge outlives the backend's use of them.
// 10. A backend that answers pairings asks the bridge with pairingRequested for peripherals it
//     reported, and bounds the wait: a request left unanswered is refused, and pairingEnded
//     says so (as it says a request the stack gave up). Other backends never ask.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ble/diagnostics.hpp"
#include "codec/bytes.hpp"
#include "codec/uuid.hpp"

namespace ble {

// The presence of an error is what matters to the bridge; the text is for people reading tests.
struct Error {
    std::string what;
    // The device refused, or never answered, because the link lacks the pairing (encryption,
    // authentication) it wants: set on a failed write, and on the end of a link that waited for one.
    bool wantsPairing = false;
};

// The adapter states as the bridge sees them. Backends may report other values too.
namespace ManagerState {
inline constexpr int unknown = 0;
inline constexpr int resetting = 1;
inline constexpr int unsupported = 2;
inline constexpr int unauthorized = 3;
inline constexpr int poweredOff = 4;
inline constexpr int poweredOn = 5;
}  // namespace ManagerState

namespace PeripheralState {
inline constexpr int disconnected = 0;
inline constexpr int connecting = 1;
inline constexpr int connected = 2;
inline constexpr int disconnecting = 3;
}  // namespace PeripheralState

// What one discovery report said of a peripheral, where the stack tells.
struct Advertisement {
    // The advertised local name or, where the stack gives none, the device's name.
    std::optional<std::string> name;
    // The signal strength of the report, in dBm.
    std::optional<int> rssi;
};

class Characteristic {
public:
    virtual ~Characteristic() = default;
    virtual codec::Uuid uuid() const = 0;
    virtual bool isNotifying() const = 0;
};
using CharacteristicPtr = std::shared_ptr<Characteristic>;

class Service {
public:
    virtual ~Service() = default;
    virtual codec::Uuid uuid() const = 0;
    // Absent until discovered.
    virtual std::optional<std::vector<CharacteristicPtr>> characteristics() const = 0;
};
using ServicePtr = std::shared_ptr<Service>;

class Peripheral;
using PeripheralPtr = std::shared_ptr<Peripheral>;

class PeripheralDelegate {
public:
    virtual ~PeripheralDelegate() = default;
    virtual void didDiscoverServices(const PeripheralPtr& p, const std::optional<Error>& error) = 0;
    virtual void didDiscoverCharacteristics(const PeripheralPtr& p, const ServicePtr& service,
                                            const std::optional<Error>& error) = 0;
    virtual void didUpdateNotificationState(const PeripheralPtr& p, const CharacteristicPtr& c,
                                            const std::optional<Error>& error) = 0;
    virtual void didUpdateValue(const PeripheralPtr& p, const CharacteristicPtr& c,
                                std::span<const std::uint8_t> value, const std::optional<Error>& error) = 0;
    virtual void didWriteValue(const PeripheralPtr& p, const CharacteristicPtr& c,
                               const std::optional<Error>& error) = 0;
};

class Peripheral {
public:
    virtual ~Peripheral() = default;
    virtual codec::Uuid identifier() const = 0;
    // PeripheralState values.
    virtual int state() const = 0;
    virtual void setDelegate(PeripheralDelegate* delegate) = 0;
    virtual void discoverServices(const std::vector<codec::Uuid>& services) = 0;
    // Absent until discovered.
    virtual std::optional<std::vector<ServicePtr>> services() const = 0;
    virtual void discoverCharacteristics(const std::vector<codec::Uuid>& characteristics,
                                         const ServicePtr& service) = 0;
    virtual void setNotifyValue(bool enabled, const CharacteristicPtr& c) = 0;
    // A write with response.
    virtual void writeValue(const codec::Bytes& value, const CharacteristicPtr& c) = 0;
    // For a write with response.
    virtual std::size_t maximumWriteValueLength() const = 0;
    // The device address ("AA:BB:CC:DD:EE:FF"), where the stack shows one.
    virtual std::optional<std::string> address() const { return std::nullopt; }
};

// A pairing the stack asks the bridge about: how the device wants it made.
struct PairingRequest {
    enum class Method : std::uint8_t {
        passkey,    // type the passkey the device shows
        confirm,    // confirm that the device shows `passkey` too
        authorize,  // accept a pairing that needs no passkey
        display,    // show `passkey`, to be typed on the device (no answer is needed)
    };
    Method method = Method::passkey;
    std::optional<std::uint32_t> passkey;
};

// The answer: a passkey (for Method::passkey), or whether to accept (the others). An answer that
// does not fit the request refuses it.
struct PairingAnswer {
    bool accept = false;
    std::optional<std::uint32_t> passkey;
    friend bool operator==(const PairingAnswer&, const PairingAnswer&) = default;
};

// Why a request ended without an answer: nobody answered in time, or the stack gave it up.
enum class PairingEnd : std::uint8_t { timedOut, cancelled };

class CentralDelegate {
public:
    virtual ~CentralDelegate() = default;
    virtual void centralDidUpdateState() = 0;
    virtual void didDiscover(const PeripheralPtr& p, const Advertisement& advertisement) = 0;
    virtual void didConnect(const PeripheralPtr& p) = 0;
    virtual void didFailToConnect(const PeripheralPtr& p, const std::optional<Error>& error) = 0;
    virtual void didDisconnect(const PeripheralPtr& p, const std::optional<Error>& error) = 0;
    // Promise 10. A delegate without use for them refuses by not answering.
    virtual void pairingRequested(const PeripheralPtr& p, const PairingRequest& request) { (void)p, (void)request; }
    virtual void pairingEnded(const PeripheralPtr& p, PairingEnd end) { (void)p, (void)end; }
};

struct CentralOptions {
    // Ask the system to tell the user when Bluetooth is off as the manager is created.
    bool showPowerAlert = false;
    // Steps that explain a silent outcome (adapter chosen, a connection's failure and its
    // stack's error name); empty unless the user asked for them.
    Diagnostics diagnostics;
};

class CentralManager {
public:
    virtual ~CentralManager() = default;
    // ManagerState values, or any other value for a state the bridge does not know.
    virtual int state() const = 0;
    // Why the state is what it is ("no_adapter", "blocked"), where the backend knows; empty
    // otherwise. A change of reason alone is a change of state (promise 2).
    virtual std::string_view stateReason() const { return {}; }
    virtual bool isScanning() const = 0;
    virtual void scanForPeripherals(const std::vector<codec::Uuid>& services, bool allowDuplicates) = 0;
    virtual void stopScan() = 0;
    virtual void connect(const PeripheralPtr& p) = 0;
    virtual void cancelConnection(const PeripheralPtr& p) = 0;
    // The answer to the pairing request open for p; ignored when none is (promise 10).
    virtual void answerPairing(const PeripheralPtr& p, const PairingAnswer& answer) { (void)p, (void)answer; }
};

// How the bridge creates its central manager: each backend provides one of these, bound to its
// stack and to the main queue it delivers callbacks on.
using CentralFactory =
    std::function<std::unique_ptr<CentralManager>(CentralDelegate& delegate, const CentralOptions& options)>;

}  // namespace ble
