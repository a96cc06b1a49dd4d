#include "mqtt/backlog.hpp"

namespace mqtt {

void Backlog::push(Message message) {
    bytes_ += message.size();
    const bool frame = message.frame;
    messages_.push_back(std::move(message));
    if (frame) frames_.push_back(std::prev(messages_.end()));
    while (bytes_ > bound_ && !frames_.empty()) {
        bytes_ -= frames_.front()->size();
        messages_.erase(frames_.front());
        frames_.pop_front();
        ++dropped_;
    }
}

Message Backlog::pop() {
    if (!frames_.empty() && frames_.front() == messages_.begin()) frames_.pop_front();
    Message message = std::move(messages_.front());
    messages_.pop_front();
    bytes_ -= message.size();
    return message;
}

}  // namespace mqtt
