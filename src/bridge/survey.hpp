#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "ble/central.hpp"
#include "ble/gatt_profile.hpp"
#include "bridge/peer_filter.hpp"
#include "loop/main_queue.hpp"

namespace bridge {

// A peripheral seen advertising the service, with what its first report said.
struct Sighting {
    codec::Uuid id;
    std::optional<std::string> name = {};
    std::optional<int> rssi = {};
    std::optional<std::string> address = {};
};

// Looks around without connecting: scans for the service for a while and tells each peripheral
// the filter lets through once, at its first report. Ends early when the adapter turns out
// unavailable (a state other than ready, unknown or resetting). Main thread only.
class Survey final : public ble::CentralDelegate {
public:
    struct Environment {
        loop::MainQueue& queue;
        ble::CentralFactory makeCentral;
        std::function<void(const Sighting&)> found;
        ble::GattProfile profile = ble::defaultGattProfile;
        PeerFilter filter = {};
        ble::Diagnostics diagnostics = {};
    };

    // Creates the central manager; the survey lasts `duration` from then. When it ends, it stops
    // the scan and ends the main loop's pass.
    Survey(Environment env, loop::Duration duration);

    bool finished() const { return finished_; }
    // The adapter's state and its reason, when it turned out unavailable.
    struct Unavailable {
        std::string state;
        std::string reason;
    };
    const std::optional<Unavailable>& unavailable() const { return unavailable_; }

    void centralDidUpdateState() override;
    void didDiscover(const ble::PeripheralPtr& p, const ble::Advertisement& advertisement) override;
    // Nothing is connected.
    void didConnect(const ble::PeripheralPtr&) override {}
    void didFailToConnect(const ble::PeripheralPtr&, const std::optional<ble::Error>&) override {}
    void didDisconnect(const ble::PeripheralPtr&, const std::optional<ble::Error>&) override {}

private:
    void finish();
    void diagnose(const std::string& line) const;

    Environment env_;
    std::unique_ptr<ble::CentralManager> manager_;
    loop::Timer deadline_;
    std::unordered_set<codec::Uuid, codec::UuidHash> seen_;
    std::optional<Unavailable> unavailable_;
    bool finished_ = false;
};

}  // namespace bridge
