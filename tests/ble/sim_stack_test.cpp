// The simulated stack's own promises, checked by driving it directly as a bridge would and
// logging every callback it delivers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "ble/sim/sim_world.hpp"
#include "ble/gatt_profile.hpp"
#include "loop/manual_queue.hpp"
#include "support/sim_fixture.hpp"

namespace {

using namespace testsupport;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The letter that ends a peer id of the fixture: "A" for peerA.
std::string letter(const ble::PeripheralPtr& p) { return p->identifier().text().substr(35); }

std::string outcome(const std::optional<ble::Error>& error) { return error ? " failed" : ""; }

// Plays the bridge's part: makes the central, calls the stack on request, and logs each callback
// as text with the virtual time it came at. A callback that arrives while the test is inside a
// call into the stack breaks the promise of no re-entrancy.
class Driver : public ble::CentralDelegate, public ble::PeripheralDelegate {
public:
    explicit Driver(std::vector<sim::PeripheralSpec> peripherals, std::vector<sim::AdapterStep> adapter = {{}})
        : world(sim::WorldSpec{.adapter = std::move(adapter), .peripherals = std::move(peripherals)}, queue) {
        call([&] { central = world.centralFactory()(*this, {}); });
    }

    // Runs `f` as a call into the stack.
    template <class F>
    void call(F&& f) {
        inCall = true;
        f();
        inCall = false;
    }

    void scan() {
        call([&] { central->scanForPeripherals({ble::defaultServiceUuid}, false); });
    }
    // Scans, and connects to the peer once discovered.
    const ble::PeripheralPtr& connect(const std::string& id) {
        scan();
        queue.runUntilIdle();
        const ble::PeripheralPtr& p = found.at(id);
        call([&] { central->connect(p); });
        return p;
    }
    // Connects and sets the peer up down to its outbox notifying, as far as the peer lets it.
    const ble::PeripheralPtr& setUp(const std::string& id) {
        const ble::PeripheralPtr& p = connect(id);
        queue.runUntilIdle();
        call([&] { p->discoverServices({ble::defaultServiceUuid}); });
        queue.runUntilIdle();
        if (!p->services() || p->services()->empty()) return p;
        call([&] { p->discoverCharacteristics({ble::defaultInboxUuid, ble::defaultOutboxUuid}, p->services()->front()); });
        queue.runUntilIdle();
        if (!p->services()->front()->characteristics()) return p;
        call([&] { p->setNotifyValue(true, characteristic(p, ble::defaultOutboxUuid)); });
        queue.runUntilIdle();
        return p;
    }
    void write(const ble::PeripheralPtr& p, const std::string& text) {
        call([&] { p->writeValue(bytes(text), characteristic(p, ble::defaultInboxUuid)); });
    }
    static ble::CharacteristicPtr characteristic(const ble::PeripheralPtr& p, const codec::Uuid& uuid) {
        const auto characteristics = p->services()->front()->characteristics();
        for (const ble::CharacteristicPtr& c : *characteristics)
            if (c->uuid() == uuid) return c;
        return nullptr;
    }
    // The log so far, emptied (with its times).
    std::vector<std::string> take() {
        times.clear();
        return std::exchange(log, {});
    }

    void centralDidUpdateState() override { note("state " + std::to_string(central->state())); }
    void didDiscover(const ble::PeripheralPtr& p, const ble::Advertisement&) override {
        found[p->identifier().text()] = p;
        p->setDelegate(this);
        note("discover " + letter(p));
    }
    void didConnect(const ble::PeripheralPtr& p) override { note("connect " + letter(p)); }
    void didFailToConnect(const ble::PeripheralPtr& p, const std::optional<ble::Error>&) override {
        note("fail to connect " + letter(p));
    }
    void didDisconnect(const ble::PeripheralPtr& p, const std::optional<ble::Error>&) override {
        note("disconnect " + letter(p));
    }
    void didDiscoverServices(const ble::PeripheralPtr& p, const std::optional<ble::Error>& error) override {
        note("services " + letter(p) + outcome(error));
    }
    void didDiscoverCharacteristics(const ble::PeripheralPtr& p, const ble::ServicePtr&,
                                    const std::optional<ble::Error>& error) override {
        note("characteristics " + letter(p) + outcome(error));
    }
    void didUpdateNotificationState(const ble::PeripheralPtr& p, const ble::CharacteristicPtr&,
                                    const std::optional<ble::Error>& error) override {
        note("subscribe " + letter(p) + outcome(error));
    }
    void didUpdateValue(const ble::PeripheralPtr& p, const ble::CharacteristicPtr&, std::span<const std::uint8_t> value,
                        const std::optional<ble::Error>&) override {
        note("value " + letter(p) + " " + std::string(value.begin(), value.end()));
    }
    void didWriteValue(const ble::PeripheralPtr& p, const ble::CharacteristicPtr&,
                       const std::optional<ble::Error>& error) override {
        note("write " + letter(p) + outcome(error));
    }

    loop::ManualQueue queue;
    sim::SimWorld world;
    std::unique_ptr<ble::CentralManager> central;
    std::map<std::string, ble::PeripheralPtr> found;
    std::vector<std::string> log;
    // Virtual time of each log entry, in milliseconds.
    std::vector<long> times;
    bool inCall = false;

private:
    void note(std::string entry) {
        EXPECT_FALSE(inCall) << "re-entrant callback: " << entry;
        log.push_back(std::move(entry));
        times.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(queue.now().time_since_epoch()).count());
    }
};

TEST(SimStack, FirstStateComesAsATaskThenOnEveryChangeOnly) {
    Driver d({}, {{0ms, ble::ManagerState::poweredOff},
                  {10ms, ble::ManagerState::poweredOn},
                  {20ms, ble::ManagerState::poweredOn},
                  {30ms, ble::ManagerState::resetting}});
    EXPECT_THAT(d.log, IsEmpty());
    d.queue.advance(100ms);
    EXPECT_THAT(d.times, ElementsAre(0, 10, 30));
    EXPECT_THAT(d.take(), ElementsAre("state 4", "state 5", "state 1"));
}

TEST(SimStack, AdapterLeavingPoweredOnEndsTheScanAndEveryConnectionAfterTheStateCallback) {
    Driver d({Peer(peerA), Peer(peerB).delays({.connect = 50ms})});
    d.queue.runUntilIdle();
    d.connect(peerA);
    d.call([&] { d.central->connect(d.found.at(peerB)); });
    d.queue.runUntilIdle();
    d.take();
    d.world.setAdapterState(ble::ManagerState::unauthorized);
    d.queue.advance(100ms);
    EXPECT_FALSE(d.central->isScanning());
    EXPECT_THAT(d.take(), ElementsAre("state 3", "disconnect A", "fail to connect B"));
    EXPECT_EQ(d.found.at(peerB)->state(), ble::PeripheralState::disconnected);
}

TEST(SimStack, ScanSeesEachAdvertisementOnceWhilePoweredOnAndScanningForTheService) {
    Driver d({Peer(peerA), Peer(peerB).advertiseAt(50ms)},
             {{0ms, ble::ManagerState::poweredOn}, {100ms, ble::ManagerState::poweredOff}});
    d.queue.runUntilIdle();
    d.call([&] { d.central->scanForPeripherals({ble::defaultInboxUuid}, false); });
    d.queue.runUntilIdle();
    EXPECT_THAT(d.take(), ElementsAre("state 5")) << "a scan for another service sees nothing";

    d.scan();
    EXPECT_TRUE(d.central->isScanning());
    d.queue.advance(60ms);
    EXPECT_THAT(d.times, ElementsAre(0, 50));
    EXPECT_THAT(d.take(), ElementsAre("discover A", "discover B"));

    // A scan started again does not report the same advertisements again.
    d.call([&] { d.central->stopScan(); });
    d.scan();
    d.queue.advance(10ms);
    EXPECT_THAT(d.take(), IsEmpty());

    // Powered off: the scan ends, and a new advertisement waits for the next scan while on.
    d.queue.advance(40ms);
    EXPECT_FALSE(d.central->isScanning());
    d.world.advertise(uuid(peerA));
    d.scan();
    d.queue.runUntilIdle();
    EXPECT_FALSE(d.central->isScanning());
    EXPECT_THAT(d.take(), ElementsAre("state 4"));
    d.world.setAdapterState(ble::ManagerState::poweredOn);
    d.queue.runUntilIdle();
    d.scan();
    d.queue.runUntilIdle();
    EXPECT_THAT(d.take(), ElementsAre("state 5", "discover A"));
}

TEST(SimStack, OnePeripheralObjectForTheDeviceWhoseStateFollowsTheConnection) {
    Driver d({Peer(peerA).delays({.connect = 5ms, .disconnect = 5ms}).readvertiseAfter(10ms)});
    d.queue.runUntilIdle();
    const ble::PeripheralPtr first = d.connect(peerA);
    EXPECT_EQ(first->state(), ble::PeripheralState::connecting);
    d.queue.advance(5ms);
    EXPECT_EQ(first->state(), ble::PeripheralState::connected);
    d.call([&] { d.central->cancelConnection(first); });
    EXPECT_EQ(first->state(), ble::PeripheralState::disconnecting);
    d.queue.advance(5ms);
    EXPECT_EQ(first->state(), ble::PeripheralState::disconnected);
    d.queue.advance(10ms);
    EXPECT_THAT(d.take(), ElementsAre("state 5", "discover A", "connect A", "disconnect A", "discover A"));
    EXPECT_EQ(d.found.at(peerA), first);
}

// Every way a connection can end, while it is being made and once it is made, with a write and
// a discovery still in flight: exactly one ending callback, and nothing of the connection after.
TEST(SimStack, EveryConnectionEndsOnceAndNothingOfItFollows) {
    struct Ending {
        const char* name;
        std::function<void(Driver&, const ble::PeripheralPtr&)> act;
    };
    const std::vector<Ending> endings = {
        {"cancel", [](Driver& d, const ble::PeripheralPtr& p) { d.call([&] { d.central->cancelConnection(p); }); }},
        {"test disconnects", [](Driver& d, const ble::PeripheralPtr&) { d.world.disconnect(uuid(peerA)); }},
        {"adapter off", [](Driver& d, const ble::PeripheralPtr&) { d.world.setAdapterState(ble::ManagerState::poweredOff); }},
        {"cancel and test disconnects together",
         [](Driver& d, const ble::PeripheralPtr& p) {
             d.world.disconnect(uuid(peerA));
             d.call([&] { d.central->cancelConnection(p); });
             d.world.setAdapterState(ble::ManagerState::poweredOff);
         }},
    };
    for (const Ending& ending : endings) {
        for (const bool connected : {false, true}) {
            SCOPED_TRACE(std::string(ending.name) + (connected ? " when connected" : " when connecting"));
            // Connected, the subscription and a write are in flight when the connection ends.
            Driver d({Peer(peerA).delays({.connect = connected ? 0ms : 5ms, .subscribe = 5ms, .write = 5ms})});
            d.queue.runUntilIdle();
            const ble::PeripheralPtr p = connected ? d.setUp(peerA) : d.connect(peerA);
            if (connected) d.write(p, "in flight");
            d.take();
            ending.act(d, p);
            d.queue.advance(1s);
            std::vector<std::string> log = d.take();
            std::erase_if(log, [](const std::string& e) { return e.starts_with("state"); });
            EXPECT_THAT(log, ElementsAre(connected ? "disconnect A" : "fail to connect A"));
            EXPECT_EQ(p->state(), ble::PeripheralState::disconnected);
        }
    }
}

TEST(SimStack, PeripheralEndsConnectionsAtItsTimesAndAfterItsWrites) {
    Driver d({Peer(peerA).disconnectAt(10ms).disconnectAt(50ms).readvertiseAfter(0ms),
              Peer(peerB).disconnectAfterWrites(2).delays({.write = 1ms})});
    d.queue.runUntilIdle();
    d.connect(peerA);
    d.queue.advance(20ms);
    EXPECT_THAT(d.times, ElementsAre(0, 0, 0, 0, 10, 10));
    EXPECT_THAT(d.take(), ElementsAre("state 5", "discover A", "discover B", "connect A", "disconnect A", "discover A"));
    d.call([&] { d.central->connect(d.found.at(peerA)); });
    d.queue.advance(40ms);
    EXPECT_THAT(d.times, ElementsAre(20, 50, 50));
    EXPECT_THAT(d.take(), ElementsAre("connect A", "disconnect A", "discover A"));

    const ble::PeripheralPtr& b = d.setUp(peerB);
    d.take();
    for (const char* text : {"1", "2", "3"}) d.write(b, text);
    d.queue.advance(10ms);
    EXPECT_THAT(d.take(), ElementsAre("write B", "write B", "disconnect B"));
}

TEST(SimStack, DelaysRunOnTheVirtualClock) {
    Driver d({Peer(peerA).delays({.connect = 10ms,
                                  .discoverServices = 20ms,
                                  .discoverCharacteristics = 30ms,
                                  .subscribe = 40ms,
                                  .write = 50ms,
                                  .disconnect = 60ms})});
    d.queue.runUntilIdle();
    const ble::PeripheralPtr p = d.connect(peerA);
    d.queue.advance(10ms);
    d.call([&] { p->discoverServices({ble::defaultServiceUuid}); });
    d.queue.advance(20ms);
    d.call([&] { p->discoverCharacteristics({}, p->services()->front()); });
    d.queue.advance(30ms);
    d.call([&] { p->setNotifyValue(true, Driver::characteristic(p, ble::defaultOutboxUuid)); });
    d.queue.advance(40ms);
    d.write(p, "x");
    d.queue.advance(49ms);
    EXPECT_THAT(d.log.back(), "subscribe A");
    d.queue.advance(1ms);
    d.call([&] { d.central->cancelConnection(p); });
    d.queue.advance(60ms);
    EXPECT_THAT(d.times, ElementsAre(0, 0, 10, 30, 60, 100, 150, 210));
    EXPECT_THAT(d.take(), ElementsAre("state 5", "discover A", "connect A", "services A", "characteristics A",
                                      "subscribe A", "write A", "disconnect A"));
}

TEST(SimStack, NotificationsComeInOrderEachWithItsOwnValue) {
    Driver d({Peer(peerA)
                  .echo()
                  .notification(5ms, bytes("first"))
                  .notification(5ms, bytes("second"))
                  .notification(7ms, bytes("third"))});
    d.queue.runUntilIdle();
    const ble::PeripheralPtr& p = d.setUp(peerA);
    d.take();
    d.world.notify(uuid(peerA), bytes("now"));
    d.world.notify(uuid(peerA), bytes("and now"));
    d.write(p, "echo 1");
    d.write(p, "echo 2");
    d.queue.advance(10ms);
    EXPECT_THAT(d.take(), ElementsAre("value A now", "value A and now", "write A", "write A", "value A echo 1",
                                      "value A echo 2", "value A first", "value A second", "value A third"));
}

TEST(SimStack, NotificationsNeedANotifyingOutboxOnTheCurrentConnection) {
    Driver d({Peer(peerA).echo().notification(5ms, bytes("scheduled")).readvertiseAfter(0ms)});
    d.queue.runUntilIdle();
    const ble::PeripheralPtr& p = d.setUp(peerA);
    d.world.disconnect(uuid(peerA));
    d.world.notify(uuid(peerA), bytes("lost with the connection"));
    d.queue.advance(10ms);
    // Connected again, but not subscribed: nothing is heard, not even the old schedule.
    d.call([&] { d.central->connect(p); });
    d.queue.runUntilIdle();
    d.world.notify(uuid(peerA), bytes("nobody listens"));
    d.queue.advance(10ms);
    EXPECT_THAT(d.take(), ElementsAre("state 5", "discover A", "connect A", "services A", "characteristics A",
                                      "subscribe A", "disconnect A", "discover A", "connect A"));
}

TEST(SimStack, WriteOutcomesFollowTheirPattern) {
    struct Case {
        const char* name;
        Peer peer;
        std::vector<std::string> outcomes;
    };
    const std::vector<Case> cases = {
        {"every write succeeds", Peer(peerA), {"ok", "ok", "ok"}},
        {"every write fails", Peer(peerA).failAllWrites(), {"fail", "fail", "fail"}},
        {"first two attempts of each frame", Peer(peerA).failFirstAttempts(2), {"fail", "fail", "ok", "fail", "fail", "ok"}},
        {"second and fifth writes", Peer(peerA).failWrite(2).failWrite(5), {"ok", "fail", "ok", "ok", "fail", "ok"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Driver d({c.peer});
        d.queue.runUntilIdle();
        const ble::PeripheralPtr& p = d.setUp(peerA);
        d.take();
        for (std::size_t i = 0; i < c.outcomes.size(); ++i) d.write(p, "x");
        d.queue.runUntilIdle();
        std::vector<std::string> outcomes;
        for (const std::string& e : d.take()) outcomes.push_back(e == "write A" ? "ok" : "fail");
        EXPECT_EQ(outcomes, c.outcomes);
    }
}

TEST(SimStack, WritesFailWhenTheTestSaysOrBeyondTheLimitOrNotToTheInbox) {
    Driver d({Peer(peerA).writeLimit(4).writeLimitAt(100ms, 8)});
    d.queue.runUntilIdle();
    const ble::PeripheralPtr& p = d.setUp(peerA);
    d.take();
    EXPECT_EQ(p->maximumWriteValueLength(), 4u);
    d.world.failNextWrite(uuid(peerA));
    d.write(p, "four");
    d.write(p, "four");
    d.write(p, "five!");
    d.call([&] { p->writeValue(bytes("x"), Driver::characteristic(p, ble::defaultOutboxUuid)); });
    d.queue.advance(100ms);
    EXPECT_EQ(p->maximumWriteValueLength(), 8u);
    d.write(p, "five!");
    d.world.setWriteLimit(uuid(peerA), 2);
    EXPECT_EQ(p->maximumWriteValueLength(), 2u);
    d.queue.runUntilIdle();
    EXPECT_THAT(d.take(), ElementsAre("write A failed", "write A", "write A failed", "write A failed", "write A"));
}

TEST(SimStack, LayoutsAndSetupFailures) {
    {
        Driver d({Peer(peerA).services(2).noInbox().outboxNotifying()});
        d.queue.runUntilIdle();
        const ble::PeripheralPtr& p = d.connect(peerA);
        d.queue.runUntilIdle();
        EXPECT_FALSE(p->services());
        d.call([&] { p->discoverServices({ble::defaultServiceUuid}); });
        d.queue.runUntilIdle();
        ASSERT_EQ(p->services()->size(), 2u);
        const ble::ServicePtr second = p->services()->back();
        EXPECT_FALSE(second->characteristics());
        d.call([&] { p->discoverCharacteristics({ble::defaultInboxUuid, ble::defaultOutboxUuid}, second); });
        d.queue.runUntilIdle();
        ASSERT_EQ(second->characteristics()->size(), 1u);
        EXPECT_EQ(second->characteristics()->front()->uuid(), ble::defaultOutboxUuid);
        EXPECT_TRUE(second->characteristics()->front()->isNotifying());
        EXPECT_FALSE(p->services()->front()->characteristics()) << "only the instance asked about is discovered";
    }
    {
        Driver d({Peer(peerA).services(0)});
        d.queue.runUntilIdle();
        const ble::PeripheralPtr& p = d.connect(peerA);
        d.queue.runUntilIdle();
        d.call([&] { p->discoverServices({ble::defaultServiceUuid}); });
        d.queue.runUntilIdle();
        ASSERT_TRUE(p->services());
        EXPECT_THAT(*p->services(), IsEmpty());
    }
    for (Peer peer : {Peer(peerA).discoverServicesFails(), Peer(peerA).discoverCharacteristicsFails(),
                      Peer(peerA).subscribeFails(), Peer(peerA).connectFails()}) {
        Driver d({peer});
        d.queue.runUntilIdle();
        d.setUp(peerA);
        std::vector<std::string> log = d.take();
        EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& e) {
                      return e.ends_with("failed") || e.starts_with("fail");
                  }),
                  1)
            << ::testing::PrintToString(log);
    }
}

TEST(SimStack, RecordsOnlyWhenAskedAndStopsCallingAGoneBridge) {
    Driver d({Peer(peerA).notification(5ms, bytes("late"))});
    d.queue.runUntilIdle();
    d.setUp(peerA);
    EXPECT_THAT(d.world.requests(), IsEmpty());
    d.world.setRecording(true);
    d.write(d.found.at(peerA), "x");
    ASSERT_EQ(d.world.requests().size(), 1u);
    EXPECT_EQ(d.world.requests()[0].kind, sim::Request::Kind::write);
    EXPECT_EQ(d.world.requests()[0].bytes, bytes("x"));
    EXPECT_EQ(d.world.requests()[0].characteristic, ble::defaultInboxUuid);

    d.take();
    d.central.reset();
    d.world.setAdapterState(ble::ManagerState::poweredOff);
    d.queue.advance(10ms);
    EXPECT_THAT(d.take(), IsEmpty());
}

}  // namespace
