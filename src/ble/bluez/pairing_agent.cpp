#include "ble/bluez/pairing_agent.hpp"

#include "ble/bluez/bluez_central.hpp"
#include "ble/bluez/bluez_peripheral.hpp"
#include "ble/bluez/bounds.hpp"

namespace bluez {

namespace {

constexpr const char* agentPath = "/io/gattrelay/agent";
constexpr const char* agentInterface = "org.bluez.Agent1";
constexpr const char* agentManager = "org.bluez.AgentManager1";
constexpr const char* rejected = "org.bluez.Error.Rejected";
constexpr const char* canceled = "org.bluez.Error.Canceled";

// Agent1 as BlueZ's doc/agent-api.txt has it. Every method goes to one handler, which answers
// now or keeps the call to answer later.
const sd_bus_vtable agentVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Release", "", "", &PairingAgent::onMethod, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestPinCode", "o", "s", &PairingAgent::onMethod, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("DisplayPinCode", "os", "", &PairingAgent::onMethod, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestPasskey", "o", "u", &PairingAgent::onMethod, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("DisplayPasskey", "ouq", "", &PairingAgent::onMethod, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestConfirmation", "ou", "", &PairingAgent::onMethod, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestAuthorization", "o", "", &PairingAgent::onMethod, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("AuthorizeService", "os", "", &PairingAgent::onMethod, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Cancel", "", "", &PairingAgent::onMethod, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

const char* methodName(ble::PairingRequest::Method method) {
    switch (method) {
        case ble::PairingRequest::Method::passkey: return "a passkey";
        case ble::PairingRequest::Method::confirm: return "a confirmation of a passkey";
        case ble::PairingRequest::Method::authorize: return "an authorization";
        case ble::PairingRequest::Method::display: return "a passkey to be shown";
    }
    return "";
}

}  // namespace

PairingAgent::PairingAgent(BluezCentral& central, Bus& bus, std::string capability)
    : central_(central), bus_(bus), capability_(std::move(capability)) {}

PairingAgent::~PairingAgent() {
    if (pending_) refuse(pending_->call.get(), canceled, "the bridge is stopping");
    pending_.reset();
    // Sent without waiting for an answer; the bus flushes it as the bridge ends.
    if (registered_)
        bus_.call(owner_, "/org/bluez", agentManager, "UnregisterAgent",
                  [](sd_bus_message* m) { return sd_bus_message_append(m, "o", agentPath); }, bounds::quickCall,
                  nullptr);
}

void PairingAgent::registerWith(const std::string& owner) {
    owner_ = owner;
    registered_ = false;
    if (!served_ || servedOn_ != bus_.connection()) {
        served_ = bus_.serve(agentPath, agentInterface, agentVtable, this);
        servedOn_ = bus_.connection();
        if (!served_) {
            central_.say([] { return std::string("the pairing agent could not be served on the bus"); });
            return;
        }
    }
    // bluetoothd serves its agent manager a moment after taking its name: asked too early, the
    // call fails and is made again.
    bus_.call(owner_, "/org/bluez", agentManager, "RegisterAgent",
              [this](sd_bus_message* m) { return sd_bus_message_append(m, "os", agentPath, capability_.c_str()); },
              bounds::quickCall, [this, owner](const Reply& reply) {
                  if (owner != owner_) return;
                  if (reply.error && *reply.error != "org.bluez.Error.AlreadyExists") {
                      central_.say([&] {
                          return "registering the pairing agent failed (" + *reply.error + ": " + reply.errorText +
                                 "), trying again in " + std::to_string(bounds::agentRetry.count()) + " ms";
                      });
                      retry_ = central_.after(bounds::agentRetry, [this, owner] {
                          if (owner == owner_) registerWith(owner);
                      });
                      return;
                  }
                  registered_ = true;
                  bus_.call(owner_, "/org/bluez", agentManager, "RequestDefaultAgent",
                            [](sd_bus_message* m) { return sd_bus_message_append(m, "o", agentPath); },
                            bounds::quickCall, [this, owner](const Reply& answer) {
                                if (owner != owner_) return;
                                central_.say([&] {
                                    return answer.error ? "the pairing agent (" + capability_ +
                                                              ") is registered, but not the default one (" +
                                                              *answer.error + ")"
                                                        : "the pairing agent (" + capability_ +
                                                              ") is registered as the default one";
                                });
                            });
              });
}

void PairingAgent::bluezGone() {
    owner_.clear();
    registered_ = false;
    retry_ = {};
    // bluetoothd took its requests with it: nobody is left to answer.
    if (pending_) endUnanswered(ble::PairingEnd::cancelled);
}

int PairingAgent::onMethod(sd_bus_message* m, void* userdata, sd_bus_error*) {
    return static_cast<PairingAgent*>(userdata)->handle(m);
}

int PairingAgent::handle(sd_bus_message* m) {
    const char* sender = sd_bus_message_get_sender(m);
    const std::string_view member = sd_bus_message_get_member(m);
    // Only bluetoothd asks an agent anything.
    if (!sender || owner_ != sender) {
        refuse(m, rejected, "not from bluetoothd");
        return 1;
    }
    if (member == "Release") {
        registered_ = false;
        central_.say([] {
            return std::string("bluetoothd released the pairing agent: no pairing is answered until it restarts");
        });
        if (pending_) endUnanswered(ble::PairingEnd::cancelled);
        bus_.reply(m, {});
        return 1;
    }
    if (member == "Cancel") {
        if (pending_) endUnanswered(ble::PairingEnd::cancelled);
        bus_.reply(m, {});
        return 1;
    }
    const char* device = nullptr;
    std::uint32_t passkey = 0;
    std::uint16_t entered = 0;
    int r = sd_bus_message_read(m, "o", &device);
    if (r >= 0 && (member == "RequestConfirmation" || member == "DisplayPasskey"))
        r = sd_bus_message_read(m, "u", &passkey);
    if (r >= 0 && member == "DisplayPasskey") r = sd_bus_message_read(m, "q", &entered);
    if (r < 0 || !device) {
        refuse(m, rejected, "bad arguments");
        return 1;
    }
    using Method = ble::PairingRequest::Method;
    const std::optional<Method> method = member == "RequestPasskey"         ? std::optional(Method::passkey)
                                         : member == "RequestConfirmation"  ? std::optional(Method::confirm)
                                         : member == "RequestAuthorization" ? std::optional(Method::authorize)
                                         : member == "DisplayPasskey"       ? std::optional(Method::display)
                                                                            : std::nullopt;
    if (!method) {
        // A PIN or a service of a BR/EDR device: never one of the bridge's.
        refuse(m, rejected, std::string(member) + " for " + device + " is not answered by this bridge");
        return 1;
    }
    // Shown as the other side types it: told once, when it is first shown.
    if (*method == Method::display) {
        bus_.reply(m, {});
        if (entered > 0) return 1;
    }
    ask(m, device, {*method, *method == Method::confirm || *method == Method::display
                                 ? std::optional<std::uint32_t>(passkey)
                                 : std::nullopt});
    return 1;
}

void PairingAgent::ask(sd_bus_message* m, const std::string& devicePath, ble::PairingRequest request) {
    const std::shared_ptr<BluezPeripheral> peripheral = central_.heldPeripheral(devicePath);
    const bool display = request.method == ble::PairingRequest::Method::display;
    if (!peripheral) {
        central_.say([&] {
            return "pairing for " + devicePath + " (" + methodName(request.method) +
                   ") refused: not a device of the bridge's adapter that it uses";
        });
        if (!display) refuse(m, rejected, "not a device of this bridge");
        return;
    }
    if (pending_) {
        if (!display) refuse(m, rejected, "another pairing is under way");
        return;
    }
    peripheral->pairingAsked();
    central_.say([&] {
        return "pairing for " + peripheral->address().value_or(devicePath) + ": the device wants " +
               methodName(request.method) + "; asking the client";
    });
    if (!display) {
        pending_ = std::make_unique<Pending>(Pending{Message(sd_bus_message_ref(m)), devicePath, request.method, {}});
        pending_->bound = central_.after(bounds::pairingAnswer, [this] {
            refuse(pending_->call.get(), canceled, "no answer in time");
            endUnanswered(ble::PairingEnd::timedOut);
        });
    }
    central_.deliver([&central = central_, peripheral, request] {
        central.delegate().pairingRequested(peripheral, request);
    });
}

void PairingAgent::answer(const std::string& devicePath, const ble::PairingAnswer& answer) {
    if (!pending_ || pending_->devicePath != devicePath) {
        central_.say([&] { return "a pairing answer for " + devicePath + " came with no pairing open: ignored"; });
        return;
    }
    const std::unique_ptr<Pending> done = std::move(pending_);
    using Method = ble::PairingRequest::Method;
    // An answer that does not fit the request refuses it.
    const bool fits = done->method == Method::passkey ? answer.passkey.has_value()
                                                      : answer.accept && !answer.passkey.has_value();
    if (!fits) {
        refuse(done->call.get(), rejected, "refused by the client");
        return;
    }
    if (done->method == Method::passkey)
        bus_.reply(done->call.get(), [p = *answer.passkey](sd_bus_message* m) { return sd_bus_message_append(m, "u", p); });
    else
        bus_.reply(done->call.get(), {});
}

void PairingAgent::endUnanswered(ble::PairingEnd end) {
    const std::unique_ptr<Pending> done = std::move(pending_);
    if (const auto peripheral = central_.heldPeripheral(done->devicePath))
        central_.deliver([&central = central_, peripheral, end] { central.delegate().pairingEnded(peripheral, end); });
}

void PairingAgent::refuse(sd_bus_message* m, const char* error, const std::string& why) {
    bus_.replyError(m, error, why);
}

}  // namespace bluez
