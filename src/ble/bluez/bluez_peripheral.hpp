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

namespace bluez {

class BluezCentral;

// One bluetoothd device (org.bluez.Device1) and our connection to it. Each connect() opens a
// new connection number; replies, signals and timers of an older connection are dropped, so
// a connection ends with exactly one failure or disconnection callback and nothing after it.
class BluezPeripheral final : public ble::Peripheral, public std::enable_shared_from_this<BluezPeripheral> {
public:
    BluezPeripheral(BluezCentral& central, std::string path, codec::Uuid id)
        : central_(central), path_(std::move(path)), id_(id) {}

    codec::Uuid identifier() const override { return id_; }
    int state() const override { return state_; }
    void setDelegate(ble::PeripheralDelegate* delegate) override { delegate_ = delegate; }
    void discoverServices(const std::vector<codec::Uuid>& services) override;
    std::optional<std::vector<ble::ServicePtr>> services() const override { return services_; }
    void discoverCharacteristics(const std::vector<codec::Uuid>& characteristics, const ble::ServicePtr& service) override;
    void setNotifyValue(bool enabled, const ble::CharacteristicPtr& c) override;
    void writeValue(const codec::Bytes& value, const ble::CharacteristicPtr& c) override;
    std::size_t maximumWriteValueLength() const override;

    const std::string& path() const { return path_; }
    std::uint64_t connection() const { return connection_; }
    // Connecting, and waiting for the central to let its Connect call out.
    bool waitsForConnectCall(std::uint64_t connection) const {
        return connection == connection_ && state_ == ble::PeripheralState::connecting && !holdsConnectCall_;
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
    // The central is going: no notification is read any more. Whether a stream was open.
    bool closeStream() { return std::exchange(notifySocket_, nullptr) != nullptr; }
    // Completes the discoveries whose objects are there; `lagOver` completes them with what is.
    void checkGatt(bool lagOver = false);

private:
    struct CharacteristicWait {
        std::shared_ptr<BluezService> service;
        std::vector<codec::Uuid> uuids;
    };

    bool linked() const {
        return state_ == ble::PeripheralState::connected || state_ == ble::PeripheralState::disconnecting;
    }
    void becomeConnected();
    // Timers, each for the connection that set it.
    void connectTimedOut();
    void resolveTimedOut();
    void lagOver();
    void finishNotify(const std::shared_ptr<BluezCharacteristic>& c, bool enabled, std::optional<ble::Error> error);
    void acquireNotify(const std::shared_ptr<BluezCharacteristic>& c);
    void onNotifyAcquired(const std::shared_ptr<BluezCharacteristic>& c, const Reply& reply);
    void streamClosed();
    void startOrStopNotify(const std::shared_ptr<BluezCharacteristic>& c, bool enabled);
    // The subscription is confirmed: the link's MTU is read before it is reported.
    void subscribed(const std::shared_ptr<BluezCharacteristic>& c);
    void readMtu(const std::string& characteristicPath, std::function<void()> then);
    void refreshMtu();
    void deliverValue(const std::shared_ptr<BluezCharacteristic>& c, codec::Bytes value);
    void releaseConnectCall();
    std::shared_ptr<BluezCharacteristic> characteristicAt(const std::string& path, const codec::Uuid& uuid);
    // Runs `fn` on the queue if this connection is still the current one when it is due.
    void afterOnThisConnection(std::chrono::milliseconds delay, void (BluezPeripheral::*fn)());

    BluezCentral& central_;
    const std::string path_;
    const codec::Uuid id_;
    ble::PeripheralDelegate* delegate_ = nullptr;

    int state_ = ble::PeripheralState::disconnected;
    std::uint64_t connection_ = 0;
    bool connectReported_ = false;
    // bluetoothd said another connection attempt is under way: wait for its outcome.
    bool awaitingOtherAttempt_ = false;

    std::optional<std::vector<ble::ServicePtr>> services_;
    std::optional<std::vector<codec::Uuid>> serviceWait_;
    std::vector<CharacteristicWait> characteristicWaits_;
    std::uint64_t lagTimerConnection_ = 0;
    // Handed out during this connection, by object path.
    std::map<std::string, std::shared_ptr<BluezService>> serviceObjects_;
    std::map<std::string, std::shared_ptr<BluezCharacteristic>> characteristicObjects_;
    // The link's ATT MTU as bluetoothd last said it on this connection; 0 until then. Kept
    // after the connection ends, for the figure its end reports.
    std::int64_t mtu_ = 0;
    // StartNotify or StopNotify sent and not yet confirmed, by characteristic path.
    std::map<std::string, bool> notifyPending_;
    // The outbox subscription succeeded on this connection: setup is over.
    bool ready_ = false;
    bool missingService_ = false;
    bool holdsConnectCall_ = false;
    bool connectSent_ = false;
    // Notifications of an acquired stream, and the characteristic it belongs to.
    std::unique_ptr<NotifySocket> notifySocket_;
    std::string mtuSource_;
};

}  // namespace bluez
