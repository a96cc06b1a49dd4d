#pragma once

#include "codec/uuid.hpp"

namespace ble {

// The GATT layout the bridge works with: the service it scans for, the characteristic of that
// service it writes frames to (the inbox), and the one whose notifications it relays (the outbox).
struct GattProfile {
    codec::Uuid service;
    codec::Uuid inbox;
    codec::Uuid outbox;
};

// The project's own UUIDs. They share their first 35 characters and differ in the last digit.
inline const codec::Uuid defaultServiceUuid = codec::Uuid::of("a3e5b7c9-5d1f-4e2a-9b6c-000000000001");
inline const codec::Uuid defaultInboxUuid = codec::Uuid::of("a3e5b7c9-5d1f-4e2a-9b6c-000000000002");
inline const codec::Uuid defaultOutboxUuid = codec::Uuid::of("a3e5b7c9-5d1f-4e2a-9b6c-000000000003");
inline const GattProfile defaultGattProfile{defaultServiceUuid, defaultInboxUuid, defaultOutboxUuid};

}  // namespace ble
