#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace bridge {

inline constexpr std::int64_t maximumGattWriteAttempts = 3;
inline constexpr std::chrono::milliseconds gattWriteRetryDelay{200};

inline constexpr std::size_t maxSendBytes = 16384;
inline constexpr std::size_t maxQueuedWrites = 512;

}  // namespace bridge
