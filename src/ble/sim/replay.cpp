#include "ble/sim/replay.hpp"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <limits>
#include <map>
#include <set>
#include <tuple>
#include <simdjson.h>
#include <vector>

#include "ble/record/recorder.hpp"
#include "ble/gatt_profile.hpp"
#include "ble/sim/world.hpp"
#include "ble/sim/world_file.hpp"
#include "codec/base64.hpp"
#include "codec/json_text.hpp"
#include "codec/uuid.hpp"

namespace sim {

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

constexpr std::int64_t maxMs = std::numeric_limits<std::int32_t>::max();

// Thrown inside this file only: the first problem ends the reading.
struct Bad {
    std::size_t line;
    std::string what;
};

[[noreturn]] void bad(std::size_t line, std::string what) { throw Bad{line, std::move(what)}; }

// One line's object, its keys checked against those its kind may have.
class Line {
public:
    Line(element e, std::size_t number) : number_(number) {
        if (e.get(object_)) bad(number, "not a JSON object");
    }

    void allow(std::initializer_list<std::string_view> keys) const {
        std::set<std::string_view> seen;
        for (auto [key, value] : object_) {
            if (std::find(keys.begin(), keys.end(), key) == keys.end())
                bad(number_, "unknown key \"" + std::string(key) + "\"");
            if (!seen.insert(key).second) bad(number_, "duplicate key \"" + std::string(key) + "\"");
        }
    }
    std::optional<element> get(std::string_view key) const {
        element e;
        if (object_.at_key(key).get(e)) return std::nullopt;
        return e;
    }
    element need(std::string_view key) const {
        auto e = get(key);
        if (!e) bad(number_, "missing \"" + std::string(key) + "\"");
        return *e;
    }
    std::int64_t integer(std::string_view key, std::int64_t min, std::int64_t max) const {
        std::int64_t value = 0;
        if (need(key).get(value) || value < min || value > max)
            bad(number_, "\"" + std::string(key) + "\" must be an integer from " + std::to_string(min) + " to " +
                             std::to_string(max));
        return value;
    }
    bool boolean(std::string_view key) const {
        bool value = false;
        if (need(key).get(value)) bad(number_, "\"" + std::string(key) + "\" must be true or false");
        return value;
    }
    std::string_view text(std::string_view key) const {
        std::string_view value;
        if (need(key).get(value)) bad(number_, "\"" + std::string(key) + "\" must be a string");
        return value;
    }
    codec::Uuid uuid(std::string_view key) const {
        const auto id = codec::Uuid::parseGatt(text(key));
        if (!id) bad(number_, "\"" + std::string(key) + "\" is not a UUID");
        return *id;
    }
    // "data" in base64, of "length" bytes.
    std::string data() const {
        const std::string_view text64 = text("data");
        const auto bytes = codec::decodeBase64(text64);
        if (!bytes) bad(number_, "\"data\" is not base64");
        if (static_cast<std::int64_t>(bytes->size()) != integer("length", 0, maxMs))
            bad(number_, "\"data\" does not hold \"length\" bytes");
        return std::string(text64);
    }
    std::size_t number() const { return number_; }

private:
    simdjson::dom::object object_;
    std::size_t number_;
};

struct TimedData {
    std::int64_t after;
    std::string data;  // base64
};

struct Write {
    bool fails;
    std::int64_t after;
    std::vector<TimedData> notify;
};

// One connection attempt as it went.
struct Connection {
    bool fails = false;
    std::map<std::string_view, std::int64_t> delays;
    bool servicesFail = false, characteristicsFail = false, subscribeFails = false;
    std::vector<Write> writes;
    std::vector<TimedData> notifications;
    std::optional<std::pair<std::size_t, std::int64_t>> drop;  // after so many writes, so long after
    std::optional<std::int64_t> readvertiseAfter;
};

struct Peer {
    codec::Uuid id;
    std::int64_t advertiseAt = 0;
    std::optional<std::string> name;
    std::optional<std::int64_t> rssi;
    std::optional<std::string> address;
    std::optional<std::int64_t> serviceCount;
    std::optional<bool> inbox, outbox, notifying;
    std::vector<std::pair<std::int64_t, std::int64_t>> writeLimit;  // at, limit
    std::vector<Connection> connections;
    std::vector<std::int64_t> disconnectAt;  // drops at these times, whatever the connection

    // The connection under way, if one is.
    bool open = false;
    std::int64_t connectAt = 0, connectedAt = 0, lastStepAt = 0, notifyFrom = 0, lastAnswerAt = 0;
    std::optional<std::int64_t> cancelAt;
    std::optional<std::int64_t> endedAt;  // the last connection's end, until the next discovery
    std::deque<std::int64_t> pendingWrites;
    std::vector<std::pair<std::int64_t, std::string>> beforeAnswer;  // notified while a write was pending
};

class Converter {
public:
    void header(const Line& line) {
        line.allow({"format", "version", "program", "programVersion", "options"});
        if (line.text("format") != record::formatName) bad(line.number(), "not a gattrelay recording");
        const std::int64_t version = line.integer("version", 0, maxMs);
        if (version != record::formatVersion)
            bad(line.number(), "unknown version " + std::to_string(version) + " (this program reads version " +
                                   std::to_string(record::formatVersion) + ")");
        line.text("program");
        line.text("programVersion");
        const Line options(line.need("options"), line.number());
        options.allow({"service", "inbox", "outbox", "peers", "addresses", "names", "minRssi"});
        // The default profile where the recording does not say.
        if (options.get("service")) profile_.service = options.uuid("service");
        if (options.get("inbox")) profile_.inbox = options.uuid("inbox");
        if (options.get("outbox")) profile_.outbox = options.uuid("outbox");
    }

    void event(const Line& line) {
        const std::int64_t t = line.integer("t", 0, maxMs);
        if (t < now_) bad(line.number(), "lines out of time order (" + std::to_string(t) + " after " +
                                             std::to_string(now_) + ")");
        now_ = t;
        const std::string_view kind = line.text("event");
        // Drops right before the adapter goes off are its doing (see state()); any other line
        // between them and it says otherwise.
        if (kind != "state" && kind != "disconnect") dropsBeforeOff_.clear();
        if (kind == "state") {
            line.allow({"t", "event", "state", "reason"});
            state(t, line.integer("state", 0, maxMs), line.text("reason"));
            return;
        }
        if (kind == "discover") {
            line.allow({"t", "event", "peer", "name", "rssi", "address"});
            discover(t, line);
            return;
        }
        static constexpr std::string_view peerEvents[] = {
            "connect",  "connected", "connectFailed", "cancel", "services", "characteristics", "subscribed",
            "limit",    "write",     "written",       "notify", "disconnect"};
        if (std::find(std::begin(peerEvents), std::end(peerEvents), kind) == std::end(peerEvents))
            bad(line.number(), "unknown event \"" + std::string(kind) + "\"");
        Peer& p = peer(line);
        if (kind == "connect" || kind == "connected" || kind == "connectFailed" || kind == "cancel") {
            line.allow({"t", "event", "peer"});
            if (kind == "connect") {
                p.connections.emplace_back();
                p.open = true;
                p.connectAt = t;
                p.cancelAt.reset();
                p.pendingWrites.clear();
                p.beforeAnswer.clear();
                return;
            }
            Connection& c = current(p, line);
            if (kind == "cancel") {
                p.cancelAt = t;
            } else if (kind == "connected") {
                c.delays["connect"] = t - p.connectAt;
                p.connectedAt = p.lastStepAt = p.notifyFrom = p.lastAnswerAt = t;
            } else {
                if (p.cancelAt)
                    c.delays["disconnect"] = t - *p.cancelAt;
                else
                    c.fails = true, c.delays["connect"] = t - p.connectAt;
                end(p, t);
            }
        } else if (kind == "services" || kind == "characteristics" || kind == "subscribed") {
            if (kind == "services") line.allow({"t", "event", "peer", "ok", "count"});
            if (kind == "characteristics") line.allow({"t", "event", "peer", "ok", "inbox", "outbox", "notifying"});
            if (kind == "subscribed") line.allow({"t", "event", "peer", "ok"});
            Connection& c = current(p, line);
            const bool ok = line.boolean("ok");
            const std::string_view delay = kind == "services"          ? "discoverServices"
                                           : kind == "characteristics" ? "discoverCharacteristics"
                                                                       : "subscribe";
            c.delays[delay] = t - p.lastStepAt;
            p.lastStepAt = t;
            if (kind == "services") {
                c.servicesFail = !ok;
                const std::int64_t count = line.integer("count", 0, 16);
                if (ok && !p.serviceCount) p.serviceCount = count;
            } else if (kind == "characteristics") {
                c.characteristicsFail = !ok;
                const bool inbox = line.boolean("inbox"), outbox = line.boolean("outbox");
                const bool notifying = line.boolean("notifying");
                if (ok && !p.inbox) p.inbox = inbox, p.outbox = outbox, p.notifying = notifying;
                if (ok && notifying) p.notifyFrom = t;
            } else {
                c.subscribeFails = !ok;
                if (ok) p.notifyFrom = t;
            }
        } else if (kind == "limit") {
            line.allow({"t", "event", "peer", "limit"});
            const std::int64_t limit = line.integer("limit", 0, 65535);
            const std::int64_t at = p.writeLimit.empty() ? 0 : t;
            if (!p.writeLimit.empty() && p.writeLimit.back().first >= at)
                p.writeLimit.back().second = limit;
            else
                p.writeLimit.emplace_back(at, limit);
        } else if (kind == "write") {
            line.allow({"t", "event", "peer", "length", "data"});
            line.data();
            current(p, line);
            p.pendingWrites.push_back(t);
        } else if (kind == "written") {
            line.allow({"t", "event", "peer", "ok"});
            Connection& c = current(p, line);
            if (p.pendingWrites.empty()) bad(line.number(), "an answer to no write");
            Write& w = c.writes.emplace_back(Write{!line.boolean("ok"), t - p.pendingWrites.front(), {}});
            p.pendingWrites.pop_front();
            p.lastAnswerAt = t;
            // Kept before the answer, at least 1 ms, as in the recording, but not before the request.
            for (auto& [at, data] : p.beforeAnswer)
                w.notify.push_back({std::max(-w.after, std::min<std::int64_t>(at - t, -1)), std::move(data)});
            p.beforeAnswer.clear();
        } else if (kind == "notify") {
            line.allow({"t", "event", "peer", "length", "data"});
            const std::string data = line.data();
            Connection& c = current(p, line);
            // A notification belongs to the write under way, if there is one: the stack may
            // deliver what the device notified while it answered before the answer. Else to the
            // write answered last, if there was one on this connection: a device answering a
            // command. Otherwise it keeps its own time.
            if (!p.pendingWrites.empty())
                p.beforeAnswer.emplace_back(t, data);
            else if (!c.writes.empty())
                c.writes.back().notify.push_back({t - p.lastAnswerAt, data});
            else
                c.notifications.push_back({std::max<std::int64_t>(0, t - p.notifyFrom), data});
        } else {  // disconnect
            line.allow({"t", "event", "peer", "error"});
            line.boolean("error");
            Connection& c = current(p, line);
            if (p.cancelAt) {
                c.delays["disconnect"] = t - *p.cancelAt;
            } else if (adapterOn_) {
                // The device ended it (an adapter switched off ends connections by itself).
                c.drop = {c.writes.size(), t - (c.writes.empty() ? p.connectedAt : p.lastAnswerAt)};
                dropsBeforeOff_.emplace_back(static_cast<std::size_t>(&p - peers_.data()), t);
            } else {
                dropsBeforeOff_.clear();
            }
            end(p, t);
        }
    }

    std::string world() const;

private:
    void state(std::int64_t t, std::int64_t state, std::string_view reason) {
        // The first state is the one the stack has when the central is made; each later one is
        // a step of its own, at least 1 ms after the one before.
        const std::int64_t at = adapter_.empty() ? 0 : std::max(t, std::get<0>(adapter_.back()) + 1);
        const bool known = std::find(std::begin(adapterReasons), std::end(adapterReasons), reason) !=
                           std::end(adapterReasons);
        adapter_.emplace_back(at, state, known ? std::string(reason) : std::string());
        // BlueZ ends every connection before it reports the adapter off: the drops just before
        // are the adapter's, at their recorded times like its states, not the devices' own.
        if (adapterOn_ && state != ble::ManagerState::poweredOn)
            for (const auto& [index, dropAt] : dropsBeforeOff_) {
                peers_[index].connections.back().drop.reset();
                peers_[index].disconnectAt.push_back(dropAt);
            }
        dropsBeforeOff_.clear();
        adapterOn_ = state == ble::ManagerState::poweredOn;
    }

    void discover(std::int64_t t, const Line& line) {
        const codec::Uuid id = line.uuid("peer");
        auto [it, isNew] = index_.emplace(id, peers_.size());
        if (isNew) {
            Peer& p = peers_.emplace_back();
            p.id = id;
            p.advertiseAt = t;
            if (line.get("name")) p.name = std::string(line.text("name"));
            if (line.get("rssi")) {
                p.rssi = line.integer("rssi", -127, 127);
                if (*p.rssi > 20 && *p.rssi != 127) bad(line.number(), "\"rssi\" must be from -127 to 20, or 127");
            }
            if (line.get("address")) p.address = std::string(line.text("address"));
            return;
        }
        Peer& p = peers_[it->second];
        // Found again after a connection ended: the device advertised again.
        if (p.endedAt && !p.connections.empty()) {
            p.connections.back().readvertiseAfter = std::max<std::int64_t>(1, t - *p.endedAt);
            p.endedAt.reset();
        }
    }

    Peer& peer(const Line& line) {
        const codec::Uuid id = line.uuid("peer");
        const auto it = index_.find(id);
        if (it == index_.end()) bad(line.number(), "peer " + id.text() + " was never discovered");
        return peers_[it->second];
    }

    static Connection& current(Peer& p, const Line& line) {
        if (!p.open) bad(line.number(), "peer " + p.id.text() + " has no connection under way");
        return p.connections.back();
    }

    static void end(Peer& p, std::int64_t t) {
        p.open = false;
        p.endedAt = t;
        p.pendingWrites.clear();
        // Notified while a write that was never answered was pending: timed on their own.
        for (auto& [at, data] : p.beforeAnswer)
            p.connections.back().notifications.push_back({std::max<std::int64_t>(0, at - p.notifyFrom), std::move(data)});
        p.beforeAnswer.clear();
    }

    std::int64_t now_ = 0;
    ble::GattProfile profile_ = ble::defaultGattProfile;
    std::vector<std::tuple<std::int64_t, std::int64_t, std::string>> adapter_;
    bool adapterOn_ = false;
    std::vector<std::pair<std::size_t, std::int64_t>> dropsBeforeOff_;  // peer, time: drops since any other line
    std::vector<Peer> peers_;
    std::map<codec::Uuid, std::size_t> index_;
};

// The world file's text, one peripheral and one connection script per line where it fits.
class Writer {
public:
    std::string& out() { return out_; }
    void key(std::string_view name) {
        out_ += first_ ? "" : ", ";
        first_ = false;
        codec::appendJsonString(out_, name);
        out_ += ": ";
    }
    void integer(std::string_view name, std::int64_t value) {
        key(name);
        codec::appendJsonInteger(out_, value);
    }
    void boolean(std::string_view name, bool value) {
        key(name);
        out_ += value ? "true" : "false";
    }
    void text(std::string_view name, std::string_view value) {
        key(name);
        codec::appendJsonString(out_, value);
    }
    // Separators of our own (line feeds and indentation) before the next key or item.
    void next(std::string_view separator) {
        out_ += separator;
        first_ = true;
    }
    void open(char bracket) {
        out_ += bracket;
        first_ = true;
    }
    void close(char bracket) {
        out_ += bracket;
        first_ = false;
    }
    void timed(std::string_view name, const std::vector<TimedData>& list) {
        key(name);
        open('[');
        for (const TimedData& n : list) {
            if (!first_) out_ += ", ";
            open('{');
            integer("after", n.after);
            text("data", n.data);
            close('}');
        }
        close(']');
    }

private:
    std::string out_;
    bool first_ = true;
};

void writeConnection(Writer& w, const Connection& c) {
    w.open('{');
    if (c.fails) w.boolean("fails", true);
    if (!c.delays.empty()) {
        w.key("delays");
        w.open('{');
        for (const auto& [name, ms] : c.delays) w.integer(name, ms);
        w.close('}');
    }
    if (c.servicesFail) w.boolean("discoverServicesFails", true);
    if (c.characteristicsFail) w.boolean("discoverCharacteristicsFails", true);
    if (c.subscribeFails) w.boolean("subscribeFails", true);
    if (!c.writes.empty()) {
        w.key("writes");
        w.open('[');
        for (const Write& write : c.writes) {
            if (&write != &c.writes.front()) w.next(",\n          ");
            w.open('{');
            if (write.fails) w.boolean("fails", true);
            w.integer("after", write.after);
            if (!write.notify.empty()) w.timed("notify", write.notify);
            w.close('}');
        }
        w.close(']');
    }
    if (!c.notifications.empty()) w.timed("notifications", c.notifications);
    if (c.drop) {
        w.key("drop");
        w.open('{');
        w.integer("afterWrites", static_cast<std::int64_t>(c.drop->first));
        w.integer("after", c.drop->second);
        w.close('}');
    }
    if (c.readvertiseAfter) w.integer("readvertiseAfter", *c.readvertiseAfter);
    w.close('}');
}

std::string Converter::world() const {
    Writer w;
    w.open('{');
    w.next("\n  ");
    w.key("adapter");
    w.open('[');
    for (const auto& [at, state, reason] : adapter_) {
        if (!w.out().ends_with("[")) w.out() += ", ";
        w.open('{');
        w.integer("at", at);
        if (state < static_cast<std::int64_t>(std::size(adapterStateNames)))
            w.text("state", adapterStateNames[state]);
        else
            w.integer("state", state);
        if (!reason.empty()) w.text("reason", reason);
        w.close('}');
    }
    w.close(']');
    w.next(",\n  ");
    w.key("peripherals");
    w.open('[');
    for (const Peer& p : peers_) {
        w.next(&p == &peers_.front() ? "\n    " : ",\n    ");
        w.open('{');
        w.text("id", p.id.text());
        w.integer("advertiseAt", p.advertiseAt);
        if (p.name) w.text("name", *p.name);
        if (p.rssi) w.integer("rssi", *p.rssi);
        if (p.address) w.text("address", *p.address);
        w.text("serviceUuid", profile_.service.text());
        w.text("inboxUuid", profile_.inbox.text());
        w.text("outboxUuid", profile_.outbox.text());
        if (p.serviceCount) w.integer("serviceCount", *p.serviceCount);
        if (p.inbox) {
            w.boolean("inbox", *p.inbox);
            w.boolean("outbox", *p.outbox);
            w.boolean("outboxNotifying", *p.notifying);
        }
        if (!p.writeLimit.empty()) {
            w.key("writeLimit");
            w.open('[');
            for (const auto& [at, limit] : p.writeLimit) {
                if (!w.out().ends_with("[")) w.out() += ", ";
                w.open('{');
                w.integer("at", at);
                w.integer("limit", limit);
                w.close('}');
            }
            w.close(']');
        }
        if (!p.disconnectAt.empty()) {
            w.key("disconnectAt");
            w.open('[');
            for (const std::int64_t at : p.disconnectAt) {
                if (!w.out().ends_with("[")) w.out() += ", ";
                w.out() += std::to_string(at);
            }
            w.close(']');
        }
        if (!p.connections.empty()) {
            w.key("connections");
            w.open('[');
            for (const Connection& c : p.connections) {
                w.next("\n        ");
                writeConnection(w, c);
                if (&c != &p.connections.back()) w.out() += ',';
            }
            w.close(']');
        }
        w.close('}');
    }
    w.out() += peers_.empty() ? "]" : "\n  ]";
    w.out() += "\n}\n";
    return w.out();
}

ReplayResult failure(std::string_view fileName, std::size_t line, const std::string& what) {
    return {std::nullopt, std::string(fileName) + ":" + std::to_string(line) + ": " + what};
}

}  // namespace

ReplayResult worldFromRecording(std::string_view text, std::string_view fileName) {
    simdjson::dom::parser parser;
    Converter converter;
    std::size_t number = 0;
    std::size_t start = 0;
    try {
        while (start < text.size()) {
            ++number;
            const std::size_t newline = text.find('\n', start);
            if (newline == std::string_view::npos) bad(number, "the last line is cut short (no line feed at its end)");
            const simdjson::padded_string line(text.substr(start, newline - start));
            start = newline + 1;
            element root;
            if (parser.parse(line).get(root)) bad(number, "not JSON");
            const Line parsed(root, number);
            if (number == 1)
                converter.header(parsed);
            else
                converter.event(parsed);
        }
        if (number == 0) bad(1, "empty: not a gattrelay recording");
    } catch (const Bad& problem) {
        return failure(fileName, problem.line, problem.what);
    }
    return {converter.world(), {}};
}

ReplayResult loadRecording(const std::string& path) {
    std::string error;
    const auto text = readWorldFile(path, error);
    if (!text) return {std::nullopt, error};
    return worldFromRecording(*text, path);
}

}  // namespace sim
