#pragma once

#include <cstddef>
#include <optional>
#include <simdjson.h>

#include "protocol/command.hpp"

namespace protocol {

// Turns one line of text (already valid UTF-8) into a command, or nothing when the line is not
// a valid command. Keeps one JSON parser with its buffers for every line.
class CommandParser {
public:
    // Lines up to `maxLineBytes` are parsed without allocating.
    explicit CommandParser(std::size_t maxLineBytes);

    // The line's bytes beyond its end must be readable up to SIMDJSON_PADDING.
    std::optional<Command> parse(simdjson::padded_string_view line);

private:
    simdjson::dom::parser parser_;
};

}  // namespace protocol
