#pragma once

#include <cstddef>
#include <optional>
#include <simdjson.h>
#include <string_view>
#include <variant>

#include "protocol/command.hpp"
#include "protocol/protocol.hpp"

namespace protocol {

// Turns one line of text (already valid UTF-8) into a command, or the reason the line is not a
// valid command. Keeps one JSON parser with its buffers for every line.
class CommandParser {
public:
    // Lines up to `maxLineBytes` are parsed without allocating. In protocol 1, a "tag" key is an
    // extra key like any other, and "disconnect" and "connect" are unknown commands.
    explicit CommandParser(std::size_t maxLineBytes, Protocol protocol = Protocol::v1);

    // The line's bytes beyond its end must be readable up to SIMDJSON_PADDING.
    std::variant<Command, LineError> check(simdjson::padded_string_view line);
    // The tag of the send that check() last returned, unescaped; empty for none. Valid until
    // the next check. Kept out of SendCommand: moving sends in bulk is the reader's main cost.
    std::string_view tag() const { return tag_; }
    // The command, or nothing whatever the reason.
    std::optional<Command> parse(simdjson::padded_string_view line);

private:
    simdjson::dom::parser parser_;
    const bool version2_;
    std::string_view tag_;
};

}  // namespace protocol
