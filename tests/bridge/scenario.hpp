#pragma once

// Shorthands shared by the bridge's scenario tests.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ble/gatt_profile.hpp"
#include "support/sim_fixture.hpp"

namespace scenario {

using namespace testsupport;
using Kind = sim::Request::Kind;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A fixture started and run until the setup it can reach has happened; the start-up lines
// (hello, the state, announcements) are taken.
inline void startAndSettle(SimFixture& f) {
    f.start();
    f.runUntilIdle();
    f.takeLines();
}

// The first characteristic with this UUID among the peripheral's discovered services.
inline ble::CharacteristicPtr characteristicOf(const ble::PeripheralPtr& p, const codec::Uuid& uuid) {
    const auto services = p->services();
    for (const ble::ServicePtr& s : services.value()) {
        const auto characteristics = s->characteristics();
        for (const ble::CharacteristicPtr& c : characteristics.value())
            if (c->uuid() == uuid) return c;
    }
    return nullptr;
}

}  // namespace scenario
