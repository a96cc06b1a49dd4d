// gattrelay [OPTIONS]: the bridge on BlueZ, Linux's Bluetooth stack, over the system D-Bus.
#include "ble/bluez/bluez_central.hpp"
#include "app/run_bridge.hpp"

int main(int argc, char** argv) {
    const app::Program program{
        .name = "gattrelay", .backend = "bluez", .takesAdapter = true, .showsAddresses = true, .pairs = true};
    app::Options options;
    if (const auto status = app::handleCommandLine(program, argc, argv, options)) return *status;
    return app::runBridge(program, options, [&](loop::MainLoop& queue) {
        // BlueZ's names of the capabilities.
        const std::string pairing = !options.pairing                        ? ""
                                    : *options.pairing == "display-only"    ? "DisplayOnly"
                                    : *options.pairing == "keyboard-only"   ? "KeyboardOnly"
                                                                            : "KeyboardDisplay";
        return bluez::centralFactory(queue, queue,
                                     {.adapter = options.adapter.value_or(""), .pairingCapability = pairing});
    });
}
