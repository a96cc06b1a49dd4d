#include "app/service_notifier.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "loop/manual_queue.hpp"

namespace app {
namespace {

using namespace std::chrono_literals;

const codec::Uuid first = *codec::Uuid::parse("5EC1A5E0-0000-4000-8000-000000000001");
const codec::Uuid second = *codec::Uuid::parse("5EC1A5E0-0000-4000-8000-000000000002");

struct Notified {
    loop::ManualQueue queue;
    std::vector<std::string> sent;

    ServiceNotifier notifier(std::chrono::microseconds watchdog, bool waitForBroker) {
        return ServiceNotifier(queue, [this](const std::string& s) { sent.push_back(s); }, watchdog, waitForBroker);
    }
    std::vector<std::string> take() { return std::exchange(sent, {}); }
};

TEST(ServiceNotifier, ReadyWithTheFirstAdapterStateThenTheStatusOnEachChange) {
    Notified n;
    auto notifier = n.notifier(0us, false);
    notifier.hello();
    EXPECT_EQ(n.take(), std::vector<std::string>{});
    notifier.state("powered_off", "");
    EXPECT_EQ(n.take(), std::vector<std::string>{"READY=1\nSTATUS=adapter powered_off, 0 peers ready"});
    notifier.state("ready", "");
    notifier.peerConnected({.id = first});
    notifier.mtu(first, 100);
    notifier.peerConnected({.id = second});
    notifier.peerDisconnected(first, 23, bridge::PeerEnd::disconnected);
    notifier.peerDisconnected(first, 23, bridge::PeerEnd::connectFailed);  // no change: nothing said
    notifier.state("unavailable", "no_adapter");
    EXPECT_EQ(n.take(), (std::vector<std::string>{
                            "STATUS=adapter ready, 0 peers ready",
                            "STATUS=adapter ready, 1 peer ready",
                            "STATUS=adapter ready, 2 peers ready",
                            "STATUS=adapter ready, 1 peer ready",
                            "STATUS=adapter unavailable (no_adapter), 1 peer ready",
                        }));
    notifier.stopping();
    EXPECT_EQ(n.take(), std::vector<std::string>{"STOPPING=1"});
}

// A broker outage must not fail the start: the first failed attempt makes it ready as well.
TEST(ServiceNotifier, WithABrokerReadyNeedsTheStateAndTheFirstAttempt) {
    for (const bool connects : {true, false}) {
        SCOPED_TRACE(connects ? "connected" : "failed");
        const std::string broker = connects ? "broker connected" : "broker not connected";
        for (const bool brokerFirst : {true, false}) {
            Notified n;
            auto notifier = n.notifier(0us, true);
            if (brokerFirst) notifier.broker(connects);
            EXPECT_EQ(n.take(), std::vector<std::string>{});
            notifier.state("ready", "");
            if (!brokerFirst) {
                EXPECT_EQ(n.take(), std::vector<std::string>{"STATUS=adapter ready, 0 peers ready, broker connecting"});
                notifier.broker(connects);
            }
            EXPECT_EQ(n.take(), std::vector<std::string>{"READY=1\nSTATUS=adapter ready, 0 peers ready, " + broker});
        }
    }
    Notified n;
    auto notifier = n.notifier(0us, true);
    notifier.state("ready", "");
    notifier.broker(false);
    notifier.broker(false);  // every failed retry: said once
    notifier.broker(true);
    EXPECT_EQ(n.take(), (std::vector<std::string>{"STATUS=adapter ready, 0 peers ready, broker connecting",
                                                  "READY=1\nSTATUS=adapter ready, 0 peers ready, broker not connected",
                                                  "STATUS=adapter ready, 0 peers ready, broker connected"}));
}

TEST(ServiceNotifier, BeatsAtHalfTheWatchdogIntervalUntilStopping) {
    Notified n;
    auto notifier = n.notifier(3s, false);
    n.queue.advance(1499ms);
    EXPECT_EQ(n.take(), std::vector<std::string>{});
    n.queue.advance(1ms);
    EXPECT_EQ(n.take(), std::vector<std::string>{"WATCHDOG=1"});
    n.queue.advance(1499ms);
    EXPECT_EQ(n.take(), std::vector<std::string>{});
    n.queue.advance(1ms);
    EXPECT_EQ(n.take(), std::vector<std::string>{"WATCHDOG=1"});
    n.queue.advance(3s);
    EXPECT_EQ(n.take(), (std::vector<std::string>{"WATCHDOG=1", "WATCHDOG=1"}));
    notifier.stopping();
    n.queue.advance(10s);
    EXPECT_EQ(n.take(), std::vector<std::string>{"STOPPING=1"});
}

TEST(ServiceNotifier, NoWatchdogIntervalNoBeats) {
    Notified n;
    auto notifier = n.notifier(0us, false);
    EXPECT_EQ(n.queue.pendingTimers(), 0u);
}

}  // namespace
}  // namespace app
