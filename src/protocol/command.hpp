#pragma once

#include <cstdint>
#include <variant>

#include "bridge/command_target.hpp"
#include "codec/bytes.hpp"
#include "codec/uuid.hpp"

namespace protocol {

struct StopCommand {
    friend bool operator==(const StopCommand&, const StopCommand&) = default;
};

struct SendCommand {
    codec::Uuid id;
    codec::Bytes payload;  // at least 1 byte; its size is not limited here
    friend bool operator==(const SendCommand&, const SendCommand&) = default;
};

// Protocol 2: end a peer's link and connect it no more, or lift that.
struct DisconnectCommand {
    codec::Uuid id;
    friend bool operator==(const DisconnectCommand&, const DisconnectCommand&) = default;
};

struct ConnectCommand {
    codec::Uuid id;
    friend bool operator==(const ConnectCommand&, const ConnectCommand&) = default;
};

// Protocol 2: the answer to a "pairing" event of peer `id`.
struct PairCommand {
    codec::Uuid id;
    ble::PairingAnswer answer;
    friend bool operator==(const PairCommand&, const PairCommand&) = default;
};

// A command line that passed every check.
using Command = std::variant<StopCommand, SendCommand, DisconnectCommand, ConnectCommand, PairCommand>;

using bridge::LineError;
using bridge::Rejection;

// The longest tag, in bytes of UTF-8 after JSON unescaping.
inline constexpr std::size_t maxTagBytes = 64;

}  // namespace protocol
