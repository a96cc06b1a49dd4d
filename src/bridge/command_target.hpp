#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ble/central.hpp"
#include "codec/bytes.hpp"
#include "codec/uuid.hpp"

namespace bridge {

// Why a line of input is not a command, in the order the checks are made.
enum class LineError : std::uint8_t {
    notJson,      // not exactly one JSON value
    notACommand,  // not an object, an unknown command, or missing, extra or mistyped keys
    badId,
    badData,
    badTag,
    tooLong,  // over the line limit (the framer's check, not the parser's)
};

// The line's number, counted from 1 over every line of input, and why it is not a command.
struct Rejection {
    std::uint64_t line = 0;
    LineError reason = LineError::notJson;
};

// The name a rejection reason has on the wire ("not_json").
inline std::string_view reasonName(LineError error) {
    switch (error) {
        case LineError::notJson: return "not_json";
        case LineError::notACommand: return "not_a_command";
        case LineError::badId: return "bad_id";
        case LineError::badData: return "bad_data";
        case LineError::badTag: return "bad_tag";
        case LineError::tooLong: return "too_long";
    }
    return "";
}

// What the command reader's tasks act on. They run on the main thread and hold the target
// weakly: a task whose target is gone does nothing.
class CommandTarget {
public:
    virtual ~CommandTarget() = default;
    virtual void send(const codec::Uuid& id, codec::Bytes payload) = 0;
    virtual void stop() = 0;
    // A send whose line carried a tag. A target without use for tags takes it as a send.
    virtual void sendTagged(const codec::Uuid& id, codec::Bytes payload, std::string tag) {
        (void)tag;
        send(id, std::move(payload));
    }
    // Ends the peer's link, if any, and connects it no more until connectPeer(). A target
    // without use for it ignores it.
    virtual void disconnectPeer(const codec::Uuid& id) { (void)id; }
    // Lifts disconnectPeer(): the peer is connected at its next discovery.
    virtual void connectPeer(const codec::Uuid& id) { (void)id; }
    // The client's answer to the pairing its peer's device asked for. A target may ignore it.
    virtual void answerPairing(const codec::Uuid& id, const ble::PairingAnswer& answer) { (void)id, (void)answer; }
    // A line that is not a command. A target may ignore it.
    virtual void reject(const Rejection& rejection) { (void)rejection; }
    // Around the sends and rejections of one task: the events they cause at once may be written
    // together when it ends.
    virtual void beginCommands() {}
    virtual void endCommands() {}
};

}  // namespace bridge
