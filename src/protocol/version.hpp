#pragma once

#include <string_view>

namespace protocol {

// This program's version, X.Y.Z, from the build.
inline constexpr std::string_view programVersion = GATTRELAY_VERSION;

}  // namespace protocol
