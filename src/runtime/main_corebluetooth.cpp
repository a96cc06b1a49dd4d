// gattrelay on macOS: the bridge on CoreBluetooth, served by the main dispatch queue and the main
// run loop, where CoreBluetooth delivers its callbacks.
#include "ble/corebluetooth/corebluetooth_central.hpp"
#include "loop/dispatch_main_queue.hpp"
#include "runtime/run_bridge.hpp"

int main() {
    return runtime::runBridge<loop::DispatchMainQueue>(
        [](loop::DispatchMainQueue& queue) { return corebluetooth::centralFactory(queue); });
}
