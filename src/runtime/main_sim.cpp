// gattrelay-sim [WORLD.json]: the bridge on a simulated world, over the real standard input and
// output. With no argument it runs the built-in demo world (examples/worlds/echo.json).
// A world that cannot be loaded is reported on standard error with exit status 2, before any
// output; once it is loaded, the bridge's rules hold: events only, nothing on standard error,
// exit status 0.

#include <cstdio>
#include <memory>
#include <string>

#include "ble/sim/sim_world.hpp"
#include "ble/sim/world_file.hpp"
#include "runtime/run_bridge.hpp"

namespace sim {
// The text of examples/worlds/echo.json, compiled in by the build.
extern const char demoWorld[];
}  // namespace sim

int main(int argc, char** argv) {
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        std::fputs("usage: gattrelay-sim [WORLD.json]\n", stderr);
        return 2;
    }
    auto loaded = argc == 2 ? sim::loadWorldFile(argv[1]) : sim::parseWorld(sim::demoWorld, "built-in demo world");
    if (!loaded.world) {
        std::fprintf(stderr, "gattrelay-sim: %s\n", loaded.error.c_str());
        return 2;
    }
    std::unique_ptr<sim::SimWorld> world;
    return runtime::runBridge([&](loop::AsioMainQueue& queue) {
        world = std::make_unique<sim::SimWorld>(std::move(*loaded.world), queue);
        return world->centralFactory();
    });
}
