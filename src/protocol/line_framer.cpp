#include "protocol/line_framer.hpp"

#include <cstring>

namespace protocol {

LineFramer::LineFramer(std::size_t maxLineBytes, std::size_t padding)
    : maxLineBytes_(maxLineBytes), carry_(new char[maxLineBytes + 1 + padding]) {}

void LineFramer::feed(std::string_view chunk) { rest_ = chunk; }

bool LineFramer::keep(std::string_view bytes) {
    if (bytes.size() > maxLineBytes_ + 1 - carried_) return false;
    std::memcpy(carry_.get() + carried_, bytes.data(), bytes.size());
    carried_ += bytes.size();
    return true;
}

LineFramer::Found LineFramer::next(std::string_view& line) {
    const void* found = rest_.empty() ? nullptr : std::memchr(rest_.data(), '\n', rest_.size());
    if (!found) {
        if (!skipping_ && !keep(rest_)) {
            skipping_ = true;
            carried_ = 0;
        }
        rest_ = {};
        return Found::nothing;
    }
    const auto end = static_cast<std::size_t>(static_cast<const char*>(found) - rest_.data());
    const std::string_view head = rest_.substr(0, end);
    rest_.remove_prefix(end + 1);
    if (skipping_) {
        skipping_ = false;
        return Found::overLong;
    }
    if (carried_ == 0) {
        line = head;
    } else {
        const bool kept = keep(head);
        line = {carry_.get(), carried_};
        carried_ = 0;
        if (!kept) return Found::overLong;
    }
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line.size() > maxLineBytes_ ? Found::overLong : Found::line;
}

LineFramer::Found LineFramer::finish(std::string_view& line) {
    if (skipping_) {
        skipping_ = false;
        return Found::overLong;
    }
    if (carried_ == 0) return Found::nothing;
    line = {carry_.get(), carried_};
    carried_ = 0;
    return line.size() > maxLineBytes_ ? Found::overLong : Found::line;
}

}  // namespace protocol
