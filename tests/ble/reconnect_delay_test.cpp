#include "ble/reconnect_delay.hpp"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(ReconnectDelay, DoublesFromOneSecondToAMinute) {
    const std::chrono::milliseconds expected[] = {0ms, 1s, 2s, 4s, 8s, 16s, 32s, 60s, 60s};
    for (unsigned failures = 0; failures < std::size(expected); ++failures)
        EXPECT_EQ(ble::reconnectDelay(failures), expected[failures]) << failures;
    EXPECT_EQ(ble::reconnectDelay(1000), 60s);
    EXPECT_EQ(ble::reconnectDelay(~0u), 60s);
}

}  // namespace
