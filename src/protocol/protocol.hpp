#pragma once

#include <cstdint>

namespace protocol {

// The event and command protocols the stdio front speaks: 1 by default, 2 on request.
enum class Protocol : std::uint8_t { v1 = 1, v2 = 2 };

}  // namespace protocol
