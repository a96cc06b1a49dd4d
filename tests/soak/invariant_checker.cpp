#include "soak/invariant_checker.hpp"

#include <algorithm>
#include <set>
#include <simdjson.h>

#include "ble/gatt_profile.hpp"
#include "bridge/constants.hpp"
#include "support/sim_fixture.hpp"

namespace soak {

namespace {

using namespace std::chrono_literals;

constexpr std::size_t maxSendBytes = 16384;
constexpr std::size_t maxQueuedWrites = 512;
constexpr int maxIssues = 3;
constexpr auto retryDelay = 200ms;

std::string stateName(int state) {
    switch (state) {
        case ble::ManagerState::unknown: return "unknown";
        case ble::ManagerState::resetting: return "resetting";
        case ble::ManagerState::unsupported: return "unsupported";
        case ble::ManagerState::unauthorized: return "unauthorized";
        case ble::ManagerState::poweredOff: return "powered_off";
        case ble::ManagerState::poweredOn: return "ready";
        default: return "failed";
    }
}

}  // namespace

Counts& Counts::operator+=(const Counts& o) {
    lines += o.lines;
    sends += o.sends;
    admitted += o.admitted;
    writesIssued += o.writesIssued;
    retries += o.retries;
    acceptedTrue += o.acceptedTrue;
    acceptedFalse += o.acceptedFalse;
    discardedTooLong += o.discardedTooLong;
    discardedWithLink += o.discardedWithLink;
    discardedAtStop += o.discardedAtStop;
    frames += o.frames;
    announcements += o.announcements;
    checks += o.checks;
    longestQueue = std::max(longestQueue, o.longestQueue);
    return *this;
}

bool InvariantChecker::expect(bool ok, const std::string& what) {
    ++counts_.checks;
    if (!ok && violations_.size() < 20) violations_.push_back("at " + now() + ": " + what);
    return ok;
}

std::string InvariantChecker::now() const {
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(queue_.now().time_since_epoch()).count()) +
           " ms";
}

std::int64_t InvariantChecker::writeLimit(const codec::Uuid& id) const {
    return static_cast<std::int64_t>(spy_.writeLimit(id).value_or(0));
}

void InvariantChecker::closeDue() {
    if (due_.required) {
        const char* kinds[] = {"nothing", "state", "frame", "write", "peer"};
        expect(false, std::string("no \"") + kinds[static_cast<int>(due_.kind)] + "\" line after its callback for " +
                          due_.id.text());
    }
    due_ = {};
}

void InvariantChecker::stateUpdated(int state) {
    closeDue();
    due_ = {.kind = Due::Kind::state, .required = true, .state = stateName(state)};
}

void InvariantChecker::connectionEnded(const codec::Uuid& id) {
    closeDue();
    Peer& peer = peers_[id];
    // The connection's pending write is never answered now.
    peer.inFlight = false;
    due_ = {.kind = Due::Kind::peerGone, .required = peer.announced || !peer.waiting.empty(), .id = id};
}

void InvariantChecker::valueUpdated(const codec::Uuid& id, const ble::CharacteristicPtr& c,
                                    std::span<const std::uint8_t> value, bool error) {
    closeDue();
    if (!error && c->uuid() == ble::defaultOutboxUuid && !value.empty())
        due_ = {.kind = Due::Kind::frame, .required = true, .id = id, .frame = codec::Bytes(value.begin(), value.end())};
}

void InvariantChecker::writeIssued(const codec::Uuid& id, const codec::Bytes& value, std::size_t limit) {
    closeDue();
    ++counts_.writesIssued;
    Peer& peer = peers_[id];
    const std::string who = " (" + id.text() + ", " + std::to_string(value.size()) + " bytes)";
    expect(!stopped_, "a write after stop" + who);
    expect(peer.announced, "a write to a peer that is not announced" + who);
    expect(!peer.inFlight, "a second write in flight" + who);
    expect(value.size() <= limit, "a write longer than the write limit " + std::to_string(limit) + who);
    auto it = std::find_if(peer.waiting.begin(), peer.waiting.end(), [&](const Frame& f) { return f.bytes == value; });
    if (!expect(it != peer.waiting.end(), "a write of a frame that is not waiting" + who)) return;
    for (auto skipped = peer.waiting.begin(); skipped != it; ++skipped) {
        expect(skipped->bytes.size() > limit, "a frame that fits the write limit was skipped" + who);
        ++counts_.discardedTooLong;
    }
    peer.waiting.erase(peer.waiting.begin(), it);
    Frame& head = peer.waiting.front();
    if (head.issues > 0) {
        ++counts_.retries;
        expect(peer.lastFailed, "a frame written again after it succeeded" + who);
        expect(queue_.now() - peer.lastDoneAt >= retryDelay, "a retry sooner than 200 ms after the failure" + who);
    }
    ++head.issues;
    expect(head.issues <= maxIssues, "a frame issued more than 3 times" + who);
    peer.inFlight = true;
}

void InvariantChecker::writeDone(const codec::Uuid& id, bool error, int peripheralState) {
    closeDue();
    Peer& peer = peers_[id];
    expect(peer.inFlight, "a write completion without a write in flight for " + id.text());
    peer.inFlight = false;
    peer.lastFailed = error;
    peer.lastDoneAt = queue_.now();
    if (peer.waiting.empty()) return;
    const bool givenUp = !error || peripheralState != ble::PeripheralState::connected ||
                         peer.waiting.front().issues >= maxIssues;
    if (givenUp) due_ = {.kind = Due::Kind::write, .required = true, .id = id, .accepted = !error};
}

void InvariantChecker::otherCallback() { closeDue(); }

void InvariantChecker::sendTaskRan(const codec::Uuid& id, const codec::Bytes& payload) {
    closeDue();
    ++counts_.sends;
    Peer& peer = peers_[id];
    if (stopped_ || !peer.announced || payload.size() > maxSendBytes || peer.waiting.size() >= maxQueuedWrites) return;
    ++counts_.admitted;
    peer.waiting.push_back({payload});
    counts_.longestQueue = std::max(counts_.longestQueue, peer.waiting.size());
}

void InvariantChecker::stopTaskRan() {
    closeDue();
    if (stopped_) return;
    stopped_ = true;
    for (auto& [id, peer] : peers_) {
        counts_.discardedAtStop += peer.waiting.size();
        peer.waiting.clear();
    }
}

void InvariantChecker::line(std::string_view text) {
    ++counts_.lines;
    const std::string shown(text.substr(0, 200));
    if (!expect(!text.empty() && text.back() == '\n' && text.find('\n') == text.size() - 1,
                "a line that is not one line: " + shown))
        return;
    text.remove_suffix(1);
    expect(!stopped_, "a line after stop: " + shown);

    simdjson::dom::object object;
    if (!expect(parser_.parse(text.data(), text.size()).get(object) == simdjson::SUCCESS, "not a JSON object: " + shown))
        return;
    std::map<std::string, simdjson::dom::element> fields;
    for (auto [key, value] : object) fields[std::string(key)] = value;
    std::string_view event;
    if (!expect(fields.count("event") && fields["event"].get(event) == simdjson::SUCCESS, "no event name: " + shown))
        return;
    std::string_view idText;
    if (fields.count("id") && fields["id"].get(idText) != simdjson::SUCCESS) idText = {};
    const auto id = codec::Uuid::parse(idText);
    auto keysAre = [&](std::set<std::string> keys) {
        std::set<std::string> found;
        for (const auto& [key, value] : fields) found.insert(key);
        return expect(found == keys, "unexpected keys: " + shown) && (!keys.count("id") || expect(id.has_value(), "a bad id: " + shown));
    };

    if (!helloSeen_) {
        expect(event == "hello" && std::string(text) == testsupport::line::hello(), "the first line is not hello: " + shown);
        helloSeen_ = true;
        return;
    }
    if (event == "state") {
        std::string_view value;
        if (!keysAre({"event", "value"}) || !expect(fields["value"].get(value) == simdjson::SUCCESS, shown)) return;
        expect(text == testsupport::line::state(value), "not the exact form: " + shown);
        expect(due_.kind == Due::Kind::state && due_.state == value, "a state line without its callback: " + shown);
        due_ = {};
    } else if (event == "peer") {
        bool connected = false;
        std::int64_t mtu = 0;
        if (!keysAre({"connected", "event", "id", "mtu"}) ||
            !expect(fields["connected"].get(connected) == simdjson::SUCCESS && fields["mtu"].get(mtu) == simdjson::SUCCESS,
                    shown))
            return;
        expect(text == testsupport::line::peer(id->text(), connected, static_cast<int>(mtu)), "not the exact form: " + shown);
        checkPeerLine(*id, connected, mtu);
    } else if (event == "frame") {
        std::string_view data;
        if (!keysAre({"data", "event", "id"}) || !expect(fields["data"].get(data) == simdjson::SUCCESS, shown)) return;
        ++counts_.frames;
        if (!expect(due_.kind == Due::Kind::frame && due_.id == *id, "a frame line without its notification: " + shown))
            return;
        expect(text == testsupport::line::frame(id->text(), due_.frame), "not the notified bytes in the exact form: " + shown);
        due_ = {};
    } else if (event == "write") {
        bool accepted = false;
        std::int64_t bytes = 0;
        if (!keysAre({"accepted", "bytes", "event", "id"}) ||
            !expect(fields["accepted"].get(accepted) == simdjson::SUCCESS && fields["bytes"].get(bytes) == simdjson::SUCCESS,
                    shown))
            return;
        expect(text == testsupport::line::write(id->text(), accepted, static_cast<int>(bytes)), "not the exact form: " + shown);
        checkWriteLine(*id, accepted, bytes);
    } else {
        expect(false, "an unknown event: " + shown);
    }
}

void InvariantChecker::checkPeerLine(const codec::Uuid& id, bool connected, std::int64_t mtu) {
    Peer& peer = peers_[id];
    const std::int64_t fromLimit = std::max<std::int64_t>(writeLimit(id) + 3, 23);
    if (connected) {
        ++counts_.announcements;
        expect(due_.kind == Due::Kind::nothing, "an announcement in place of an expected line for " + id.text());
        expect(!peer.announced, "a second announcement of one link: " + id.text());
        expect(mtu == std::min<std::int64_t>(fromLimit, 517), "an announcement with mtu " + std::to_string(mtu));
        peer.announced = true;
        return;
    }
    expect(due_.kind == Due::Kind::peerGone && due_.id == id, "a peer lost without its connection ending: " + id.text());
    expect(mtu == fromLimit, "a lost peer with mtu " + std::to_string(mtu));
    due_ = {};
    counts_.discardedWithLink += peer.waiting.size();
    peer = Peer{};
}

void InvariantChecker::checkWriteLine(const codec::Uuid& id, bool accepted, std::int64_t bytes) {
    Peer& peer = peers_[id];
    const std::string who = " (" + id.text() + ")";
    if (!expect(due_.kind == Due::Kind::write && due_.id == id, "a write line without a completion that ends a frame" + who))
        return;
    expect(accepted == due_.accepted, "a write line whose outcome is not its completion's" + who);
    due_ = {};
    if (!expect(!peer.waiting.empty(), "a write line with no frame waiting" + who)) return;
    expect(static_cast<std::size_t>(bytes) == peer.waiting.front().bytes.size(),
           "a write line for another frame than the one written" + who);
    (accepted ? counts_.acceptedTrue : counts_.acceptedFalse) += 1;
    peer.waiting.pop_front();
}

void InvariantChecker::afterStep(const bridge::Bridge& bridge) {
    closeDue();
    bridge.links().forEach([&](const bridge::LinkPtr& link) {
        expect(link->writes.size() <= maxQueuedWrites, "a queue of " + std::to_string(link->writes.size()) + " frames");
    });
    if (stopped_) return;
    for (auto& [id, peer] : peers_) {
        const bridge::LinkPtr link = bridge.links().find(id);
        if (peer.waiting.empty()) {
            expect(!link || link->writes.empty(), "a queue holds frames that were not admitted: " + id.text());
            continue;
        }
        if (!expect(link != nullptr, "admitted frames vanished with a link that was not reported lost: " + id.text()))
            continue;
        // The link's queue is what is waiting here, less frames skipped as too long.
        const auto limit = static_cast<std::size_t>(writeLimit(id));
        std::size_t next = 0;
        std::deque<Frame> kept;
        for (Frame& f : peer.waiting) {
            if (next < link->writes.size() && link->writes[next].payload == f.bytes) {
                kept.push_back(std::move(f));
                ++next;
                continue;
            }
            expect(f.bytes.size() > limit, "a frame that fits the write limit left the queue silently: " + id.text());
            ++counts_.discardedTooLong;
        }
        expect(next == link->writes.size(), "a queue holds frames that were not admitted, or out of order: " + id.text());
        peer.waiting = std::move(kept);
    }
}

void InvariantChecker::settled(const bridge::Bridge& bridge) {
    closeDue();
    for (const auto& [id, peer] : peers_) {
        if (peer.waiting.empty()) continue;
        std::string state = " (no link)";
        if (const bridge::LinkPtr link = bridge.links().find(id))
            state = " (writing " + std::to_string(link->writing) + ", retry scheduled " +
                    std::to_string(link->writeRetryScheduled) + ", attempts " + std::to_string(link->writeAttemptCount) +
                    ", peripheral state " + std::to_string(link->peripheral->state()) + ")";
        expect(false, std::to_string(peer.waiting.size()) + " frames still waiting after a quiet time: " + id.text() + state);
    }
}

std::size_t InvariantChecker::waitingFrames() const {
    std::size_t n = 0;
    for (const auto& [id, peer] : peers_) n += peer.waiting.size();
    return n;
}

void InvariantChecker::finish() { closeDue(); }

}  // namespace soak
