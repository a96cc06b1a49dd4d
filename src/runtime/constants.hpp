#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "ble/uuid.hpp"

namespace runtime {

// The GATT service the bridge scans for, the characteristic it writes frames to, and the one
// whose notifications it relays.
inline const ble::Uuid serviceUUID = ble::Uuid::of("a3e5b7c9-5d1f-4e2a-9b6c-000000000001");
inline const ble::Uuid inboxUUID = ble::Uuid::of("a3e5b7c9-5d1f-4e2a-9b6c-000000000002");
inline const ble::Uuid outboxUUID = ble::Uuid::of("a3e5b7c9-5d1f-4e2a-9b6c-000000000003");

inline constexpr std::int64_t maximumGattWriteAttempts = 3;
inline constexpr std::chrono::milliseconds gattWriteRetryDelay{200};

inline constexpr std::size_t maxSendBytes = 16384;
inline constexpr std::size_t maxQueuedWrites = 512;

}  // namespace runtime
