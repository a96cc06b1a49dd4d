// gattrelay: the bridge on BlueZ, Linux's Bluetooth stack, over the system D-Bus.
#include "ble/bluez/bluez_central.hpp"
#include "runtime/run_bridge.hpp"

int main() {
    return runtime::runBridge([](loop::AsioMainQueue& queue) { return bluez::centralFactory(queue, queue.context()); });
}
