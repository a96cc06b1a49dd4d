#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "ble/bluez/bus.hpp"
#include "ble/central.hpp"
#include "loop/main_queue.hpp"

namespace bluez {

class BluezCentral;

// The bridge as bluetoothd's pairing agent (org.bluez.Agent1): served on the bridge's own bus
// connection, registered with the input and output the user said the gateway has, and asked to
// be the default agent, so that the pairings the kernel starts for the bridge's devices (a write
// the device refuses for want of security) come here. A request for a device the bridge holds
// goes to the bridge, and the bridge's answer back to bluetoothd; one left unanswered for
// bounds::pairingAnswer is refused as Canceled. Every other request (another adapter's device,
// one the bridge left alone, a BR/EDR PIN) is refused at once as Rejected: this agent answers
// for nobody else. Main thread only.
class PairingAgent {
public:
    // `capability`: BlueZ's name ("KeyboardDisplay").
    PairingAgent(BluezCentral& central, Bus& bus, std::string capability);
    // Unregisters, when bluetoothd is there to be told.
    ~PairingAgent();
    PairingAgent(const PairingAgent&) = delete;
    PairingAgent& operator=(const PairingAgent&) = delete;

    // A bluetoothd took its name (at start or after a restart): serve the agent on the bus
    // connection of now, and register it with that bluetoothd.
    void registerWith(const std::string& owner);
    // bluetoothd went: its requests are gone with it.
    void bluezGone();
    // Whether the client is being asked about `devicePath` now.
    bool asking(std::string_view devicePath) const;
    // The bridge's answer to the request open for `devicePath`, if one is.
    void answer(const std::string& devicePath, const ble::PairingAnswer& answer);

    // The vtable's handler of every method.
    static int onMethod(sd_bus_message* m, void* userdata, sd_bus_error* error);

private:
    // A request waiting for the bridge's answer: the call, kept to be answered, and its bound.
    struct Pending {
        Message call;
        std::string devicePath;
        ble::PairingRequest::Method method;
        loop::Timer bound;
    };
    int handle(sd_bus_message* m);
    void ask(sd_bus_message* m, const std::string& devicePath, ble::PairingRequest request);
    // The open request ended without the bridge's answer; the bridge is told.
    void endUnanswered(ble::PairingEnd end);
    void refuse(sd_bus_message* m, const char* error, const std::string& why);

    BluezCentral& central_;
    Bus& bus_;
    const std::string capability_;
    std::string owner_;
    Bus::Slot served_;
    // The bus connection the object is served on: a new one after the bus broke.
    const sd_bus* servedOn_ = nullptr;
    bool registered_ = false;
    loop::Timer retry_;
    // The request waiting for the bridge's answer: bluetoothd asks an agent one at a time.
    std::unique_ptr<Pending> pending_;
};

inline bool PairingAgent::asking(std::string_view devicePath) const {
    return pending_ && pending_->devicePath == devicePath;
}

}  // namespace bluez
