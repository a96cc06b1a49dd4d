#pragma once

#include "ble/uuid.hpp"

namespace ble {

// The GATT layout the bridge works with: the service it scans for, the characteristic of that
// service it writes frames to (the inbox), and the one whose notifications it relays (the outbox).
struct GattProfile {
    Uuid service;
    Uuid inbox;
    Uuid outbox;
};

// The project's own UUIDs. They share their first 35 characters and differ in the last digit.
inline const Uuid defaultServiceUuid = Uuid::of("a3e5b7c9-5d1f-4e2a-9b6c-000000000001");
inline const Uuid defaultInboxUuid = Uuid::of("a3e5b7c9-5d1f-4e2a-9b6c-000000000002");
inline const Uuid defaultOutboxUuid = Uuid::of("a3e5b7c9-5d1f-4e2a-9b6c-000000000003");
inline const GattProfile defaultGattProfile{defaultServiceUuid, defaultInboxUuid, defaultOutboxUuid};

}  // namespace ble
