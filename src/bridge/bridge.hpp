#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "ble/central.hpp"
#include "ble/gatt_profile.hpp"
#include "bridge/command_target.hpp"
#include "bridge/link_table.hpp"
#include "bridge/peer_filter.hpp"
#include "bridge/reporter.hpp"
#include "loop/main_queue.hpp"

namespace bridge {

// The one bridge: receives every callback of the central manager and of every peripheral, and
// the tasks of the command reader. All of its state lives on the main thread.
class Bridge final : public ble::CentralDelegate,
                     public ble::PeripheralDelegate,
                     public bridge::CommandTarget,
                     public std::enable_shared_from_this<Bridge> {
public:
    struct Environment {
        loop::MainQueue& queue;
        // The front: where everything that happens is told.
        Reporter& reports;
        ble::CentralFactory makeCentral;
        // Starts the command reader; its tasks hold the bridge weakly.
        std::function<void(std::weak_ptr<bridge::CommandTarget>)> readCommands;
        // The service and characteristics the bridge looks for.
        ble::GattProfile profile = ble::defaultGattProfile;
        // The peripherals it may use.
        PeerFilter filter = {};
        // Where the bridge, and the backend it creates, explain silent outcomes; empty for none.
        ble::Diagnostics diagnostics = {};
    };

    // Creates the central manager, writes the hello line, then starts the command reader.
    static std::shared_ptr<Bridge> create(Environment env);

    // Stops the scan, cancels every connection, empties the table and ends the main loop's
    // pass. Writes no event; later calls do nothing.
    void stop() override;
    // The send task.
    void send(const codec::Uuid& id, codec::Bytes payload) override;
    void sendTagged(const codec::Uuid& id, codec::Bytes payload, std::string tag) override;
    void disconnectPeer(const codec::Uuid& id) override;
    void connectPeer(const codec::Uuid& id) override;
    void reject(const Rejection& rejection) override;
    void answerPairing(const codec::Uuid& id, const ble::PairingAnswer& answer) override;
    void beginCommands() override { env_.reports.hold(); }
    void endCommands() override { env_.reports.release(); }

    bool stopping() const { return stopping_; }
    const LinkTable& links() const { return links_; }

    // Adapter state and connections.
    void centralDidUpdateState() override;
    void didDiscover(const ble::PeripheralPtr& p, const ble::Advertisement& advertisement) override;
    void didConnect(const ble::PeripheralPtr& p) override;
    void didFailToConnect(const ble::PeripheralPtr& p, const std::optional<ble::Error>& error) override;
    void didDisconnect(const ble::PeripheralPtr& p, const std::optional<ble::Error>& error) override;
    void pairingRequested(const ble::PeripheralPtr& p, const ble::PairingRequest& request) override;
    void pairingEnded(const ble::PeripheralPtr& p, ble::PairingEnd end) override;

    // GATT setup.
    void didDiscoverServices(const ble::PeripheralPtr& p, const std::optional<ble::Error>& error) override;
    void didDiscoverCharacteristics(const ble::PeripheralPtr& p, const ble::ServicePtr& service,
                                    const std::optional<ble::Error>& error) override;
    void didUpdateNotificationState(const ble::PeripheralPtr& p, const ble::CharacteristicPtr& c,
                                    const std::optional<ble::Error>& error) override;
    // Inbound frames.
    void didUpdateValue(const ble::PeripheralPtr& p, const ble::CharacteristicPtr& c,
                        std::span<const std::uint8_t> value, const std::optional<ble::Error>& error) override;

    // The write pipeline.
    void didWriteValue(const ble::PeripheralPtr& p, const ble::CharacteristicPtr& c,
                       const std::optional<ble::Error>& error) override;

private:
    explicit Bridge(Environment env);

    void disconnect(const codec::Uuid& id, PeerEnd reason, const std::optional<ble::Error>& error);
    // Cancels a connection whose setup cannot finish.
    void abandonSetup(const ble::PeripheralPtr& p, std::string_view why, const std::optional<ble::Error>& error);
    void announceIfReady(Link& link);
    void admit(const codec::Uuid& id, codec::Bytes payload, std::string tag);
    void pump(Link& link);
    void retry(const ble::PeripheralPtr& p, Link& link);
    // Reports a frame's outcome, with a diagnostic line for a frame that did not go.
    void outcome(const codec::Uuid& id, WriteOutcome outcome, const QueuedFrame& frame);

    // One diagnostic line made of `parts` (text and integers), built only when someone listens.
    template <class... Parts>
    void diagnose(const Parts&... parts) {
        if (!env_.diagnostics) return;
        std::string line;
        (appendPart(line, parts), ...);
        env_.diagnostics(line);
    }
    static void appendPart(std::string& line, std::string_view text) { line += text; }
    static void appendPart(std::string& line, std::int64_t n) { line += std::to_string(n); }
    static void appendPart(std::string& line, const codec::Uuid& id) { id.appendText(line); }

    Environment env_;
    std::unique_ptr<ble::CentralManager> manager_;
    LinkTable links_;
    bool stopping_ = false;
    std::int64_t sendsTaken_ = 0;
    // Peers the client disconnected, not to be connected again until it says so; true once a
    // report of one was ignored (and said so, once).
    std::unordered_map<codec::Uuid, bool, codec::UuidHash> closed_;
    // Peers the client disconnected whose connection the stack has yet to end: until it has,
    // a report of them is not a new peer, and the end belongs to no link.
    std::unordered_set<codec::Uuid, codec::UuidHash> closing_;
};

}  // namespace bridge
