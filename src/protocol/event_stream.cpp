#include "protocol/event_stream.hpp"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <simdjson.h>
#include <unistd.h>

#include "codec/base64.hpp"
#include "codec/json_text.hpp"
#include "protocol/version.hpp"

namespace protocol {

using bridge::LineError;
using bridge::PeerEnd;
using bridge::reasonName;
using bridge::WriteOutcome;

namespace {

using codec::appendJsonInteger;
using codec::appendJsonString;

// `"address":A,` where the stack shows one: the first key of the events that have it.
void appendAddress(std::string& out, const std::optional<std::string>& address) {
    if (!address) return;
    out += R"("address":)";
    appendJsonString(out, *address);
    out += ',';
}

void appendId(std::string& out, const codec::Uuid& id) {
    out += '"';
    id.appendText(out);
    out += '"';
}

}  // namespace

EventStream::EventStream(LineSink sink, Protocol protocol)
    : sink_(std::move(sink)), answersAll_(protocol == Protocol::v2) {}

void EventStream::hello() {
    if (answersAll_) {
        line_ = R"({"event":"hello","protocol":2,"version":)";
        appendJsonString(line_, programVersion);
    } else {
        line_ = R"({"event":"hello","protocol":1)";
    }
    finish();
}

void EventStream::state(std::string_view value, std::string_view reason) {
    // Protocol 1 shows no reason: a change of reason alone would repeat the line before.
    const bool reasonOnly = stateValue_ && *stateValue_ == value && stateReason_ != reason;
    stateValue_ = value;
    stateReason_ = reason;
    if (reasonOnly && !answersAll_) return;
    // An event that would not be valid UTF-8 is not written at all.
    if (!simdjson::validate_utf8(value) || !simdjson::validate_utf8(reason)) return;
    line_ = R"({"event":"state",)";
    if (answersAll_ && !reason.empty()) {
        line_ += R"("reason":)";
        appendJsonString(line_, reason);
        line_ += ',';
    }
    line_ += R"("value":)";
    appendJsonString(line_, value);
    finish();
}

void EventStream::peerConnected(const bridge::ReadyPeer& peer) {
    if (!answersAll_) return this->peer(peer.id, true, peer.mtu);
    // Keys in byte order.
    line_ = "{";
    appendAddress(line_, peer.address);
    line_ += R"("connected":true,"event":"peer","id":)";
    appendId(line_, peer.id);
    line_ += R"(,"mtu":)";
    appendJsonInteger(line_, peer.mtu);
    appendNameAndRssi(peer.name, peer.rssi);
    finish();
}

void EventStream::found(const bridge::Sighting& sighting) {
    line_ = "{";
    appendAddress(line_, sighting.address);
    line_ += R"("event":"found","id":)";
    appendId(line_, sighting.id);
    appendNameAndRssi(sighting.name, sighting.rssi);
    finish();
}

void EventStream::appendNameAndRssi(const std::optional<std::string>& name, const std::optional<int>& rssi) {
    // A name that is not valid UTF-8 is left out rather than the event.
    if (name && simdjson::validate_utf8(*name)) {
        line_ += R"(,"name":)";
        appendJsonString(line_, *name);
    }
    if (rssi) {
        line_ += R"(,"rssi":)";
        appendJsonInteger(line_, *rssi);
    }
}

void EventStream::peerDisconnected(const codec::Uuid& id, std::int64_t mtu, PeerEnd reason) {
    if (!answersAll_) return peer(id, false, mtu);
    line_ = R"({"connected":false,"event":"peer","id":)";
    appendId(line_, id);
    line_ += R"(,"mtu":)";
    appendJsonInteger(line_, mtu);
    line_ += R"(,"reason":)";
    appendJsonString(line_, reasonName(reason));
    finish();
}

void EventStream::peer(const codec::Uuid& id, bool connected, std::int64_t mtu) {
    line_ = connected ? R"({"connected":true,"event":"peer","id":)" : R"({"connected":false,"event":"peer","id":)";
    appendId(line_, id);
    line_ += R"(,"mtu":)";
    appendJsonInteger(line_, mtu);
    finish();
}

void EventStream::mtu(const codec::Uuid& id, std::int64_t mtu) {
    if (!answersAll_) return;
    line_ = R"({"event":"mtu","id":)";
    appendId(line_, id);
    line_ += R"(,"mtu":)";
    appendJsonInteger(line_, mtu);
    finish();
}

void EventStream::rejected(const bridge::Rejection& rejection) {
    if (!answersAll_) return;
    line_ = R"({"event":"rejected","line":)";
    appendJsonInteger(line_, static_cast<std::int64_t>(rejection.line));
    line_ += R"(,"reason":)";
    appendJsonString(line_, reasonName(rejection.reason));
    finish();
}

void EventStream::pairing(const codec::Uuid& id, const ble::PairingRequest& request) {
    if (!answersAll_) return;
    using Method = ble::PairingRequest::Method;
    line_ = R"({"event":"pairing","id":)";
    appendId(line_, id);
    line_ += R"(,"method":)";
    appendJsonString(line_, request.method == Method::passkey     ? "passkey"
                            : request.method == Method::confirm   ? "confirm"
                            : request.method == Method::authorize ? "authorize"
                                                                  : "display");
    if (request.passkey) {
        line_ += R"(,"passkey":)";
        appendJsonInteger(line_, *request.passkey);
    }
    finish();
}

void EventStream::pairingEnded(const codec::Uuid& id, ble::PairingEnd end) {
    if (!answersAll_) return;
    line_ = R"({"event":"pairing_ended","id":)";
    appendId(line_, id);
    line_ += R"(,"reason":)";
    appendJsonString(line_, end == ble::PairingEnd::timedOut ? "timeout" : "cancelled");
    finish();
}

void EventStream::frame(const codec::Uuid& id, std::span<const std::uint8_t> data) {
    base64_.clear();
    codec::appendBase64(base64_, data);
    line_ = R"({"data":)";
    appendJsonString(line_, base64_);
    line_ += R"(,"event":"frame","id":)";
    appendId(line_, id);
    finish();
}

void EventStream::write(const codec::Uuid& id, WriteOutcome outcome, std::int64_t bytes, std::string_view tag) {
    const bool accepted = outcome == WriteOutcome::written;
    if (!answersAll_ && !accepted && outcome != WriteOutcome::writeFailed && outcome != WriteOutcome::failedAsPeerWent &&
        outcome != WriteOutcome::pairingRequired)
        return;
    line_ = accepted ? R"({"accepted":true,"bytes":)" : R"({"accepted":false,"bytes":)";
    appendJsonInteger(line_, bytes);
    line_ += R"(,"event":"write","id":)";
    appendId(line_, id);
    if (answersAll_) {
        if (!accepted) {
            line_ += R"(,"reason":)";
            appendJsonString(line_, reasonName(outcome));
        }
        if (!tag.empty()) {
            line_ += R"(,"tag":)";
            appendJsonString(line_, tag);
        }
    }
    finish();
}

void EventStream::finish() {
    line_ += "}\n";
    if (held_)
        heldLines_ += line_;
    else
        sink_(line_);
}

void EventStream::release() {
    held_ = false;
    if (heldLines_.empty()) return;
    sink_(heldLines_);
    heldLines_.clear();
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
