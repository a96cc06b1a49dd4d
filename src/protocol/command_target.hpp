#pragma once

#include "ble/central.hpp"

namespace protocol {

// What the command reader's tasks act on. They run on the main thread and hold the target
// weakly: a task whose target is gone does nothing.
class CommandTarget {
public:
    virtual ~CommandTarget() = default;
    virtual void send(const ble::Uuid& id, ble::Bytes payload) = 0;
    virtual void stop() = 0;
};

}  // namespace protocol
