#include "ble/corebluetooth/connection_tracker.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

using corebluetooth::ConnectionTracker;
using corebluetooth::Ending;

// Runs the steps (begin, connected, cancel, end) on a fresh tracker and writes what each one
// answers: begin and connected "yes" or "no", end the callback the bridge gets.
std::string run(const std::string& steps) {
    ConnectionTracker tracker;
    std::istringstream in(steps);
    std::string step, out;
    while (in >> step) {
        if (!out.empty()) out += ' ';
        if (step == "begin") out += tracker.begin() ? "yes" : "no";
        if (step == "connected") out += tracker.connected() ? "yes" : "no";
        if (step == "cancel") {
            tracker.cancelling();
            out += "-";
        }
        if (step == "end") {
            switch (tracker.end()) {
                case Ending::none: out += "none"; break;
                case Ending::failedToConnect: out += "failed"; break;
                case Ending::disconnected: out += "disconnected"; break;
            }
        }
    }
    return out;
}

TEST(ConnectionTracker, EachConnectionEndsInExactlyOneCallback) {
    struct Case {
        const char* steps;
        const char* answers;
        const char* why;
    };
    const Case cases[] = {
        {"begin connected end", "yes yes disconnected", "a connection that was reported ends in didDisconnect"},
        {"begin end", "yes failed", "one that never connected ends in didFailToConnect"},
        {"begin connected end end", "yes yes disconnected none", "both disconnection callbacks: one report"},
        {"begin end end", "yes failed none", "a failure followed by a disconnection: one report"},
        {"begin cancel end", "yes - failed", "cancelling an attempt still ends it with a failure"},
        {"begin connected cancel end", "yes yes - disconnected", "cancelling a connection ends it with didDisconnect"},
        {"begin begin connected", "yes no yes", "a second connect while one is under way asks nothing"},
        {"connected end", "no none", "a stray connection or end of no attempt is not reported"},
        {"begin end connected", "yes failed no", "a late connection report after the end is dropped"},
        {"begin connected end begin end", "yes yes disconnected yes failed", "the next attempt starts afresh"},
    };
    for (const Case& c : cases) EXPECT_EQ(run(c.steps), c.answers) << c.why << ": " << c.steps;
}

TEST(ConnectionTracker, CallbacksFlowOnlyWhileTheConnectionIsOpen) {
    ConnectionTracker tracker;
    EXPECT_FALSE(tracker.open());
    tracker.begin();
    EXPECT_FALSE(tracker.open()) << "nothing of a connection before it is reported";
    EXPECT_EQ(tracker.state(), ble::PeripheralState::connecting);
    tracker.connected();
    EXPECT_TRUE(tracker.open());
    EXPECT_EQ(tracker.state(), ble::PeripheralState::connected);
    tracker.cancelling();
    EXPECT_TRUE(tracker.open()) << "replies still due while the cancellation is under way";
    EXPECT_EQ(tracker.state(), ble::PeripheralState::disconnecting);
    tracker.end();
    EXPECT_FALSE(tracker.open());
    EXPECT_EQ(tracker.state(), ble::PeripheralState::disconnected);
}

TEST(ConnectionTracker, WorkOfAnEndedConnectionIsNotCurrent) {
    ConnectionTracker tracker;
    tracker.begin();
    const auto first = tracker.generation();
    EXPECT_TRUE(tracker.current(first));

    tracker.end();
    EXPECT_FALSE(tracker.current(first)) << "ended";

    tracker.begin();
    EXPECT_FALSE(tracker.current(first)) << "a later connection of the same peripheral";
    EXPECT_TRUE(tracker.current(tracker.generation()));
}

}  // namespace
