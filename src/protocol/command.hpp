#pragma once

#include <cstdint>
#include <variant>

#include "ble/central.hpp"

namespace protocol {

struct StopCommand {
    friend bool operator==(const StopCommand&, const StopCommand&) = default;
};

struct SendCommand {
    codec::Uuid id;
    codec::Bytes payload;  // at least 1 byte; its size is not limited here
    friend bool operator==(const SendCommand&, const SendCommand&) = default;
};

// A command line that passed every check.
using Command = std::variant<StopCommand, SendCommand>;

// Why a line is not a command, in the order the checks are made.
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

// The longest tag, in bytes of UTF-8 after JSON unescaping.
inline constexpr std::size_t maxTagBytes = 64;

}  // namespace protocol
