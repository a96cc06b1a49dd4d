#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace mqtt {

// One message to publish.
struct Message {
    std::string topic = {};
    std::string payload = {};
    int qos = 1;
    bool retain = false;
    // A frame from a peer: the one kind a full backlog may drop.
    bool frame = false;
    // MQTT 5's correlation data, echoed from the message this one answers.
    std::optional<std::string> correlation = {};
    // A frame's number in its peer's connection, from 1 (the MQTT 5 user property "seq"); 0 for none.
    std::uint64_t seq = 0;

    std::size_t size() const { return topic.size() + payload.size() + (correlation ? correlation->size() : 0); }
};

}  // namespace mqtt
