// gattrelay [OPTIONS]: the bridge on BlueZ, Linux's Bluetooth stack, over the system D-Bus.
#include "ble/bluez/bluez_central.hpp"
#include "app/run_bridge.hpp"

int main(int argc, char** argv) {
    const app::Program program{.name = "gattrelay", .backend = "bluez", .takesAdapter = true, .showsAddresses = true};
    app::Options options;
    if (const auto status = app::handleCommandLine(program, argc, argv, options)) return *status;
    return app::runBridge(program, options, [&](loop::AsioMainQueue& queue) {
        return bluez::centralFactory(queue, queue.context(), {.adapter = options.adapter.value_or("")});
    });
}
