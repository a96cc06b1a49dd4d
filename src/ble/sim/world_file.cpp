#include "ble/sim/world_file.hpp"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <map>
#include <simdjson.h>
#include <string>
#include <utility>
#include <vector>

#include "ble/sim/json_syntax.hpp"
#include "codec/base64.hpp"

namespace sim {

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

constexpr std::int64_t maxMs = std::numeric_limits<std::int32_t>::max();  // about 24 days
constexpr std::int64_t maxWriteLimit = 65535;
constexpr std::int64_t maxServiceCount = 16;

// Thrown inside this file only: the first problem ends the load.
struct Invalid {
    std::string path;
    std::string what;
};

[[noreturn]] void fail(const std::string& path, std::string what) { throw Invalid{path, std::move(what)}; }

std::string child(const std::string& path, std::string_view key) {
    return path.empty() ? std::string(key) : path + "." + std::string(key);
}

std::string item(const std::string& path, std::size_t index) { return path + "[" + std::to_string(index) + "]"; }

const char* typeName(element e) {
    switch (e.type()) {
        case element_type::ARRAY: return "an array";
        case element_type::OBJECT: return "an object";
        case element_type::INT64:
        case element_type::UINT64: return "an integer";
        case element_type::DOUBLE: return "a number with a fraction or exponent";
        case element_type::STRING: return "a string";
        case element_type::BOOL: return "a boolean";
        case element_type::NULL_VALUE: return "null";
    }
    return "a value";
}

[[noreturn]] void wrongType(element e, const std::string& path, const char* expected) {
    fail(path, std::string("expected ") + expected + ", found " + typeName(e));
}

// An object's members by key, after checking that every key is known and none is repeated.
class Fields {
public:
    Fields(element e, std::string path, const std::vector<std::string_view>& known) : path_(std::move(path)) {
        simdjson::dom::object object;
        if (e.get(object)) wrongType(e, path_.empty() ? "top level" : path_, "an object");
        for (auto [key, value] : object) {
            bool isKnown = false;
            for (auto k : known) isKnown = isKnown || k == key;
            if (!isKnown) fail(child(path_, key), "unknown key");
            if (!members_.emplace(key, value).second) fail(child(path_, key), "duplicate key");
        }
    }

    std::optional<element> get(std::string_view key) const {
        auto it = members_.find(key);
        if (it == members_.end()) return std::nullopt;
        return it->second;
    }
    std::string pathOf(std::string_view key) const { return child(path_, key); }

private:
    std::string path_;
    std::map<std::string_view, element, std::less<>> members_;
};

std::int64_t integer(element e, const std::string& path, std::int64_t min, std::int64_t max) {
    std::int64_t value = 0;
    if (e.type() == element_type::UINT64) fail(path, "must be at most " + std::to_string(max));
    if (e.get(value)) wrongType(e, path, "an integer");
    if (value < min || value > max) {
        fail(path, "must be from " + std::to_string(min) + " to " + std::to_string(max) + ", not " +
                       std::to_string(value));
    }
    return value;
}

bool boolean(element e, const std::string& path) {
    bool value = false;
    if (e.get(value)) wrongType(e, path, "true or false");
    return value;
}

std::string_view string(element e, const std::string& path) {
    std::string_view value;
    if (e.get(value)) wrongType(e, path, "a string");
    return value;
}

simdjson::dom::array array(element e, const std::string& path) {
    simdjson::dom::array value;
    if (e.get(value)) wrongType(e, path, "an array");
    return value;
}

codec::Uuid uuid(element e, const std::string& path) {
    auto id = codec::Uuid::parse(string(e, path));
    if (!id) fail(path, "not a UUID (expected 8-4-4-4-12 hexadecimal digits)");
    return *id;
}

// A service's or characteristic's UUID, which may also be 16 or 32 bits ("180d", "0x2A37").
codec::Uuid gattUuid(element e, const std::string& path) {
    auto id = codec::Uuid::parseGatt(string(e, path));
    if (!id) fail(path, "not a UUID (expected 8-4-4-4-12 hexadecimal digits, or 4 or 8 for a 16- or 32-bit one)");
    return *id;
}

Ms milliseconds(element e, const std::string& path) { return Ms{integer(e, path, 0, maxMs)}; }

// Counted from 1.
std::uint64_t positiveCount(element e, const std::string& path) {
    return static_cast<std::uint64_t>(integer(e, path, 1, std::numeric_limits<std::int64_t>::max()));
}

// Reads `key` into `out` with `read` when present; otherwise `out` keeps its default.
template <typename T, typename Read>
void optionalField(const Fields& fields, std::string_view key, T& out, Read read) {
    if (auto e = fields.get(key)) out = read(*e, fields.pathOf(key));
}

element required(const Fields& fields, std::string_view key) {
    auto e = fields.get(key);
    if (!e) fail(fields.pathOf(key), "missing");
    return *e;
}

// An array's items, each read by `read` with its own path.
template <typename Read>
auto items(element e, const std::string& path, Read read) {
    std::vector<decltype(read(e, path))> list;
    for (element value : array(e, path)) list.push_back(read(value, item(path, list.size())));
    return list;
}

// A timeline: objects with a time "at" (0 when left out), each later than the one before, and
// the step's value under `valueKey`. `fromZero`: the value must be known from the start.
// `readMore` reads the step's other keys, `moreKeys` (none unless given).
template <typename Step, typename Value>
std::vector<Step> timeline(element e, const std::string& path, std::string_view valueKey, Value Step::*value,
                           Value (*readValue)(element, const std::string&), bool fromZero,
                           std::initializer_list<std::string_view> moreKeys = {},
                           void (*readMore)(const Fields&, Step&) = nullptr) {
    std::vector<std::string_view> known{"at", valueKey};
    known.insert(known.end(), moreKeys.begin(), moreKeys.end());
    std::vector<Step> steps;
    for (element stepValue : array(e, path)) {
        Fields fields(stepValue, item(path, steps.size()), known);
        Step step;
        optionalField(fields, "at", step.at, milliseconds);
        if (fromZero && steps.empty() && step.at != Ms{0}) fail(fields.pathOf("at"), "the first step must be at 0");
        if (!steps.empty() && step.at <= steps.back().at) {
            fail(fields.pathOf("at"),
                 "must be later than the step before (" + std::to_string(steps.back().at.count()) + ")");
        }
        step.*value = readValue(required(fields, valueKey), fields.pathOf(valueKey));
        if (readMore) readMore(fields, step);
        steps.push_back(step);
    }
    return steps;
}

// An integer is a value that never changes; an array is a timeline of at least one step from 0.
template <typename Step, typename Value>
std::vector<Step> valueOrTimeline(element e, const std::string& path, std::string_view valueKey, Value Step::*value,
                                  Value (*readValue)(element, const std::string&)) {
    if (e.type() != element_type::ARRAY) {
        if (e.type() != element_type::INT64 && e.type() != element_type::UINT64) {
            wrongType(e, path, "an integer or an array of steps");
        }
        Step step;
        step.*value = readValue(e, path);
        return {step};
    }
    auto steps = timeline(e, path, valueKey, value, readValue, true);
    if (steps.empty()) fail(path, "must hold at least one step");
    return steps;
}

int adapterState(element e, const std::string& path) {
    if (e.type() != element_type::STRING) {
        return static_cast<int>(integer(e, path, 0, std::numeric_limits<std::int32_t>::max()));
    }
    auto name = string(e, path);
    for (int state = 0; state < static_cast<int>(std::size(adapterStateNames)); ++state) {
        if (adapterStateNames[state] == name) return state;
    }
    fail(path, "unknown state \"" + std::string(name) +
                   "\" (expected unknown, resetting, unsupported, unauthorized, powered_off, powered_on "
                   "or an integer)");
}

// The words of the "state" event's reason.
void adapterReason(const Fields& fields, AdapterStep& step) {
    const auto e = fields.get("reason");
    if (!e) return;
    const std::string path = fields.pathOf("reason");
    const std::string_view reason = string(*e, path);
    for (std::string_view known : adapterReasons) {
        if (known == reason) {
            step.reason = std::string(reason);
            return;
        }
    }
    fail(path, "unknown reason \"" + std::string(reason) +
                   "\" (expected no_bus, no_bluetoothd, no_adapter, adapter_missing, access_denied or blocked)");
}

std::vector<AdapterStep> adapter(element e, const std::string& path) {
    return timeline(e, path, "state", &AdapterStep::state, adapterState, false, {"reason"}, adapterReason);
}

std::size_t writeLimitValue(element e, const std::string& path) {
    return static_cast<std::size_t>(integer(e, path, 0, maxWriteLimit));
}

std::vector<WriteLimitStep> writeLimit(element e, const std::string& path) {
    return valueOrTimeline(e, path, "limit", &WriteLimitStep::limit, writeLimitValue);
}

// 127 is what a controller reports when it has no measure (BlueZ passes it on as it is).
int rssiValue(element e, const std::string& path) {
    const std::int64_t dbm = integer(e, path, std::numeric_limits<std::int64_t>::min(), maxMs);
    if ((dbm < -127 || dbm > 20) && dbm != 127)
        fail(path, "must be from -127 to 20, or 127 (no measure), not " + std::to_string(dbm));
    return static_cast<int>(dbm);
}

std::vector<RssiStep> rssi(element e, const std::string& path) {
    return valueOrTimeline(e, path, "dbm", &RssiStep::dbm, rssiValue);
}

// Six two-digit hexadecimal numbers joined by ":", letters in either case; shown in upper case, as
// BlueZ shows addresses.
std::string address(element e, const std::string& path) {
    std::string text(string(e, path));
    bool valid = text.size() == 17;
    for (std::size_t i = 0; valid && i < text.size(); ++i)
        valid = i % 3 == 2 ? text[i] == ':' : std::isxdigit(static_cast<unsigned char>(text[i])) != 0;
    if (!valid) fail(path, "not an address (expected six two-digit hexadecimal numbers joined by \":\")");
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string name(element e, const std::string& path) { return std::string(string(e, path)); }

// `after` from `earliest` on (negative for a scripted write's notification before its answer).
Notification notification(element e, const std::string& path, std::int64_t earliest = 0) {
    Fields fields(e, path, {"after", "data"});
    Notification n;
    optionalField(fields, "after", n.after,
                  [earliest](element v, const std::string& p) { return Ms{integer(v, p, earliest, maxMs)}; });
    auto dataPath = fields.pathOf("data");
    auto bytes = codec::decodeBase64(string(required(fields, "data"), dataPath));
    if (!bytes) fail(dataPath, "not base64 (standard alphabet, padded with \"=\")");
    n.value = std::move(*bytes);
    return n;
}

WriteFailures writeFailures(element e, const std::string& path) {
    Fields fields(e, path, {"all", "firstAttemptsOfEachFrame", "nth"});
    WriteFailures failures;
    optionalField(fields, "all", failures.all, boolean);
    optionalField(fields, "firstAttemptsOfEachFrame", failures.firstAttemptsOfEachFrame,
                  [](element v, const std::string& p) {
                      return static_cast<std::uint32_t>(integer(v, p, 0, std::numeric_limits<std::uint32_t>::max()));
                  });
    optionalField(fields, "nth", failures.nth,
                  [](element v, const std::string& p) { return items(v, p, positiveCount); });
    return failures;
}

Delays delays(element e, const std::string& path) {
    Fields fields(e, path,
                  {"connect", "discoverServices", "discoverCharacteristics", "subscribe", "write", "disconnect"});
    Delays d;
    optionalField(fields, "connect", d.connect, milliseconds);
    optionalField(fields, "discoverServices", d.discoverServices, milliseconds);
    optionalField(fields, "discoverCharacteristics", d.discoverCharacteristics, milliseconds);
    optionalField(fields, "subscribe", d.subscribe, milliseconds);
    optionalField(fields, "write", d.write, milliseconds);
    optionalField(fields, "disconnect", d.disconnect, milliseconds);
    return d;
}

std::vector<Notification> notifications(element e, const std::string& path) {
    return items(e, path, [](element n, const std::string& p) { return notification(n, p); });
}

ScriptedWrite scriptedWrite(element e, const std::string& path) {
    Fields fields(e, path, {"fails", "after", "notify"});
    ScriptedWrite w;
    optionalField(fields, "fails", w.fails, boolean);
    optionalField(fields, "after", w.after, milliseconds);
    // A stack may deliver what the device notified while it answered before the answer itself:
    // such a notification comes before the answer, but not before the request.
    optionalField(fields, "notify", w.notify, [earliest = -w.after.count()](element v, const std::string& p) {
        return items(v, p, [earliest](element n, const std::string& np) { return notification(n, np, earliest); });
    });
    return w;
}

Drop drop(element e, const std::string& path) {
    Fields fields(e, path, {"afterWrites", "after"});
    Drop d;
    optionalField(fields, "afterWrites", d.afterWrites, [](element v, const std::string& p) {
        return static_cast<std::uint64_t>(integer(v, p, 0, std::numeric_limits<std::int64_t>::max()));
    });
    optionalField(fields, "after", d.after, milliseconds);
    return d;
}

// At least 1 ms: a peripheral that fails at once and advertises again at the same instant
// would keep the world busy forever without time moving on.
Ms readvertiseAfter(element e, const std::string& path) { return Ms{integer(e, path, 1, maxMs)}; }

ConnectionScript connectionScript(element e, const std::string& path) {
    Fields fields(e, path,
                  {"fails", "delays", "discoverServicesFails", "discoverCharacteristicsFails", "subscribeFails",
                   "writes", "notifications", "drop", "readvertiseAfter"});
    ConnectionScript c;
    optionalField(fields, "fails", c.fails, boolean);
    optionalField(fields, "delays", c.delays, delays);
    optionalField(fields, "discoverServicesFails", c.discoverServicesFails, boolean);
    optionalField(fields, "discoverCharacteristicsFails", c.discoverCharacteristicsFails, boolean);
    optionalField(fields, "subscribeFails", c.subscribeFails, boolean);
    optionalField(fields, "writes", c.writes, [](element v, const std::string& p) { return items(v, p, scriptedWrite); });
    optionalField(fields, "notifications", c.notifications, notifications);
    optionalField(fields, "drop", c.drop, drop);
    optionalField(fields, "readvertiseAfter", c.readvertiseAfter, readvertiseAfter);
    return c;
}

PeripheralSpec peripheral(element e, const std::string& path) {
    Fields fields(e, path,
                  {"id", "advertiseAt", "name", "rssi", "address", "serviceUuid", "inboxUuid", "outboxUuid", "serviceCount", "inbox", "outbox",
                   "outboxNotifying", "writeLimit",
                   "connectFails", "discoverServicesFails", "discoverCharacteristicsFails", "subscribeFails",
                   "writeFailures", "delays", "disconnectAt", "disconnectAfterWrites", "readvertiseAfter",
                   "notifications", "echo", "connections"});
    PeripheralSpec p;
    p.id = uuid(required(fields, "id"), fields.pathOf("id"));
    optionalField(fields, "advertiseAt", p.advertiseAt, milliseconds);
    optionalField(fields, "name", p.name, name);
    optionalField(fields, "rssi", p.rssi, rssi);
    optionalField(fields, "address", p.address, address);
    optionalField(fields, "serviceUuid", p.profile.service, gattUuid);
    optionalField(fields, "inboxUuid", p.profile.inbox, gattUuid);
    optionalField(fields, "outboxUuid", p.profile.outbox, gattUuid);
    if (p.profile.inbox == p.profile.outbox) fail(fields.pathOf("outboxUuid"), "the same UUID as the inbox");
    optionalField(fields, "serviceCount", p.serviceCount,
                  [](element v, const std::string& s) { return static_cast<int>(integer(v, s, 0, maxServiceCount)); });
    optionalField(fields, "inbox", p.inbox, boolean);
    optionalField(fields, "outbox", p.outbox, boolean);
    optionalField(fields, "outboxNotifying", p.outboxNotifying, boolean);
    optionalField(fields, "writeLimit", p.writeLimit, writeLimit);
    optionalField(fields, "connectFails", p.connectFails, boolean);
    optionalField(fields, "discoverServicesFails", p.discoverServicesFails, boolean);
    optionalField(fields, "discoverCharacteristicsFails", p.discoverCharacteristicsFails, boolean);
    optionalField(fields, "subscribeFails", p.subscribeFails, boolean);
    optionalField(fields, "writeFailures", p.writeFailures, writeFailures);
    optionalField(fields, "delays", p.delays, delays);
    optionalField(fields, "disconnectAt", p.disconnectAt,
                  [](element v, const std::string& s) { return items(v, s, milliseconds); });
    optionalField(fields, "disconnectAfterWrites", p.disconnectAfterWrites, positiveCount);
    optionalField(fields, "readvertiseAfter", p.readvertiseAfter, readvertiseAfter);
    optionalField(fields, "notifications", p.notifications, notifications);
    optionalField(fields, "echo", p.echo, boolean);
    optionalField(fields, "connections", p.connections,
                  [](element v, const std::string& s) { return items(v, s, connectionScript); });
    return p;
}

WorldSpec world(element root) {
    Fields fields(root, "", {"adapter", "peripherals"});
    WorldSpec description;
    optionalField(fields, "adapter", description.adapter, adapter);
    if (auto list = fields.get("peripherals")) {
        const std::string path = "peripherals";
        // The index of the first peripheral with each id, to name it in the error.
        std::map<codec::Uuid, std::size_t> firstWithId;
        for (element value : array(*list, path)) {
            std::size_t index = description.peripherals.size();
            description.peripherals.push_back(peripheral(value, item(path, index)));
            auto [it, isNew] = firstWithId.emplace(description.peripherals.back().id, index);
            if (!isNew) fail(child(item(path, index), "id"), "the same id as " + item(path, it->second));
        }
    }
    return description;
}

WorldFileResult failure(std::string_view fileName, const std::string& path, const std::string& what) {
    std::string text(fileName);
    text += ": ";
    if (!path.empty()) text += path + ": ";
    text += what;
    // Keys and names from the file may hold control characters: escaped, the message stays one
    // line and nothing reaches a terminal raw.
    std::string message;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            message += c;
            continue;
        }
        char escape[7];
        std::snprintf(escape, sizeof escape, "\\u%04x", byte);
        message += escape;
    }
    return {std::nullopt, std::move(message)};
}

}  // namespace

WorldFileResult parseWorld(std::string_view text, std::string_view fileName) {
    simdjson::dom::parser parser;
    simdjson::padded_string padded(text);
    element root;
    if (auto error = parser.parse(padded).get(root)) {
        const auto syntax = findJsonSyntaxError(text);
        if (!syntax) return failure(fileName, "", std::string("not JSON: ") + simdjson::error_message(error));
        return failure(std::string(fileName) + ":" + std::to_string(syntax->line) + ":" + std::to_string(syntax->column),
                       "", "not JSON: " + syntax->what);
    }
    try {
        return {world(root), {}};
    } catch (const Invalid& invalid) {
        return failure(fileName, invalid.path, invalid.what);
    }
}

std::optional<std::string> readWorldFile(const std::string& path, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        error = failure(path, "", std::string("cannot open: ") + std::strerror(errno)).error;
        return std::nullopt;
    }
    std::string text;
    char buffer[65536];
    std::size_t n;
    // One byte past the limit is enough to know: /dev/zero or a stray huge file ends here.
    while (text.size() <= maxWorldFileBytes && (n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, n);
    }
    int readError = std::ferror(file) ? errno : 0;
    std::fclose(file);
    if (readError) error = failure(path, "", std::string("cannot read: ") + std::strerror(readError)).error;
    else if (text.size() > maxWorldFileBytes) error = failure(path, "", "larger than 16 MiB").error;
    if (!error.empty()) return std::nullopt;
    return text;
}

WorldFileResult loadWorldFile(const std::string& path) {
    std::string error;
    const auto text = readWorldFile(path, error);
    if (!text) return {std::nullopt, error};
    return parseWorld(*text, path);
}

}  // namespace sim
