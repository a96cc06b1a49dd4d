#pragma once

// Where JSON text first breaks the grammar, for a message that points at it
// ("world.json:3:17: not JSON: expected ',' or '}'"). The fast parser says only that the text is
// not JSON; this walk runs after it has refused the text.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

struct JsonSyntaxError {
    std::size_t line = 1;    // counted from 1
    std::size_t column = 1;  // in characters, counted from 1
    std::string what;        // "expected ':'"
};

// The first syntax error in `text`, or nothing when its grammar is sound (its fault is then
// elsewhere: an encoding or a number out of range).
std::optional<JsonSyntaxError> findJsonSyntaxError(std::string_view text);

}  // namespace sim
