// Frames from the client to a peer: admission, one write with response at a time, and retries.
#include "runtime/bridge.hpp"
#include "runtime/constants.hpp"

namespace runtime {

void Bridge::send(const ble::Uuid& id, ble::Bytes payload) {
    // Every drop here is silent: the protocol has no error events.
    if (payload.size() > maxSendBytes) return;
    LinkPtr link = links_.find(id);
    if (!link || !link->announced || link->writes.size() >= maxQueuedWrites) return;
    link->writes.push_back(std::move(payload));
    pump(*link);
}

void Bridge::pump(Link& link) {
    while (!link.writing && !link.writeRetryScheduled && link.inbox && !link.writes.empty()) {
        // Read afresh: the peripheral's limit can change while frames wait.
        if (link.writes.front().size() <= link.peripheral->maximumWriteValueLength()) {
            link.writing = true;
            ++link.writeAttemptCount;
            link.peripheral->writeValue(link.writes.front(), link.inbox);
            return;
        }
        // Frames are never split: one that cannot go in a single write is discarded. Its failed
        // attempts go with it, so the next frame still gets every attempt it is promised.
        link.writes.pop_front();
        link.writeAttemptCount = 0;
    }
}

void Bridge::didWriteValue(const ble::PeripheralPtr& p, const ble::CharacteristicPtr&,
                           const std::optional<ble::Error>& error) {
    LinkPtr link = links_.find(p->identifier());
    if (!link) return;
    const std::int64_t bytes = link->writes.empty() ? 0 : static_cast<std::int64_t>(link->writes.front().size());
    link->writing = false;

    bool accepted = !error;
    if (accepted) {
        if (link->writes.empty()) {
            link->writeAttemptCount = 0;
            pump(*link);
            return;
        }
        link->writes.pop_front();
    } else {
        if (link->writeAttemptCount < maximumGattWriteAttempts &&
            p->state() == ble::PeripheralState::connected) {
            link->writeRetryScheduled = true;
            env_.queue.postAfter(gattWriteRetryDelay,
                                 [weak = weak_from_this(), p, link] {
                                     if (auto bridge = weak.lock()) bridge->retry(p, link);
                                 });
            return;
        }
        if (!link->writes.empty()) link->writes.pop_front();
    }

    link->writeAttemptCount = 0;
    if (bytes >= 1) env_.events.write(p->identifier(), accepted, bytes);
    pump(*link);
}

void Bridge::retry(const ble::PeripheralPtr& p, const LinkPtr& link) {
    // A link that was replaced, or whose peripheral is no longer connected, stays waiting for
    // good: it issues no further write and its frames go when the link is removed.
    if (links_.find(p->identifier()) != link || p->state() != ble::PeripheralState::connected) return;
    link->writeRetryScheduled = false;
    pump(*link);
}

}  // namespace runtime
