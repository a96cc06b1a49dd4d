#include "protocol/event_stream.hpp"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <poll.h>
#include <simdjson.h>
#include <unistd.h>

#include "protocol/base64.hpp"

namespace protocol {

namespace {

// A JSON string with the standard escapes, "/" included. The text must be valid UTF-8.
void appendString(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    for (char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '/': out += "\\/"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    out += "\\u00";
                    out += hex[static_cast<unsigned char>(c) >> 4];
                    out += hex[static_cast<unsigned char>(c) & 0xF];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

void appendInteger(std::string& out, std::int64_t value) {
    char digits[20];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

void appendId(std::string& out, const ble::Uuid& id) {
    out += '"';
    id.appendText(out);
    out += '"';
}

}  // namespace

EventStream::EventStream(LineSink sink) : sink_(std::move(sink)) {}

void EventStream::hello() {
    line_ = R"({"event":"hello","protocol":1)";
    finish();
}

void EventStream::state(std::string_view value) {
    // An event that would not be valid UTF-8 is not written at all.
    if (!simdjson::validate_utf8(value)) return;
    line_ = R"({"event":"state","value":)";
    appendString(line_, value);
    finish();
}

void EventStream::peerConnected(const ble::Uuid& id, std::int64_t mtu) { peer(id, true, mtu); }

void EventStream::peerDisconnected(const ble::Uuid& id, std::int64_t mtu) { peer(id, false, mtu); }

void EventStream::peer(const ble::Uuid& id, bool connected, std::int64_t mtu) {
    line_ = connected ? R"({"connected":true,"event":"peer","id":)" : R"({"connected":false,"event":"peer","id":)";
    appendId(line_, id);
    line_ += R"(,"mtu":)";
    appendInteger(line_, mtu);
    finish();
}

void EventStream::frame(const ble::Uuid& id, std::span<const std::uint8_t> data) {
    base64_.clear();
    appendBase64(base64_, data);
    line_ = R"({"data":)";
    appendString(line_, base64_);
    line_ += R"(,"event":"frame","id":)";
    appendId(line_, id);
    finish();
}

void EventStream::write(const ble::Uuid& id, bool accepted, std::int64_t bytes) {
    line_ = accepted ? R"({"accepted":true,"bytes":)" : R"({"accepted":false,"bytes":)";
    appendInteger(line_, bytes);
    line_ += R"(,"event":"write","id":)";
    appendId(line_, id);
    finish();
}

void EventStream::finish() {
    line_ += "}\n";
    sink_(line_);
}

LineSink standardOutput() {
    // A reader that went away must cost the line, not the process: EPIPE instead of SIGPIPE.
    static const bool sigpipeIgnored = [] {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        return sigaction(SIGPIPE, &ignore, nullptr) == 0;
    }();
    (void)sigpipeIgnored;
    return [](std::string_view line) {
        while (!line.empty()) {
            const ssize_t n = ::write(STDOUT_FILENO, line.data(), line.size());
            if (n >= 0) {
                line.remove_prefix(static_cast<std::size_t>(n));
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // Standard output was handed over non-blocking: wait until it drains.
                pollfd out{.fd = STDOUT_FILENO, .events = POLLOUT, .revents = 0};
                ::poll(&out, 1, -1);
            } else if (errno != EINTR) {
                return;  // closed or failing: the line is lost
            }
        }
    };
}

}  // namespace protocol
