#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ble/central.hpp"
#include "ble/sim/sim_gatt.hpp"
#include "ble/sim/world.hpp"

namespace sim {

class SimWorld;

// One simulated device: its GATT layout, its behaviour, and the state of its connection. One
// object for the device's whole life, handed to the bridge on every discovery, as a real stack
// does.
//
// Every connection has its own number (`connection_`), which also changes when the connection
// ends: each scheduled callback carries the number it was scheduled under and is dropped if it
// no longer matches, so nothing of a connection is delivered after its end.
class SimPeripheral final : public ble::Peripheral, public std::enable_shared_from_this<SimPeripheral> {
public:
    SimPeripheral(SimWorld& world, PeripheralSpec description);

    // ble::Peripheral
    codec::Uuid identifier() const override { return spec_.id; }
    int state() const override { return state_; }
    void setDelegate(ble::PeripheralDelegate* delegate) override { delegate_ = delegate; }
    void discoverServices(const std::vector<codec::Uuid>& services) override;
    std::optional<std::vector<ble::ServicePtr>> services() const override { return discovered_; }
    void discoverCharacteristics(const std::vector<codec::Uuid>& characteristics, const ble::ServicePtr& service) override;
    void setNotifyValue(bool enabled, const ble::CharacteristicPtr& c) override;
    void writeValue(const codec::Bytes& value, const ble::CharacteristicPtr& c) override;
    std::size_t maximumWriteValueLength() const override { return writeLimit_; }
    std::optional<std::string> address() const override { return spec_.address; }

    const ble::GattProfile& profile() const { return spec_.profile; }
    // What a discovery report of it says now.
    ble::Advertisement advertisement() const;
    // The world's clock has started: schedules the timed parts of the description.
    void start();
    // The central manager's requests.
    void connect();
    void cancelConnection();
    // The bridge is gone: no delegate is called any more.
    void detach() { delegate_ = nullptr; }

    // Events of the world, and a test's actions.
    void advertise();
    bool advertising() const { return advertising_; }
    // Reported to the central as discovered: this advertisement is used up.
    void useAdvertisement() { advertising_ = false; }
    // The device or the radio ends the connection (or the connection attempt).
    void lose(const char* why);
    void failNextWrite() { failNextWrite_ = true; }
    void notify(codec::Bytes value);
    void setWriteLimit(std::size_t limit) { writeLimit_ = limit; }

private:
    struct PendingWrite {
        std::uint32_t number;
        std::shared_ptr<SimCharacteristic> characteristic;
        bool fails;
        // Kept only when the device echoes.
        codec::Bytes value;
        // Its place in the connection's script, if it has one.
        const ScriptedWrite* scripted = nullptr;
    };

    // The peripheral follows connection scripts.
    bool scripted() const { return !spec_.connections.empty(); }
    const Delays& delays() const { return script_ ? script_->delays : spec_.delays; }
    // Said once per kind of departure from the script, through the world.
    void depart(bool& said, const std::string& what);
    void scheduleDrop(Ms after);

    void finishConnect(std::uint32_t connection);
    void end(std::optional<ble::Error> error);
    void finishWrite(std::uint32_t connection, std::uint32_t number);
    void startNotifications();
    // `n` on the outbox, its `after` from now, if this connection lasts.
    void scheduleNotification(const Notification& n, Ms after);
    void deliverNext(std::uint32_t connection);
    void notifyOutbox(codec::Bytes& value);
    std::shared_ptr<SimService> findService(const ble::ServicePtr& service) const;
    std::shared_ptr<SimCharacteristic> findCharacteristic(const ble::CharacteristicPtr& c) const;
    bool decideWriteFails(const SimCharacteristic* c, std::size_t size);
    codec::Bytes spareBuffer();
    void recycle(codec::Bytes&& buffer);

    SimWorld& world_;
    const PeripheralSpec spec_;
    std::vector<std::shared_ptr<SimService>> services_;
    ble::PeripheralDelegate* delegate_ = nullptr;
    std::size_t writeLimit_;
    std::optional<int> rssi_;
    bool advertising_ = false;

    int state_ = ble::PeripheralState::disconnected;
    std::uint32_t connection_ = 0;
    // What the current connection has done so far.
    bool connectReported_ = false;
    bool notificationsStarted_ = false;
    std::optional<std::vector<ble::ServicePtr>> discovered_;
    std::uint32_t failedInARow_ = 0;
    std::uint64_t completedWrites_ = 0;
    // The current connection's script (none past the last), and its writes issued so far.
    const ConnectionScript* script_ = nullptr;
    std::size_t scriptedWritesIssued_ = 0;

    // Over the device's life.
    std::uint64_t writesIssued_ = 0;
    bool failNextWrite_ = false;
    std::size_t connectionAttempts_ = 0;
    bool saidExtraConnection_ = false;
    bool saidExtraWrite_ = false;
    // Writes in flight, in the order issued; with one delay per device they normally complete
    // in that order too.
    std::deque<PendingWrite> writes_;
    std::uint32_t nextWriteNumber_ = 0;
    // Echoes and values notified by a test, in the order their delivery tasks were posted.
    std::deque<codec::Bytes> outgoing_;
    // Buffers of finished values, reused so that relaying frames does not allocate.
    std::vector<codec::Bytes> spare_;
};

}  // namespace sim
