#pragma once

#include <cstdint>
#include <deque>
#include <list>

#include "mqtt/message.hpp"

namespace mqtt {

// The messages made while the broker is away, in order, for publishing when it is back. Over
// its bound in bytes it drops the oldest frames from peers, counting them; it keeps every other
// message, whatever its size.
class Backlog {
public:
    explicit Backlog(std::size_t bound) : bound_(bound) {}

    void push(Message message);
    bool empty() const { return messages_.empty(); }
    // The oldest message, taken out.
    Message pop();

    std::size_t bytes() const { return bytes_; }
    // Frames dropped so far, over the backlog's life.
    std::uint64_t dropped() const { return dropped_; }

private:
    const std::size_t bound_;
    std::list<Message> messages_;
    // The frames among them, oldest first.
    std::deque<std::list<Message>::iterator> frames_;
    std::size_t bytes_ = 0;
    std::uint64_t dropped_ = 0;
};

}  // namespace mqtt
