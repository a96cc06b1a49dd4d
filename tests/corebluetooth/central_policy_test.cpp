#include "ble/corebluetooth/central_policy.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <sstream>
#include <string>

#include "loop/manual_queue.hpp"

namespace {

using corebluetooth::CentralPolicy;
using namespace std::chrono_literals;

const codec::Uuid service = codec::Uuid::of("A3E5B7C9-5D1F-4E2A-9B6C-000000000001");

// A peripheral's identifier ends in its one-letter name.
codec::Uuid idOf(char name) {
    codec::Uuid id = codec::Uuid::of("5EC1A5E0-0000-4000-8000-000000000000");
    id.bytes.back() = static_cast<std::uint8_t>(name);
    return id;
}

class Face final : public corebluetooth::TrackedPeripheral {
public:
    explicit Face(codec::Uuid id) : id_(id) {}
    codec::Uuid identifier() const override { return id_; }
    void setDelegate(ble::PeripheralDelegate*) override {}
    void discoverServices(const std::vector<codec::Uuid>&) override {}
    std::optional<std::vector<ble::ServicePtr>> services() const override { return std::nullopt; }
    void discoverCharacteristics(const std::vector<codec::Uuid>&, const ble::ServicePtr&) override {}
    void setNotifyValue(bool, const ble::CharacteristicPtr&) override {}
    void writeValue(const codec::Bytes&, const ble::CharacteristicPtr&) override {}
    std::size_t maximumWriteValueLength() const override { return 512; }
    std::size_t singlePacketWriteLength() const override { return 182; }
    void forgetAttributes() override {}

private:
    codec::Uuid id_;
};

// The stack and the bridge around a policy, each writing what it is asked or told to one log:
// stack calls as "scan", "connect:A", "cancel:A", "retrieve"; reports to the bridge as
// "state:on", "found:A", "connected:A", "failed:A", "lost:A". Like the bridge, the fake one
// scans when the adapter comes on and connects to every peripheral it is told of.
class World final : public ble::CentralDelegate {
public:
    World()
        : policy_(*this, queue_, {}, [this](CentralPolicy&) { return std::make_unique<StackFace>(*this); },
                  {.connectTimeout = 30s, .forgetAfter = 300s}) {}

    // Runs the steps, space separated, and answers the log. A step is a verb, or a verb and
    // a peripheral (one letter; "A'" is A's object before the last `newobj:A`): on, off,
    // resetting, unauthorized (the manager's state);
    // adv:A (advertises), newobj:A (the stack makes a new object for it), system:A (connected
    // to the system: retrievals return it), up:A, fail:A, down:A (the stack's callbacks),
    // changed:A, otherchanged:A (our service, or another, invalidated), ready:A (the bridge's
    // setup finished), cancel:A (the bridge cancels), wait:N (N seconds pass).
    std::string run(const std::string& steps) {
        std::istringstream in(steps);
        for (std::string step; in >> step;) {
            const auto colon = step.find(':');
            const std::string verb = step.substr(0, colon);
            const std::string arg = colon == std::string::npos ? "" : step.substr(colon + 1);
            const char name = arg.empty() ? '?' : arg[0];
            const bool former = arg.size() > 1 && arg[1] == '\'';
            if (states.count(verb)) {
                state_ = states.at(verb);
                if (verb != "on") scanning_ = false;
                policy_.stateChanged();
            } else if (verb == "adv") {
                advertise(name);
            } else if (verb == "newobj") {
                objects_[name].emplace_back(name);
            } else if (verb == "system") {
                system_.push_back(name);
            } else if (verb == "up") {
                policy_.connected(object(name, former));
            } else if (verb == "fail" || verb == "down") {
                policy_.ended(object(name, former), ble::Error{verb});
            } else if (verb == "changed" || verb == "otherchanged") {
                policy_.servicesInvalidated(object(name, former), {verb == "changed" ? service : idOf('Z')});
            } else if (verb == "ready") {
                std::static_pointer_cast<Face>(faces_.at(name))->tracker().setUp();
            } else if (verb == "cancel") {
                policy_.cancelConnection(faces_.at(name));
            } else if (verb == "wait") {
                queue_.advance(std::chrono::seconds(std::stoi(arg)));
            } else {
                ADD_FAILURE() << "unknown step " << step;
            }
            queue_.runUntilIdle();
        }
        return log_;
    }

    CentralPolicy& policy() { return policy_; }
    const void* object(char name, bool former = false) {
        auto& objects = objects_[name];
        if (objects.empty()) objects.emplace_back(name);
        return &objects[objects.size() - (former ? 2 : 1)];
    }
    void advertise(char name) {
        policy_.discovered(object(name), idOf(name), {}, [name] { return std::make_shared<Face>(idOf(name)); });
    }

private:
    // The policy owns its stack: this forwards to the world.
    struct StackFace final : corebluetooth::Stack {
        explicit StackFace(World& w) : world(w) {}
        int state() const override { return world.state_; }
        std::string_view stateReason() const override { return {}; }
        bool isScanning() const override { return world.scanning_; }
        void scan(const std::vector<codec::Uuid>& services) override {
            EXPECT_EQ(services, std::vector<codec::Uuid>{service});
            world.scanning_ = true;
            world.write("scan");
        }
        void stopScan() override {
            world.scanning_ = false;
            world.write("stop");
        }
        void connect(const void* object) override { world.write("connect:" + world.nameOf(object)); }
        void cancel(const void* object) override { world.write("cancel:" + world.nameOf(object)); }
        void retrieveConnected(const std::vector<codec::Uuid>&) override {
            world.write("retrieve");
            for (char name : world.system_) world.advertise(name);
        }
        World& world;
    };

    inline static const std::map<std::string, int> states = {
        {"on", ble::ManagerState::poweredOn},
        {"off", ble::ManagerState::poweredOff},
        {"resetting", ble::ManagerState::resetting},
        {"unauthorized", ble::ManagerState::unauthorized}};

    void centralDidUpdateState() override {
        for (const auto& [name, value] : states)
            if (value == state_) write("state:" + name);
        if (state_ == ble::ManagerState::poweredOn && !policy_.isScanning())
            policy_.scanForPeripherals({service}, false);
    }
    void didDiscover(const ble::PeripheralPtr& p, const ble::Advertisement&) override {
        const char name = nameOf(p);
        faces_[name] = p;
        write(std::string("found:") + name);
        policy_.connect(p);
    }
    void didConnect(const ble::PeripheralPtr& p) override { write(std::string("connected:") + nameOf(p)); }
    void didFailToConnect(const ble::PeripheralPtr& p, const std::optional<ble::Error>&) override {
        write(std::string("failed:") + nameOf(p));
    }
    void didDisconnect(const ble::PeripheralPtr& p, const std::optional<ble::Error>&) override {
        write(std::string("lost:") + nameOf(p));
    }

    static char nameOf(const ble::PeripheralPtr& p) { return static_cast<char>(p->identifier().bytes.back()); }
    std::string nameOf(const void* object) {
        for (auto& [name, objects] : objects_)
            for (std::size_t i = 0; i < objects.size(); ++i)
                if (&objects[i] == object) return std::string(1, name) + (i + 1 < objects.size() ? "'" : "");
        return "?";
    }
    void write(const std::string& entry) { log_ += (log_.empty() ? "" : " ") + entry; }

    loop::ManualQueue queue_;
    int state_ = ble::ManagerState::unknown;
    bool scanning_ = false;
    std::map<char, std::deque<char>> objects_;
    std::map<char, ble::PeripheralPtr> faces_;
    std::vector<char> system_;
    std::string log_;
    CentralPolicy policy_;
};

TEST(CentralPolicy, ScriptedCallbackSequences) {
    struct Case {
        const char* steps;
        const char* log;
        const char* why;
    };
    const char* start = "state:on scan retrieve found:A connect:A";
    const Case cases[] = {
        {"on adv:A adv:A up:A adv:A", "connected:A",
         "advertisements of a peripheral with a connection do not reach the bridge"},
        {"on adv:A up:A ready:A down:A adv:A", "connected:A lost:A retrieve found:A connect:A",
         "a peripheral lost after setup is found again at once"},
        {"on adv:A fail:A adv:A wait:1 adv:A fail:A wait:1 adv:A wait:1 adv:A",
         "failed:A retrieve found:A connect:A failed:A retrieve found:A connect:A",
         "failed attempts hold discovery back 1 s, then 2 s"},
        {"on adv:A up:A cancel:A down:A adv:A wait:1 adv:A", "connected:A cancel:A lost:A retrieve found:A connect:A",
         "a setup the bridge abandoned counts as a failure"},
        {"on adv:A fail:A wait:1 adv:A up:A ready:A down:A adv:A",
         "failed:A retrieve found:A connect:A connected:A lost:A retrieve found:A connect:A",
         "a link that was set up clears the failures"},
        {"on adv:A up:A ready:A down:A adv:A fail:A adv:A", "connected:A lost:A retrieve found:A connect:A failed:A",
         "the next attempt is not set up until the bridge says so: its failure holds discovery back"},
        {"on adv:A wait:29 up:A wait:60", "connected:A", "an attempt that connects within 30 s stands"},
        {"on adv:A wait:30 wait:1 adv:A down:A up:A",
         "cancel:A failed:A retrieve found:A connect:A connected:A",
         "after 30 s an attempt is cancelled and failed; the next waits for the stack to answer the cancel"},
        {"on adv:A wait:30 wait:1 adv:A wait:1 wait:1 up:A",
         "cancel:A failed:A retrieve found:A connect:A connected:A",
         "a cancel the stack never answers holds the next connect back 2 s, not for ever"},
        {"on adv:A off on adv:A fail:A up:A",
         "failed:A state:off state:on scan retrieve found:A connect:A connected:A",
         "the late end of an attempt the adapter's going off cut short does not fail the next one"},
        {"on adv:A off on adv:A wait:2 up:A",
         "failed:A state:off state:on scan retrieve found:A connect:A connected:A",
         "that late end is awaited 2 s at most"},
        {"on adv:A up:A ready:A resetting newobj:A on adv:A up:A",
         "connected:A lost:A state:resetting state:on scan retrieve cancel:A' found:A connect:A connected:A",
         "resetting ends the link; the device comes back as a new object, connected afresh (the old "
         "object's link, if the stack still holds it, cancelled)"},
        {"on adv:A up:A unauthorized adv:A", "connected:A lost:A state:unauthorized",
         "the user withdrawing the permission ends the link, and nothing is offered meanwhile"},
        {"on adv:A wait:30 up:A down:A", "cancel:A failed:A cancel:A",
         "a connection racing the timeout's cancel is cancelled, and its end is not reported again"},
        {"on adv:A wait:31 adv:A cancel:A", "cancel:A failed:A retrieve found:A failed:A",
         "cancelling an attempt that waits for the stack ends it as a task"},
        {"on adv:A up:A ready:A down:A down:A", "connected:A lost:A retrieve",
         "both disconnection callbacks: one report"},
        {"on adv:A cancel:A down:A", "cancel:A failed:A", "a cancelled attempt answered by a disconnection fails"},
        {"on adv:A fail:A down:A", "failed:A", "a failure followed by a disconnection: one report"},
        {"on adv:A off on up:A", "failed:A state:off state:on scan retrieve cancel:A",
         "a power cycle during a connect fails it; the connect that survived is cancelled"},
        {"on adv:A up:A off", "connected:A lost:A state:off", "the adapter going off ends an open link"},
        {"on adv:A up:A newobj:A adv:A down:A' up:A", "connected:A cancel:A' lost:A found:A connect:A connected:A",
         "a new object after a reset ends the old one's link; the old object's late end is dropped"},
        {"on adv:A up:A ready:A changed:A down:A adv:A", "connected:A cancel:A lost:A retrieve found:A connect:A",
         "the peripheral removing our service ends the link as lost"},
        {"on adv:A up:A otherchanged:A", "connected:A", "another service changing keeps the link"},
        {"on adv:A cancel:A", "cancel:A", "the cancel's answer ends the attempt, not the cancel"},
    };
    for (const Case& c : cases) {
        World world;
        EXPECT_EQ(world.run(c.steps), std::string(start) + " " + c.log) << c.why << "\n  steps: " << c.steps;
    }
}

TEST(CentralPolicy, ConnectionsNobodyAskedForAreCancelled) {
    const std::pair<const char*, const char*> cases[] = {
        {"on up:B", "state:on scan retrieve cancel:B"},
        {"on adv:A up:A up:A", "state:on scan retrieve found:A connect:A connected:A"},
    };
    for (const auto& [steps, log] : cases) EXPECT_EQ(World().run(steps), log) << steps;
}

TEST(CentralPolicy, PeripheralsConnectedToTheSystemAreRetrieved) {
    World world;
    EXPECT_EQ(world.run("system:A on up:A"), "state:on scan retrieve found:A connect:A connected:A");
}

TEST(CentralPolicy, ForgetsPeripheralsWithoutALinkNotSeenForAWhile) {
    World world;
    world.run("on adv:A adv:B fail:B adv:C up:C wait:300 adv:A wait:300");
    EXPECT_NE(world.policy().find(world.object('A')), nullptr) << "seen since the last sweep";
    EXPECT_EQ(world.policy().find(world.object('B')), nullptr) << "no link, not seen";
    EXPECT_NE(world.policy().find(world.object('C')), nullptr) << "its link is open";
}

}  // namespace
