#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ble/bluez/bus.hpp"
#include "ble/bluez/gatt_handles.hpp"
#include "ble/bluez/notify_socket.hpp"
#include "ble/central.hpp"
#include "loop/main_queue.hpp"

namespace bluez {

class BluezCentral;

// One bluetoothd device (org.bluez.Device1) and our connection to it. Each connect() opens a
// new connection number; replies of an older connection are dropped and its timers cancelled,
// so a connection ends with exactly one failure or disconnection callback and nothing after it.
class BluezPeripheral final : public ble::Peripheral, public std::enable_shared_from_this<BluezPeripheral> {
public:
    // `address`: the device's Address property, which `id` was made from.
    BluezPeripheral(BluezCentral& central, std::string path, codec::Uuid id, std::string address)
        : central_(central), path_(std::move(path)), id_(id), address_(std::move(address)) {}

    codec::Uuid identifier() const override { return id_; }
    int state() const override { return state_; }
    void setDelegate(ble::PeripheralDelegate* delegate) override { delegate_ = delegate; }
    void discoverServices(const std::vector<codec::Uuid>& services) override;
    std::optional<std::vector<ble::ServicePtr>> services() const override { return services_; }
    void discoverCharacteristics(const std::vector<codec::Uuid>& characteristics, const ble::ServicePtr& service) override;
    void setNotifyValue(bool enabled, const ble::CharacteristicPtr& c) override;
    void writeValue(const codec::Bytes& value, const ble::CharacteristicPtr& c) override;
    std::size_t maximumWriteValueLength() const override;
    std::optional<std::string> address() const override { return address_; }

    const std::string& path() const { return path_; }
    std::uint64_t connectionNumber() const { return connectionNumber_; }
    // Connecting, and waiting for the central to let its Connect call out.
    bool waitsForConnectCall(std::uint64_t number) const {
        return number == connectionNumber_ && state_ == ble::PeripheralState::connecting &&
               !connection_.holdsConnectCall;
    }

    // From the central.
    void connect();
    void sendConnect();
    void cancel();
    // Ends the connection, whatever bluetoothd said last (device removed, adapter gone, ...):
    // one failure or disconnection callback, with `error` if given. `deviceFault`: the device
    // or its link is to blame, not the adapter or bluetoothd.
    void end(std::optional<ble::Error> error, bool deviceFault = true);
    // Asks bluetoothd to drop the link too, then ends the connection.
    void disconnectAndEnd(const char* why, bool deviceFault = true);
    void onConnectedChanged(bool connected);
    void onValue(const std::string& characteristicPath, codec::Bytes value);
    void onNotifying(const std::string& characteristicPath, bool notifying);
    void onMtu(const std::string& characteristicPath, std::int64_t mtu);
    void onObjectRemoved(const std::string& objectPath);
    // The central is going: no notification is read and no timer runs any more. Whether a
    // stream was open.
    bool centralGone() {
        const bool streaming = connection_.notifySocket != nullptr;
        connection_ = {};
        return streaming;
    }
    // The bridge's agent puts a pairing of this device to the client.
    void pairingAsked() { ++connection_.pairingsAsked; }
    // Completes the discoveries whose objects are there; `lagOver` completes them with what is.
    void checkGatt(bool lagOver = false);

private:
    struct CharacteristicWait {
        std::shared_ptr<BluezService> service;
        std::vector<codec::Uuid> uuids;
    };

    // What one connection holds until it ends: reset as a whole, which cancels its timers.
    struct Connection {
        bool reported = false;
        // bluetoothd said another connection attempt is under way: wait for its outcome.
        bool awaitingOtherAttempt = false;
        bool holdsConnectCall = false;
        bool connectSent = false;
        std::optional<std::vector<codec::Uuid>> serviceWait;
        std::vector<CharacteristicWait> characteristicWaits;
        // Handed out during this connection, by object path.
        std::map<std::string, std::shared_ptr<BluezService>> serviceObjects;
        std::map<std::string, std::shared_ptr<BluezCharacteristic>> characteristicObjects;
        // StartNotify or StopNotify sent and not yet confirmed, by characteristic path.
        std::map<std::string, bool> notifyPending;
        // The outbox subscription succeeded: setup is over.
        bool ready = false;
        bool missingService = false;
        // Notifications of an acquired stream, and the characteristic whose subscription gives
        // the MTU.
        std::unique_ptr<NotifySocket> notifySocket;
        std::string mtuSource;
        loop::Timer connectTimeout;
        loop::Timer resolveTimeout;
        loop::Timer objectLag;
        loop::Timer mtuRecheck;
        loop::Timer streamClosedWait;
        // Pending while a write waits; once it has waited long, the link is taken as stalled
        // (most often: the device wants a pairing nobody can answer).
        loop::Timer writeWait;
        bool writeStalled = false;
        // While the bridge's own Device1.Pair call is under way: the writes that wait for it,
        // each told whether the device is paired now.
        std::optional<std::vector<std::function<void(bool)>>> pairWaits;
        // How many pairings of the device the bridge's agent has put to the client.
        std::uint64_t pairingsAsked = 0;
    };

    bool linked() const {
        return state_ == ble::PeripheralState::connected || state_ == ble::PeripheralState::disconnecting;
    }
    void becomeConnected();
    // Timers' tasks.
    void connectTimedOut();
    void resolveTimedOut();
    void lagOver();
    void boundResolve();
    void finishNotify(const std::shared_ptr<BluezCharacteristic>& c, bool enabled, std::optional<ble::Error> error);
    void acquireNotify(const std::shared_ptr<BluezCharacteristic>& c);
    void onNotifyAcquired(const std::shared_ptr<BluezCharacteristic>& c, const Reply& reply);
    void streamClosed();
    void writeStalled();
    // `mayPair`: a refusal for want of a pairing has the bridge pair the device (with
    // --pairing), then send the write once more.
    void sendWrite(const codec::Bytes& value, const std::shared_ptr<BluezCharacteristic>& c, bool mayPair);
    void pairThen(std::function<void(bool)> then);
    void startOrStopNotify(const std::shared_ptr<BluezCharacteristic>& c, bool enabled);
    // The subscription is confirmed: the link's MTU is read before it is reported.
    void subscribed(const std::shared_ptr<BluezCharacteristic>& c);
    void readMtu(const std::string& characteristicPath, std::function<void()> then);
    void refreshMtu();
    void deliverValue(const std::shared_ptr<BluezCharacteristic>& c, codec::Bytes value);
    void releaseConnectCall();
    std::shared_ptr<BluezCharacteristic> characteristicAt(const std::string& path, const codec::Uuid& uuid);
    // Runs `fn` after `delay` while `timer` lives: a timer of connection_ is cancelled with it.
    void after(loop::Timer& timer, std::chrono::milliseconds delay, void (BluezPeripheral::*fn)());

    BluezCentral& central_;
    const std::string path_;
    const codec::Uuid id_;
    const std::string address_;
    ble::PeripheralDelegate* delegate_ = nullptr;

    int state_ = ble::PeripheralState::disconnected;
    // A new number for each connection and at its end: replies of another one are dropped.
    std::uint64_t connectionNumber_ = 0;
    Connection connection_;
    // What the last connection found, kept after it ends (its end reports the MTU) until the
    // next one starts.
    std::optional<std::vector<ble::ServicePtr>> services_;
    // The link's ATT MTU as bluetoothd last said it; 0 until then.
    std::int64_t mtu_ = 0;
};

}  // namespace bluez
