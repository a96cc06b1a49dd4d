#include "ble/corebluetooth/peripheral_registry.hpp"

#include <gtest/gtest.h>

#include <memory>

namespace {

struct FakePeripheral {
    codec::Uuid id;
};

const codec::Uuid first = codec::Uuid::of("5EC1A5E0-0000-4000-8000-000000000001");
const codec::Uuid second = codec::Uuid::of("5EC1A5E0-0000-4000-8000-000000000002");

TEST(PeripheralRegistry, OnePeripheralPerDeviceAcrossTheStacksObjects) {
    corebluetooth::PeripheralRegistry<FakePeripheral> registry;
    // Stand-ins for the stack's objects: only their addresses matter.
    int objectA = 0, objectB = 0, objectC = 0;
    int made = 0;
    auto make = [&](const codec::Uuid& id) {
        return [&made, id] {
            ++made;
            return std::make_shared<FakePeripheral>(FakePeripheral{id});
        };
    };

    auto a = registry.adopt(&objectA, first, make(first));
    auto again = registry.adopt(&objectA, first, make(first));
    EXPECT_EQ(again.peripheral, a.peripheral) << "the same object is the same peripheral";
    EXPECT_FALSE(again.replacedObject);

    auto b = registry.adopt(&objectB, second, make(second));
    EXPECT_NE(b.peripheral, a.peripheral) << "another device is another peripheral";
    EXPECT_EQ(made, 2);

    // The stack reset and made a new object for the first device.
    auto c = registry.adopt(&objectC, first, make(first));
    EXPECT_EQ(c.peripheral, a.peripheral) << "a new object of a known device keeps its peripheral";
    EXPECT_TRUE(c.replacedObject);
    EXPECT_EQ(made, 2);

    EXPECT_EQ(registry.find(&objectC), a.peripheral);
    EXPECT_EQ(registry.find(&objectB), b.peripheral);
    EXPECT_EQ(registry.find(&objectA), nullptr) << "the replaced object's callbacks find nothing";
    int unknown = 0;
    EXPECT_EQ(registry.find(&unknown), nullptr);
    EXPECT_EQ(registry.all().size(), 2u);
}

}  // namespace
