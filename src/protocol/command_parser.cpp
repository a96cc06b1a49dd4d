#include "protocol/command_parser.hpp"

#include <array>

#include "codec/base64.hpp"

namespace protocol {

namespace {

// The object's keys counted once each, with the value of each key's last occurrence (the
// parsed document keeps every occurrence). No command has more than four keys.
class Fields {
public:
    static constexpr std::size_t capacity = 4;

    // False once the object turns out to have more distinct keys than any command.
    bool add(std::string_view key, simdjson::dom::element value) {
        for (std::size_t i = 0; i < count_; ++i) {
            if (fields_[i].key == key) {
                fields_[i].value = value;
                return true;
            }
        }
        if (count_ == capacity) return false;
        fields_[count_++] = {key, value};
        return true;
    }

    std::size_t count() const { return count_; }

    // The key's value if it is a string.
    std::optional<std::string_view> string(std::string_view key) const {
        const Field* field = find(key);
        std::string_view text;
        if (!field || field->value.get_string().get(text)) return std::nullopt;
        return text;
    }

    bool has(std::string_view key) const { return find(key) != nullptr; }

    // The key's value if it is an integer.
    std::optional<std::int64_t> integer(std::string_view key) const {
        const Field* field = find(key);
        std::int64_t n = 0;
        if (!field || field->value.get_int64().get(n)) return std::nullopt;
        return n;
    }

    // The key's value if it is true or false.
    std::optional<bool> boolean(std::string_view key) const {
        const Field* field = find(key);
        bool b = false;
        if (!field || field->value.get_bool().get(b)) return std::nullopt;
        return b;
    }

private:
    struct Field {
        std::string_view key;
        simdjson::dom::element value;
    };

    const Field* find(std::string_view key) const {
        for (std::size_t i = 0; i < count_; ++i)
            if (fields_[i].key == key) return &fields_[i];
        return nullptr;
    }

    std::array<Field, capacity> fields_{};
    std::size_t count_ = 0;
};

}  // namespace

CommandParser::CommandParser(std::size_t maxLineBytes, Protocol protocol)
    : parser_(maxLineBytes), version2_(protocol == Protocol::v2) {
    // Nesting is limited only by the line's length, so that any valid JSON of that length
    // parses (a key may repeat with a deeply nested value before its last occurrence).
    // Failing here (out of memory) only defers the allocation to the first line.
    [[maybe_unused]] const auto error = parser_.allocate(maxLineBytes, maxLineBytes / 2 + 1);
}

std::variant<Command, LineError> CommandParser::check(simdjson::padded_string_view line) {
    tag_ = {};
    simdjson::dom::element root;
    if (parser_.parse(line).get(root)) return LineError::notJson;
    simdjson::dom::object object;
    if (root.get_object().get(object)) return LineError::notACommand;
    Fields fields;
    for (auto [key, value] : object) {
        if (!fields.add(key, value)) return LineError::notACommand;
    }
    const auto command = fields.string("command");
    if (!command) return LineError::notACommand;
    if (*command == "stop" && fields.count() == 1) return StopCommand{};
    if (version2_ && (*command == "disconnect" || *command == "connect")) {
        const auto idText = fields.string("id");
        if (!idText || fields.count() != 2) return LineError::notACommand;
        const auto id = codec::Uuid::parse(*idText);
        if (!id) return LineError::badId;
        if (*command == "connect") return ConnectCommand{*id};
        return DisconnectCommand{*id};
    }
    if (version2_ && *command == "pair") {
        // Either a passkey of six digits at most, or whether to accept.
        const auto idText = fields.string("id");
        const auto passkey = fields.integer("passkey");
        const auto confirm = fields.boolean("confirm");
        if (!idText || fields.count() != 3 || (!passkey && !confirm) || (passkey && (*passkey < 0 || *passkey > 999999)))
            return LineError::notACommand;
        const auto id = codec::Uuid::parse(*idText);
        if (!id) return LineError::badId;
        if (passkey) return PairCommand{*id, {.accept = false, .passkey = static_cast<std::uint32_t>(*passkey)}};
        return PairCommand{*id, {.accept = *confirm, .passkey = std::nullopt}};
    }
    if (*command != "send") return LineError::notACommand;
    // Every key present is a known one of the right type: "command", "id", "data" and a tag.
    const bool tagged = version2_ && fields.has("tag");
    const auto idText = fields.string("id");
    const auto dataText = fields.string("data");
    const auto tagText = tagged ? fields.string("tag") : std::optional<std::string_view>("");
    if (!idText || !dataText || !tagText || fields.count() != (tagged ? 4u : 3u)) return LineError::notACommand;
    auto id = codec::Uuid::parse(*idText);
    if (!id) return LineError::badId;
    auto payload = codec::decodeBase64(*dataText);
    if (!payload || payload->empty()) return LineError::badData;
    if (tagged && (tagText->empty() || tagText->size() > maxTagBytes)) return LineError::badTag;
    tag_ = *tagText;
    return SendCommand{*id, std::move(*payload)};
}

std::optional<Command> CommandParser::parse(simdjson::padded_string_view line) {
    auto checked = check(line);
    if (auto* command = std::get_if<Command>(&checked)) return std::move(*command);
    return std::nullopt;
}

}  // namespace protocol
