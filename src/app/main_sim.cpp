// gattrelay-sim [OPTIONS] [WORLD.json]: the bridge on a simulated world, over the real standard
// input and output. With no world file it runs the built-in demo world (examples/worlds/echo.json);
// with --replay FILE, the world of a recording, which --print-world prints instead.
// A bad command line, or a world or recording that cannot be loaded, is reported on standard
// error with exit status 2, before any output; once it is loaded, the bridge's rules hold:
// events only, nothing on standard error unless asked for, exit status 0. A replay says on
// standard error, always, when the client goes past what was recorded.

#include <cstdio>
#include <memory>
#include <string>

#include "ble/sim/replay.hpp"
#include "ble/sim/sim_world.hpp"
#include "ble/sim/world_file.hpp"
#include "app/run_bridge.hpp"

namespace sim {
// The text of examples/worlds/echo.json, compiled in by the build.
extern const char demoWorld[];
}  // namespace sim

int main(int argc, char** argv) {
    const app::Program program{
        .name = "gattrelay-sim", .backend = "sim", .takesWorld = true, .replays = true, .showsAddresses = true};
    app::Options options;
    if (const auto status = app::handleCommandLine(program, argc, argv, options)) return *status;
    sim::WorldFileResult loaded;
    if (options.replay) {
        const sim::ReplayResult replay = sim::loadRecording(*options.replay);
        if (!replay.worldText) {
            std::fprintf(stderr, "gattrelay-sim: %s\n", replay.error.c_str());
            return 2;
        }
        if (options.printWorld) {
            std::fputs(replay.worldText->c_str(), stdout);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
        loaded = sim::parseWorld(*replay.worldText, *options.replay);
    } else {
        loaded = options.world ? sim::loadWorldFile(*options.world)
                               : sim::parseWorld(sim::demoWorld, "built-in demo world");
    }
    if (!loaded.world) {
        std::fprintf(stderr, "gattrelay-sim: %s\n", loaded.error.c_str());
        return 2;
    }
    std::unique_ptr<sim::SimWorld> world;
    return app::runBridge(program, options, [&](loop::MainLoop& queue) {
        world = std::make_unique<sim::SimWorld>(std::move(*loaded.world), queue);
        world->setDepartures([](std::string_view line) {
            std::fprintf(stderr, "gattrelay-sim: %.*s\n", static_cast<int>(line.size()), line.data());
        });
        return world->centralFactory();
    });
}
