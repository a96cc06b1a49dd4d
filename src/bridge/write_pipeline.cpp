// Frames from the client to a peer: admission, one write with response at a time, retries, and
// the outcome of every frame.
#include <algorithm>

#include "bridge/bridge.hpp"
#include "bridge/constants.hpp"

namespace bridge {


namespace {

std::string_view discardReason(WriteOutcome outcome) {
    switch (outcome) {
        case WriteOutcome::tooLong: return "too long";
        case WriteOutcome::unknownPeer: return "unknown peer";
        case WriteOutcome::notReady: return "peer not ready";
        case WriteOutcome::queueFull: return "queue full";
        case WriteOutcome::writeFailed: return "write failed";
        case WriteOutcome::failedAsPeerWent: return "write failed as the peer went";
        case WriteOutcome::peerGone: return "peer gone";
        case WriteOutcome::pairingRequired: return "the device wants a pairing";
        case WriteOutcome::written: break;
    }
    return "";
}

// "send 7", and its tag where it has one that prints on one line: "send 7 (tag "m7")".
std::string frameName(const QueuedFrame& frame) {
    std::string name = "send " + std::to_string(frame.number);
    const bool printable = std::none_of(frame.tag.begin(), frame.tag.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f || c == '"';
    });
    if (!frame.tag.empty() && printable) name += " (tag \"" + frame.tag + "\")";
    return name;
}

}  // namespace

void Bridge::send(const codec::Uuid& id, codec::Bytes payload) { admit(id, std::move(payload), {}); }

void Bridge::sendTagged(const codec::Uuid& id, codec::Bytes payload, std::string tag) {
    admit(id, std::move(payload), std::move(tag));
}

void Bridge::admit(const codec::Uuid& id, codec::Bytes payload, std::string tag) {
    QueuedFrame frame{std::move(payload), std::move(tag), ++sendsTaken_};
    LinkPtr link = links_.find(id);
    // Checked in this order; a refusal is reported at once (protocol 1 reports none).
    const WriteOutcome refusal = frame.payload.size() > maxSendBytes           ? WriteOutcome::tooLong
                                 : !link                                       ? WriteOutcome::unknownPeer
                                 : !link->announced                            ? WriteOutcome::notReady
                                 : link->writes.size() >= maxQueuedWrites      ? WriteOutcome::queueFull
                                                                               : WriteOutcome::written;
    if (refusal != WriteOutcome::written) return outcome(id, refusal, frame);
    link->writes.push_back(std::move(frame));
    pump(*link);
}

void Bridge::pump(Link& link) {
    while (!link.writing && !link.writeRetryScheduled && link.inbox && !link.writes.empty()) {
        // Read afresh: the peripheral's limit can change while frames wait.
        const std::size_t writeLimit = link.peripheral->maximumWriteValueLength();
        const std::int64_t mtu = announcedMtu(writeLimit);
        if (mtu != link.reportedMtu) {
            link.reportedMtu = mtu;
            diagnose("peer ", link.peripheral->identifier(), ": write limit now ",
                     static_cast<std::int64_t>(writeLimit));
            env_.reports.mtu(link.peripheral->identifier(), mtu);
        }
        if (link.writes.front().payload.size() <= writeLimit) {
            link.writing = true;
            ++link.writeAttemptCount;
            link.peripheral->writeValue(link.writes.front().payload, link.inbox);
            return;
        }
        // Frames are never split: one that cannot go in a single write is discarded. Its failed
        // attempts go with it, so the next frame still gets every attempt it is promised.
        QueuedFrame discarded = std::move(link.writes.front());
        link.writes.pop_front();
        link.writeAttemptCount = 0;
        outcome(link.peripheral->identifier(), WriteOutcome::tooLong, discarded);
    }
}

void Bridge::didWriteValue(const ble::PeripheralPtr& p, const ble::CharacteristicPtr&,
                           const std::optional<ble::Error>& error) {
    LinkPtr link = links_.find(p->identifier());
    if (!link) return;
    link->writing = false;
    // Empty only when a completion comes with nothing in flight; a failure still counts.
    const bool inFlight = !link->writes.empty();
    const bool connected = p->state() == ble::PeripheralState::connected;
    if (error) {
        const bool again = link->writeAttemptCount < maximumGattWriteAttempts && connected;
        // The stack's error says what failed: "send 7, attempt 1 of 3: the write failed; retrying".
        if (inFlight)
            diagnose("peer ", p->identifier(), ": ", frameName(link->writes.front()), ", attempt ",
                     link->writeAttemptCount, " of ", maximumGattWriteAttempts, ": ", error->what,
                     again ? "; retrying" : connected ? "" : "; peer no longer connected");
        if (again) {
            if (inFlight) env_.reports.writeRetried(p->identifier());
            link->writeRetryScheduled = true;
            // The link owns its retry, and the bridge its links: the task can count on both.
            link->retryTimer = env_.queue.postAfter(gattWriteRetryDelay, [this, p, l = link.get()] { retry(p, *l); });
            return;
        }
    }
    link->writeAttemptCount = 0;
    if (inFlight) {
        const QueuedFrame done = std::move(link->writes.front());
        link->writes.pop_front();
        outcome(p->identifier(),
                !error                ? WriteOutcome::written
                : !connected          ? WriteOutcome::failedAsPeerWent
                : error->wantsPairing ? WriteOutcome::pairingRequired
                                      : WriteOutcome::writeFailed,
                done);
    }
    pump(*link);
}

void Bridge::retry(const ble::PeripheralPtr& p, Link& link) {
    // A link whose peripheral is no longer connected stays waiting for good: it issues no
    // further write and its frames go when the link is removed.
    if (p->state() != ble::PeripheralState::connected) return;
    link.writeRetryScheduled = false;
    pump(link);
}

void Bridge::outcome(const codec::Uuid& id, WriteOutcome outcome, const QueuedFrame& frame) {
    const auto bytes = static_cast<std::int64_t>(frame.payload.size());
    if (outcome != WriteOutcome::written)
        diagnose("peer ", id, ": ", frameName(frame), " of ", bytes, " bytes not written: ", discardReason(outcome));
    env_.reports.write(id, outcome, bytes, frame.tag);
}

}  // namespace bridge
