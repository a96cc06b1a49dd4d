// Record a session on the simulated stack, replay the recording with the same client: the
// client sees the same events in the same order, at the same virtual times (the tolerance below).
// Every example world, then a table of harder ones.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "ble/record/recorder.hpp"
#include "ble/record/recording_central.hpp"
#include "ble/record/recording_file.hpp"
#include "ble/sim/replay.hpp"
#include "ble/sim/world_file.hpp"
#include "support/sim_fixture.hpp"

namespace {

using namespace testsupport;
using sim::Ms;

// How far apart an event of the replay may be from the recorded session's, in virtual time.
constexpr Ms tolerance{1};
constexpr Ms sessionLength{6000};

// What the client does: at `at`, send `data` to `peer` (protocol 2 answers every send).
struct Send {
    Ms at;
    std::string peer;
    std::string data;
};

struct Timed {
    Ms at;
    std::string line;
};

struct Session {
    std::vector<Timed> events;
    std::string recording;
    std::vector<std::string> departures;
};

// Runs the client on `world`, one virtual millisecond at a time, recording if asked to.
Session run(sim::WorldSpec world, const std::vector<Send>& client, bool record) {
    char path[] = "/tmp/round_trip_XXXXXX";
    const int fd = ::mkstemp(path);
    ::close(fd);
    std::string why;
    std::optional<record::RecordingFile> file = record::RecordingFile::open(path, why);
    EXPECT_TRUE(file) << why;
    Session session;
    {
        std::unique_ptr<record::Recorder> recorder;
        testsupport::Session options{.protocol = 2};
        SimFixture* fixture = nullptr;
        if (record)
            options.decorate = [&](ble::CentralFactory inner) {
                file->start(fixture->queue(), [](std::string_view problem) { ADD_FAILURE() << problem; });
                recorder = std::make_unique<record::Recorder>(
                    *file, record::RecorderOptions{.program = "test", .programVersion = "0"}, [&] {
                        return std::chrono::duration_cast<Ms>(fixture->queue().now().time_since_epoch());
                    });
                return record::recordingCentral(std::move(inner), *recorder, ble::defaultGattProfile);
            };
        SimFixture f(std::move(world), options);
        fixture = &f;
        f.world().setDepartures([&](std::string_view line) { session.departures.emplace_back(line); });
        f.start();
        std::size_t next = 0;
        for (Ms now{0}; now <= sessionLength; now += Ms{1}) {
            while (next < client.size() && client[next].at <= now) {
                f.send(client[next].peer, bytes(client[next].data));
                ++next;
            }
            f.runUntilIdle();
            for (std::string& line : f.takeLines()) session.events.push_back({now, std::move(line)});
            f.advance(Ms{1});
        }
        f.stop();
        f.runUntilIdle();
        file.reset();
    }
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    session.recording = text.str();
    std::remove(path);
    return session;
}

void expectSameSession(const Session& recorded, const Session& replayed) {
    ASSERT_EQ(replayed.events.size(), recorded.events.size()) << "recording:\n" << recorded.recording;
    for (std::size_t i = 0; i < recorded.events.size(); ++i) {
        SCOPED_TRACE("event " + std::to_string(i));
        EXPECT_EQ(replayed.events[i].line, recorded.events[i].line);
        EXPECT_LE(std::chrono::abs(replayed.events[i].at - recorded.events[i].at), tolerance)
            << recorded.events[i].line;
    }
    EXPECT_THAT(replayed.departures, ::testing::IsEmpty());
}

// Records the client on `world`, replays the recording with the same client.
void roundTrip(const sim::WorldSpec& world, const std::vector<Send>& client) {
    const Session recorded = run(world, client, true);
    EXPECT_THAT(recorded.departures, ::testing::IsEmpty());
    const sim::ReplayResult replay = sim::worldFromRecording(recorded.recording, "session.jsonl");
    ASSERT_TRUE(replay.worldText) << replay.error << "\n" << recorded.recording;
    auto loaded = sim::parseWorld(*replay.worldText, "replayed");
    ASSERT_TRUE(loaded.world) << loaded.error << "\n" << *replay.worldText;
    SCOPED_TRACE(*replay.worldText);
    expectSameSession(recorded, run(std::move(*loaded.world), client, false));
}

// Frames to every peripheral of the world, spread over the session.
std::vector<Send> framesToEveryone(const sim::WorldSpec& world) {
    std::vector<Send> client;
    for (const Ms at : {Ms{50}, Ms{120}, Ms{400}, Ms{900}, Ms{1700}, Ms{2600}, Ms{4000}})
        for (const sim::PeripheralSpec& p : world.peripherals)
            client.push_back({at, p.id.text(), "AQID" + std::to_string(at.count())});
    return client;
}

TEST(RoundTrip, EveryExampleWorld) {
    for (const auto& entry : std::filesystem::directory_iterator(GATTRELAY_WORLDS_DIR)) {
        SCOPED_TRACE(entry.path().filename().string());
        auto loaded = sim::loadWorldFile(entry.path().string());
        ASSERT_TRUE(loaded.world) << loaded.error;
        roundTrip(*loaded.world, framesToEveryone(*loaded.world));
    }
}

TEST(RoundTrip, HarderWorlds) {
    const sim::Delays slow{.connect = Ms{30}, .discoverServices = Ms{7}, .discoverCharacteristics = Ms{5},
                           .subscribe = Ms{3}, .write = Ms{12}, .disconnect = Ms{4}};
    struct Case {
        const char* name;
        sim::WorldSpec world;
    };
    const std::vector<Case> cases = {
        {"retries and failures by number",
         {.peripherals = {Peer(peerA).failFirstAttempts(2).failWrite(9).delays(slow).echo()}}},
        {"drops at times and comes back",
         {.peripherals = {Peer(peerA).disconnectAt(Ms{700}).disconnectAt(Ms{2100}).readvertiseAfter(Ms{250}).echo()}}},
        {"drops after writes",
         {.peripherals = {Peer(peerA).disconnectAfterWrites(3).readvertiseAfter(Ms{90}).delays(slow).echo()}}},
        {"notifications at times",
         {.peripherals = {Peer(peerA)
                              .notification(Ms{10}, bytes("AAE="))
                              .notification(Ms{450}, bytes("AAI="))
                              .notification(Ms{3000}, bytes("AAM="))}}},
        {"connections that fail, then one that holds",
         {.peripherals = {Peer(peerA).connectFails().readvertiseAfter(Ms{300}), Peer(peerB).advertiseAt(Ms{600}).echo()}}},
        {"several peers, a write limit that drops, an adapter switched off and on",
         {.adapter = {{.at = Ms{0}}, {.at = Ms{1000}, .state = ble::ManagerState::poweredOff},
                      {.at = Ms{1300}, .state = ble::ManagerState::poweredOn}},
          .peripherals = {Peer(peerA).writeLimit(100).writeLimitAt(Ms{500}, 4).readvertiseAfter(Ms{20}).echo(),
                          Peer(peerB).name("B").rssi(-50).readvertiseAfter(Ms{60}).delays(slow).echo(),
                          Peer(peerC).subscribeFails().readvertiseAfter(Ms{400})}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        roundTrip(c.world, framesToEveryone(c.world));
    }
}

// A device that answers each command with three notifications 40 ms apart, as a recording says.
TEST(RoundTrip, AScriptedWorldRecordsAsItself) {
    sim::PeripheralSpec p = Peer(peerA);
    sim::ScriptedWrite answer{.after = Ms{8},
                              .notify = {{Ms{0}, bytes("AQ==")}, {Ms{40}, bytes("Ag==")}, {Ms{80}, bytes("Aw==")}}};
    p.connections = {{.writes = {answer, {.fails = true, .after = Ms{3}}, answer},
                      .drop = sim::Drop{.afterWrites = 3, .after = Ms{500}},
                      .readvertiseAfter = Ms{100}},
                     {.fails = true, .readvertiseAfter = Ms{100}},
                     {.writes = {answer}}};
    const sim::WorldSpec world{.peripherals = {p}};
    roundTrip(world, {{Ms{100}, peerA, "AA=="}, {Ms{300}, peerA, "AA=="}, {Ms{1500}, peerA, "AA=="}});
}

// A stack that delivers a notification before the answer to the write that caused it (BlueZ
// does, at times): the replay keeps it before the answer, and after the request.
TEST(RoundTrip, NotificationsBeforeTheirWritesAnswer) {
    sim::PeripheralSpec p = Peer(peerA);
    sim::ScriptedWrite echo{.after = Ms{9}, .notify = {{Ms{-9}, bytes("1")}, {Ms{-4}, bytes("2")}, {Ms{0}, bytes("3")}}};
    p.connections = {{.writes = {echo, {.after = Ms{2}, .notify = {{Ms{-1}, bytes("4")}}}, echo}}};
    const sim::WorldSpec world{.peripherals = {p}};
    const std::vector<Send> client{{Ms{100}, peerA, "AA=="}, {Ms{300}, peerA, "AA=="}, {Ms{301}, peerA, "AA=="}};
    roundTrip(world, client);
    const std::string text = *sim::worldFromRecording(run(world, client, true).recording, "r").worldText;
    EXPECT_THAT(text, ::testing::HasSubstr(R"({"after": 2, "notify": [{"after": -1, )"));
}

TEST(RoundTrip, GoingPastTheScriptIsSaidOnceAndAnsweredTheDocumentedWay) {
    sim::PeripheralSpec p = Peer(peerA);
    p.connections = {{.writes = {{.fails = true}}, .drop = sim::Drop{.afterWrites = 2}, .readvertiseAfter = Ms{10}}};
    const Session s = run({.peripherals = {p}},
                          {{Ms{10}, peerA, "AA=="}, {Ms{300}, peerA, "AQ=="}, {Ms{400}, peerA, "Ag=="}}, false);
    EXPECT_EQ(s.departures,
              (std::vector<std::string>{
                  "peer " + peerA + ": write 2 of a connection goes past the script; it and any later one succeed at "
                                    "once with no notification",
                  "peer " + peerA + ": connection attempt 2 goes past the script; it and any later one fail"}));
}

}  // namespace
