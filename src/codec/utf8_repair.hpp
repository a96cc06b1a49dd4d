#pragma once

#include <string>
#include <string_view>

namespace codec {

// The text as well-formed UTF-8: each maximal ill-formed subsequence (the longest prefix of a
// valid sequence, or else one byte) becomes U+FFFD. Well-formed text comes back as the same
// view with no copy; otherwise the repaired text is written to `scratch` and a view of it is
// returned. Repair never makes text shorter.
std::string_view repairUtf8(std::string_view text, std::string& scratch);

}  // namespace codec
