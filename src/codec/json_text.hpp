#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace codec {

// A JSON string with the standard escapes, "/" included (written "\/"). The text must be valid
// UTF-8. Shared by every front that writes JSON, so all write it alike.
void appendJsonString(std::string& out, std::string_view text);
void appendJsonInteger(std::string& out, std::int64_t value);

}  // namespace codec
