// gattrelay [OPTIONS] on macOS: the bridge on CoreBluetooth, served by the main dispatch queue and the main
// run loop, where CoreBluetooth delivers its callbacks.
#include "ble/corebluetooth/corebluetooth_central.hpp"
#include "loop/dispatch_main_queue.hpp"
#include "app/run_bridge.hpp"

int main(int argc, char** argv) {
    const app::Program program{.name = "gattrelay", .backend = "corebluetooth"};
    app::Options options;
    if (const auto status = app::handleCommandLine(program, argc, argv, options)) return *status;
    return app::runBridge<loop::DispatchMainQueue>(
        program, options, [](loop::DispatchMainQueue& queue) { return corebluetooth::centralFactory(queue); });
}
