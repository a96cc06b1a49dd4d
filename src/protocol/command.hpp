#pragma once

#include <variant>

#include "ble/central.hpp"

namespace protocol {

struct StopCommand {
    friend bool operator==(const StopCommand&, const StopCommand&) = default;
};

struct SendCommand {
    ble::Uuid id;
    ble::Bytes payload;  // at least 1 byte; its size is not limited here
    friend bool operator==(const SendCommand&, const SendCommand&) = default;
};

// A command line that passed every check.
using Command = std::variant<StopCommand, SendCommand>;

}  // namespace protocol
