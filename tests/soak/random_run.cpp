#include "soak/random_run.hpp"

#include <memory>
#include <random>

#include "ble/sim/sim_world.hpp"
#include "protocol/event_stream.hpp"
#include "soak/answer_checker.hpp"
#include "support/sim_fixture.hpp"

namespace soak {

namespace {

using namespace std::chrono_literals;
using sim::Ms;

class Random {
public:
    explicit Random(std::uint64_t seed) : engine_(seed) {}
    // From lo to hi, both included.
    std::int64_t between(std::int64_t lo, std::int64_t hi) {
        return std::uniform_int_distribution<std::int64_t>(lo, hi)(engine_);
    }
    bool chance(double p) { return std::bernoulli_distribution(p)(engine_); }
    Ms ms(std::int64_t hi) { return Ms{between(0, hi)}; }
    template <class T>
    const T& pick(const std::vector<T>& from) {
        return from[static_cast<std::size_t>(between(0, static_cast<std::int64_t>(from.size()) - 1))];
    }
    codec::Bytes bytes(std::size_t n) {
        codec::Bytes b(n);
        for (auto& x : b) x = static_cast<std::uint8_t>(between(0, 255));
        return b;
    }

private:
    std::mt19937_64 engine_;
};

const std::vector<std::size_t> writeLimits{1, 20, 23, 100, 182, 244, 512, 600};
const std::vector<int> adapterStates{0, 1, 2, 3, 4, 5, 5, 5, 7};

sim::PeripheralSpec randomPeripheral(Random& r, unsigned n) {
    testsupport::Peer p(testsupport::peerId(n));
    p.advertiseAt(r.ms(500)).writeLimit(r.pick(writeLimits));
    if (r.chance(0.1)) p.services(r.chance(0.5) ? 0 : 2);
    if (r.chance(0.05)) p.noInbox();
    if (r.chance(0.05)) p.noOutbox();
    if (r.chance(0.2)) p.outboxNotifying();
    if (r.chance(0.08)) p.connectFails();
    if (r.chance(0.05)) p.discoverServicesFails();
    if (r.chance(0.05)) p.discoverCharacteristicsFails();
    if (r.chance(0.08)) p.subscribeFails();
    if (r.chance(0.03)) p.failAllWrites();
    if (r.chance(0.25)) p.failFirstAttempts(static_cast<std::uint32_t>(r.between(1, 3)));
    for (int i = r.chance(0.3) ? static_cast<int>(r.between(1, 20)) : 0; i > 0; --i)
        p.failWrite(static_cast<std::uint64_t>(r.between(1, 200)));
    p.delays({.connect = r.ms(50), .discoverServices = r.ms(30), .discoverCharacteristics = r.ms(30),
              .subscribe = r.ms(30), .write = r.ms(60), .disconnect = r.ms(50)});
    for (int i = static_cast<int>(r.between(0, 3)); i > 0; --i) p.disconnectAt(r.ms(20000));
    if (r.chance(0.1)) p.disconnectAfterWrites(static_cast<std::uint64_t>(r.between(1, 50)));
    // Never at once: a peripheral that fails to connect at once would come back at the same instant forever.
    if (r.chance(0.8)) p.readvertiseAfter(Ms{r.between(10, 500)});
    for (int i = static_cast<int>(r.between(0, 3)); i > 0; --i)
        p.notification(r.ms(3000), r.bytes(static_cast<std::size_t>(r.chance(0.1) ? 0 : r.between(1, 40))));
    if (r.chance(0.5)) p.echo();
    return p;
}

sim::WorldSpec randomWorld(Random& r, unsigned peers) {
    sim::WorldSpec world;
    world.adapter = {{Ms{0}, r.chance(0.85) ? ble::ManagerState::poweredOn : r.pick(adapterStates)}};
    for (int i = static_cast<int>(r.between(0, 3)); i > 0; --i)
        world.adapter.push_back({r.ms(20000), r.pick(adapterStates)});
    std::sort(world.adapter.begin(), world.adapter.end(), [](auto& a, auto& b) { return a.at < b.at; });
    // The adapter is back on at the end, so that a quiet time lets every admitted frame finish.
    world.adapter.push_back({Ms{21000}, ble::ManagerState::poweredOn});
    for (unsigned n = 1; n <= peers; ++n) world.peripherals.push_back(randomPeripheral(r, n));
    return world;
}

// Payloads are unique within a run, so each write names its frame. Short ones number a length's
// own sequence; when it runs out the payload gets longer.
class Payloads {
public:
    codec::Bytes make(std::size_t size) {
        for (;; ++size) {
            std::uint64_t& used = used_[std::min<std::size_t>(size, 8)];
            if (size >= 8 || used < (std::uint64_t{1} << (8 * size))) {
                codec::Bytes b(size, 0x5A);
                std::uint64_t n = used++;
                for (std::size_t i = 0; i < std::min<std::size_t>(size, 8); ++i, n >>= 8) b[i] = static_cast<std::uint8_t>(n);
                return b;
            }
        }
    }

private:
    std::uint64_t used_[9] = {};
};

class Run {
public:
    // In protocol 2 the lines go to the answer checker only: the invariant checker reads protocol 1.
    Run(std::uint64_t seed, int protocol)
        : random_(seed), peers_(static_cast<unsigned>(random_.between(1, 5))),
          world_(randomWorld(random_, peers_), queue_), checker_(spy_, queue_), spy_(checker_),
          events_(
              [this, protocol](std::string_view text) {
                  if (protocol == 1) checker_.line(text);
                  else answers_.line(text);
              },
              static_cast<protocol::Protocol>(protocol)),
          tagged_(protocol == 2) {}

    RunResult play() {
        bridge_ = bridge::Bridge::create({
            .queue = queue_,
            .reports = events_,
            .makeCentral = spy_.wrap(world_.centralFactory()),
            .readCommands = [this](std::weak_ptr<bridge::CommandTarget> t) { target_ = std::move(t); },
        });
        RunResult result;
        const int steps = static_cast<int>(random_.between(50, 400));
        const double stopChance = random_.chance(0.3) ? 1.0 / steps : 0.0;
        const auto& violations = tagged_ ? answers_.violations() : checker_.violations();
        for (result.steps = 0; result.steps < steps && violations.empty(); ++result.steps) {
            act(stopChance);
            queue_.advance(random_.chance(0.2) ? Ms{0} : random_.ms(250));
            checker_.afterStep(*bridge_);
        }
        if (!queue_.stopped()) {
            // Past every timed event of the world, then quiet: every admitted frame has ended.
            const auto left = Ms{22000} - std::chrono::duration_cast<Ms>(queue_.now().time_since_epoch());
            queue_.advance(std::max(left, Ms{0}));
            checker_.afterStep(*bridge_);
            // Up to 10 minutes: long enough for full queues of slow, failing writes to drain.
            for (int i = 0; i < 60 && (tagged_ ? answers_.unanswered() : checker_.waitingFrames()) > 0; ++i) {
                queue_.advance(10s);
                checker_.afterStep(*bridge_);
            }
            if (tagged_) answers_.expectAllAnswered();
            else checker_.settled(*bridge_);
            stop();
            queue_.runUntilIdle();
        }
        if (tagged_) {
            result.violations = answers_.violations();
            result.counts.sends = sends_;
            result.counts.lines = answers_.answers();
            return result;
        }
        checker_.afterStep(*bridge_);
        checker_.finish();
        result.violations = checker_.violations();
        result.counts = checker_.counts();
        return result;
    }

private:
    codec::Uuid somePeer() { return testsupport::uuid(testsupport::peerId(static_cast<unsigned>(random_.between(1, peers_)))); }

    std::size_t payloadSize() {
        const int kind = static_cast<int>(random_.between(0, 99));
        if (kind < 10) return 1;
        if (kind < 70) return static_cast<std::size_t>(random_.between(2, 40));
        if (kind < 90) return static_cast<std::size_t>(random_.between(41, 700));
        if (kind < 94) return 16384;
        if (kind < 98) return 16385;
        return static_cast<std::size_t>(random_.between(16386, 20000));
    }

    void send(const codec::Uuid& id, codec::Bytes payload) {
        if (tagged_) {
            queue_.post([this, id, payload = std::move(payload), tag = "s" + std::to_string(++sends_)]() mutable {
                answers_.sent(tag, id, payload.size());
                if (auto t = target_.lock()) t->sendTagged(id, std::move(payload), tag);
            });
            return;
        }
        queue_.post([this, id, payload = std::move(payload)]() mutable {
            checker_.sendTaskRan(id, payload);
            if (auto t = target_.lock()) t->send(id, std::move(payload));
        });
    }

    void stop() {
        queue_.post([this] {
            answers_.stopped();
            checker_.stopTaskRan();
            if (auto t = target_.lock()) t->stop();
        });
    }

    void act(double stopChance) {
        const int kind = static_cast<int>(random_.between(0, 99));
        const codec::Uuid id = somePeer();
        if (random_.chance(stopChance)) {
            stop();
        } else if (kind < 55) {
            for (int i = static_cast<int>(random_.between(1, 4)); i > 0; --i) send(id, payloads_.make(payloadSize()));
        } else if (kind < 58) {
            // A burst that overfills the queue.
            for (int i = static_cast<int>(random_.between(500, 600)); i > 0; --i)
                send(id, payloads_.make(static_cast<std::size_t>(random_.between(1, 30))));
        } else if (kind < 61) {
            send(testsupport::uuid(testsupport::peerId(0xFFF)), payloads_.make(payloadSize()));
        } else if (kind < 64) {
            world_.setAdapterState(random_.pick(adapterStates));
        } else if (kind < 70) {
            world_.disconnect(id);
        } else if (kind < 76) {
            world_.advertise(id);
        } else if (kind < 84) {
            world_.failNextWrite(id);
        } else if (kind < 92) {
            world_.notify(id, random_.bytes(static_cast<std::size_t>(random_.between(0, 30))));
        } else if (kind < 96) {
            world_.setWriteLimit(id, random_.pick(writeLimits));
        }
        // Otherwise time just passes.
    }

    Random random_;
    unsigned peers_;
    loop::ManualQueue queue_;
    sim::SimWorld world_;
    InvariantChecker checker_;
    Spy spy_;
    AnswerChecker answers_;
    protocol::EventStream events_;
    const bool tagged_;
    std::uint64_t sends_ = 0;
    Payloads payloads_;
    std::weak_ptr<bridge::CommandTarget> target_;
    std::shared_ptr<bridge::Bridge> bridge_;
};

}  // namespace

RunResult runSeed(std::uint64_t seed) { return Run(seed, 1).play(); }

RunResult runSeedInProtocol2(std::uint64_t seed) { return Run(seed, 2).play(); }

}  // namespace soak
