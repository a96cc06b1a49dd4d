#pragma once

#include <string>

#include "ble/central.hpp"
#include "protocol/command.hpp"

namespace bridge {

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
    // A line that is not a command. A target may ignore it.
    virtual void reject(const protocol::Rejection& rejection) { (void)rejection; }
    // Around the sends and rejections of one task: the events they cause at once may be written
    // together when it ends.
    virtual void beginCommands() {}
    virtual void endCommands() {}
};

}  // namespace bridge
