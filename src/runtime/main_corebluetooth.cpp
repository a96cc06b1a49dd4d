// gattrelay [OPTIONS] on macOS: the bridge on CoreBluetooth, served by the main dispatch queue and the main
// run loop, where CoreBluetooth delivers its callbacks.
#include "ble/corebluetooth/corebluetooth_central.hpp"
#include "loop/dispatch_main_queue.hpp"
#include "runtime/run_bridge.hpp"

int main(int argc, char** argv) {
    const runtime::Program program{.name = "gattrelay", .backend = "corebluetooth"};
    runtime::Options options;
    if (const auto status = runtime::handleCommandLine(program, argc, argv, options)) return *status;
    return runtime::runBridge<loop::DispatchMainQueue>(
        program, options, [](loop::DispatchMainQueue& queue) { return corebluetooth::centralFactory(queue); });
}
