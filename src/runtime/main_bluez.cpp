// gattrelay [OPTIONS]: the bridge on BlueZ, Linux's Bluetooth stack, over the system D-Bus.
#include "ble/bluez/bluez_central.hpp"
#include "runtime/run_bridge.hpp"

int main(int argc, char** argv) {
    const runtime::Program program{.name = "gattrelay", .backend = "bluez", .takesAdapter = true};
    runtime::Options options;
    if (const auto status = runtime::handleCommandLine(program, argc, argv, options)) return *status;
    return runtime::runBridge(program, options, [](loop::AsioMainQueue& queue) {
        return bluez::centralFactory(queue, queue.context());
    });
}
