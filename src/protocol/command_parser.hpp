#pragma once

#include <cstddef>
#include <optional>
#include <simdjson.h>
#include <variant>

#include "protocol/command.hpp"

namespace protocol {

// Turns one line of text (already valid UTF-8) into a command, or the reason the line is not a
// valid command. Keeps one JSON parser with its buffers for every line.
class CommandParser {
public:
    // Lines up to `maxLineBytes` are parsed without allocating. Without `acceptTags`, a "tag"
    // key is an extra key like any other.
    explicit CommandParser(std::size_t maxLineBytes, bool acceptTags = false);

    // The line's bytes beyond its end must be readable up to SIMDJSON_PADDING.
    std::variant<Command, LineError> check(simdjson::padded_string_view line);
    // The command, or nothing whatever the reason.
    std::optional<Command> parse(simdjson::padded_string_view line);

private:
    simdjson::dom::parser parser_;
    const bool acceptTags_;
};

}  // namespace protocol
