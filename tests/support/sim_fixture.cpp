#include "support/sim_fixture.hpp"

#include <cstdio>
#include <ostream>
#include <gtest/gtest.h>

#include "codec/base64.hpp"

namespace sim {

void PrintTo(const Request& r, std::ostream* out) {
    static constexpr const char* names[] = {"scan", "stopScan", "connect", "cancelConnection", "discoverServices",
                                            "discoverCharacteristics", "setNotifyValue", "write"};
    *out << names[static_cast<int>(r.kind)];
    if (r.peripheral != codec::Uuid{}) *out << " " << r.peripheral.text();
    for (const codec::Uuid& u : r.uuids) *out << " " << u.text();
    if (r.serviceInstance >= 0) *out << " service#" << r.serviceInstance;
    if (r.characteristic != codec::Uuid{}) *out << " " << r.characteristic.text();
    if (r.flag) *out << " (flag)";
    if (r.kind == Request::Kind::write) *out << " " << ::testing::PrintToString(r.bytes);
}

}  // namespace sim

namespace testsupport {

std::string peerId(unsigned n) {
    char text[37];
    std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012X", n);
    return text;
}

codec::Uuid uuid(std::string_view text) { return codec::Uuid::of(text); }

codec::Bytes bytes(std::string_view text) { return codec::Bytes(text.begin(), text.end()); }

Peer::Peer(std::string_view id) { spec_.id = uuid(id); }

Peer& Peer::advertiseAt(sim::Ms at) {
    spec_.advertiseAt = at;
    return *this;
}
Peer& Peer::name(std::string_view name) {
    spec_.name = std::string(name);
    return *this;
}
Peer& Peer::address(std::string_view address) {
    spec_.address = std::string(address);
    return *this;
}
Peer& Peer::rssi(int dbm) {
    spec_.rssi = {{sim::Ms{0}, dbm}};
    return *this;
}
Peer& Peer::rssiAt(sim::Ms at, int dbm) {
    spec_.rssi.push_back({at, dbm});
    return *this;
}
Peer& Peer::profile(const ble::GattProfile& uuids) {
    spec_.profile = uuids;
    return *this;
}
Peer& Peer::services(int count) {
    spec_.serviceCount = count;
    return *this;
}
Peer& Peer::noInbox() {
    spec_.inbox = false;
    return *this;
}
Peer& Peer::noOutbox() {
    spec_.outbox = false;
    return *this;
}
Peer& Peer::outboxNotifying() {
    spec_.outboxNotifying = true;
    return *this;
}
Peer& Peer::writeLimit(std::size_t limit) {
    spec_.writeLimit = {{sim::Ms{0}, limit}};
    return *this;
}
Peer& Peer::writeLimitAt(sim::Ms at, std::size_t limit) {
    spec_.writeLimit.push_back({at, limit});
    return *this;
}
Peer& Peer::connectFails() {
    spec_.connectFails = true;
    return *this;
}
Peer& Peer::discoverServicesFails() {
    spec_.discoverServicesFails = true;
    return *this;
}
Peer& Peer::discoverCharacteristicsFails() {
    spec_.discoverCharacteristicsFails = true;
    return *this;
}
Peer& Peer::subscribeFails() {
    spec_.subscribeFails = true;
    return *this;
}
Peer& Peer::failAllWrites() {
    spec_.writeFailures.all = true;
    return *this;
}
Peer& Peer::failFirstAttempts(std::uint32_t n) {
    spec_.writeFailures.firstAttemptsOfEachFrame = n;
    return *this;
}
Peer& Peer::failWrite(std::uint64_t nth) {
    spec_.writeFailures.nth.push_back(nth);
    return *this;
}
Peer& Peer::delays(sim::Delays d) {
    spec_.delays = d;
    return *this;
}
Peer& Peer::disconnectAt(sim::Ms at) {
    spec_.disconnectAt.push_back(at);
    return *this;
}
Peer& Peer::disconnectAfterWrites(std::uint64_t n) {
    spec_.disconnectAfterWrites = n;
    return *this;
}
Peer& Peer::readvertiseAfter(sim::Ms after) {
    spec_.readvertiseAfter = after;
    return *this;
}
Peer& Peer::notification(sim::Ms after, codec::Bytes value) {
    spec_.notifications.push_back({after, std::move(value)});
    return *this;
}
Peer& Peer::echo() {
    spec_.echo = true;
    return *this;
}

namespace line {

std::string hello() { return R"({"event":"hello","protocol":1})"; }

std::string state(std::string_view value) { return R"({"event":"state","value":")" + std::string(value) + "\"}"; }

std::string peer(std::string_view id, bool connected, int mtu) {
    return R"({"connected":)" + std::string(connected ? "true" : "false") + R"(,"event":"peer","id":")" +
           std::string(id) + R"(","mtu":)" + std::to_string(mtu) + "}";
}

std::string frame(std::string_view id, const codec::Bytes& data) {
    std::string base64;
    codec::appendBase64(base64, data);
    std::string escaped;
    for (char c : base64) escaped += c == '/' ? std::string("\\/") : std::string(1, c);
    return R"({"data":")" + escaped + R"(","event":"frame","id":")" + std::string(id) + "\"}";
}

std::string write(std::string_view id, bool accepted, int bytes) {
    return R"({"accepted":)" + std::string(accepted ? "true" : "false") + R"(,"bytes":)" + std::to_string(bytes) +
           R"(,"event":"write","id":")" + std::string(id) + "\"}";
}

}  // namespace line

SimFixture::SimFixture(sim::WorldSpec world, Session session)
    : world_(std::move(world), queue_),
      session_(std::move(session)),
      events_(
          [this](std::string_view text) {
              if (text.empty() || text.back() != '\n') ADD_FAILURE() << "an event line without its line feed: " << text;
              // Held lines come several at once.
              for (std::size_t end; (end = text.find('\n')) != std::string_view::npos; text.remove_prefix(end + 1))
                  lines_.emplace_back(text.substr(0, end));
          },
          static_cast<protocol::Protocol>(session_.protocol)) {
    world_.setRecording(true);
}

SimFixture::SimFixture(std::vector<sim::PeripheralSpec> peripherals, Session session)
    : SimFixture(sim::WorldSpec{.peripherals = std::move(peripherals)}, std::move(session)) {}

void SimFixture::start() {
    ble::Diagnostics diagnostics;
    if (session_.verbose) diagnostics = [this](std::string_view line) { diagnostics_.emplace_back(line); };
    bridge_ = bridge::Bridge::create({
        .queue = queue_,
        .reports = events_,
        .makeCentral = session_.decorate ? session_.decorate(world_.centralFactory()) : world_.centralFactory(),
        .readCommands = [this](std::weak_ptr<bridge::CommandTarget> target) { target_ = std::move(target); },
        .profile = session_.profile,
        .filter = bridge::PeerFilter(session_.filter),
        .diagnostics = std::move(diagnostics),
    });
}

void SimFixture::send(std::string_view id, codec::Bytes payload) {
    queue_.post([target = target_, id = uuid(id), payload = std::move(payload)]() mutable {
        if (auto t = target.lock()) t->send(id, std::move(payload));
    });
}

void SimFixture::sendTagged(std::string_view id, codec::Bytes payload, std::string tag) {
    queue_.post([target = target_, id = uuid(id), payload = std::move(payload), tag = std::move(tag)]() mutable {
        if (auto t = target.lock()) t->sendTagged(id, std::move(payload), std::move(tag));
    });
}

void SimFixture::reject(std::uint64_t line, bridge::LineError reason) {
    queue_.post([target = target_, rejection = bridge::Rejection{line, reason}] {
        if (auto t = target.lock()) t->reject(rejection);
    });
}

void SimFixture::disconnectPeer(std::string_view id) {
    queue_.post([target = target_, id = uuid(id)] {
        if (auto t = target.lock()) t->disconnectPeer(id);
    });
}

void SimFixture::connectPeer(std::string_view id) {
    queue_.post([target = target_, id = uuid(id)] {
        if (auto t = target.lock()) t->connectPeer(id);
    });
}

void SimFixture::stop() {
    queue_.post([target = target_] {
        if (auto t = target.lock()) t->stop();
    });
}

std::chrono::milliseconds SimFixture::now() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(queue_.now().time_since_epoch());
}

std::vector<std::string> SimFixture::takeLines() { return std::exchange(lines_, {}); }

std::vector<sim::Request> SimFixture::requests(sim::Request::Kind kind) const {
    std::vector<sim::Request> found;
    for (const sim::Request& r : world_.requests())
        if (r.kind == kind) found.push_back(r);
    return found;
}

std::vector<codec::Bytes> SimFixture::writes(std::string_view id) const {
    std::vector<codec::Bytes> found;
    for (const sim::Request& r : world_.requests())
        if (r.kind == sim::Request::Kind::write && r.peripheral == uuid(id)) found.push_back(r.bytes);
    return found;
}

}  // namespace testsupport
