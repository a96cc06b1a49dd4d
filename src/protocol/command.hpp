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

// A command line that passed every check.
using Command = std::variant<StopCommand, SendCommand>;

using bridge::LineError;
using bridge::Rejection;

// The longest tag, in bytes of UTF-8 after JSON unescaping.
inline constexpr std::size_t maxTagBytes = 64;

}  // namespace protocol
