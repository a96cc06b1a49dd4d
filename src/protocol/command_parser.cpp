#include "protocol/command_parser.hpp"

#include <array>

#include "protocol/base64.hpp"

namespace protocol {

namespace {

// The object's keys counted once each, with the value of each key's last occurrence (the
// parsed document keeps every occurrence). No command has more than three keys.
class Fields {
public:
    static constexpr std::size_t capacity = 3;

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
        for (std::size_t i = 0; i < count_; ++i) {
            std::string_view text;
            if (fields_[i].key == key) {
                if (fields_[i].value.get_string().get(text)) return std::nullopt;
                return text;
            }
        }
        return std::nullopt;
    }

private:
    struct Field {
        std::string_view key;
        simdjson::dom::element value;
    };
    std::array<Field, capacity> fields_{};
    std::size_t count_ = 0;
};

}  // namespace

CommandParser::CommandParser(std::size_t maxLineBytes) : parser_(maxLineBytes) {
    // Nesting is limited only by the line's length, so that any valid JSON of that length
    // parses (a key may repeat with a deeply nested value before its last occurrence).
    // Failing here (out of memory) only defers the allocation to the first line.
    [[maybe_unused]] const auto error = parser_.allocate(maxLineBytes, maxLineBytes / 2 + 1);
}

std::optional<Command> CommandParser::parse(simdjson::padded_string_view line) {
    simdjson::dom::object object;
    if (parser_.parse(line).get_object().get(object)) return std::nullopt;
    Fields fields;
    for (auto [key, value] : object) {
        if (!fields.add(key, value)) return std::nullopt;
    }
    const auto command = fields.string("command");
    if (!command) return std::nullopt;
    if (*command == "stop" && fields.count() == 1) return StopCommand{};
    if (*command != "send" || fields.count() != 3) return std::nullopt;
    const auto idText = fields.string("id");
    const auto dataText = fields.string("data");
    if (!idText || !dataText) return std::nullopt;
    auto id = ble::Uuid::parse(*idText);
    if (!id) return std::nullopt;
    auto payload = decodeBase64(*dataText);
    if (!payload || payload->empty()) return std::nullopt;
    return SendCommand{*id, std::move(*payload)};
}

}  // namespace protocol
