#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace bridge {

inline constexpr std::int64_t maximumGattWriteAttempts = 3;
inline constexpr std::chrono::milliseconds gattWriteRetryDelay{200};

inline constexpr std::size_t maxSendBytes = 16384;
inline constexpr std::size_t maxQueuedWrites = 512;

// The "mtu" a ready peer is announced with: its write limit plus the ATT header's 3 bytes,
// within what ATT allows.
inline std::int64_t announcedMtu(std::size_t writeLimit) {
    const auto mtu = static_cast<std::int64_t>(writeLimit) + 3;
    return mtu < 23 ? 23 : mtu > 517 ? 517 : mtu;
}

}  // namespace bridge
