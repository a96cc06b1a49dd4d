#include "ble/corebluetooth/peripheral_registry.hpp"

#include <gtest/gtest.h>

namespace {

using Registry = corebluetooth::PeripheralRegistry<int>;

const codec::Uuid first = codec::Uuid::of("5EC1A5E0-0000-4000-8000-000000000001");
const codec::Uuid second = codec::Uuid::of("5EC1A5E0-0000-4000-8000-000000000002");

TEST(PeripheralRegistry, OneRecordPerDeviceAcrossTheStacksObjects) {
    Registry registry;
    // Stand-ins for the stack's objects: only their addresses matter.
    int objectA = 0, objectB = 0, objectC = 0;

    auto a = registry.adopt(&objectA, first);
    EXPECT_EQ(a.found, Registry::Found::added);
    a.record = 1;
    auto again = registry.adopt(&objectA, first);
    EXPECT_EQ(again.found, Registry::Found::known);
    EXPECT_EQ(&again.record, &a.record) << "the same object is the same record";

    registry.adopt(&objectB, second).record = 2;

    // The stack reset and made a new object for the first device.
    auto c = registry.adopt(&objectC, first);
    EXPECT_EQ(c.found, Registry::Found::replaced);
    EXPECT_EQ(c.formerIdentity, &objectA);
    EXPECT_EQ(c.record, 1) << "a new object of a known device keeps its record";

    EXPECT_EQ(registry.find(&objectC), registry.find(first));
    EXPECT_EQ(*registry.find(&objectB), 2);
    EXPECT_EQ(registry.find(&objectA), nullptr) << "the replaced object's callbacks find nothing";
    EXPECT_EQ(registry.identityOf(first), &objectC);

    registry.forget(first);
    EXPECT_EQ(registry.find(&objectC), nullptr) << "a forgotten device's object finds nothing";
    EXPECT_EQ(registry.find(first), nullptr);
    EXPECT_EQ(registry.ids(), std::vector<codec::Uuid>{second});
    EXPECT_EQ(registry.adopt(&objectA, first).found, Registry::Found::added) << "and comes back as new";
}

}  // namespace
