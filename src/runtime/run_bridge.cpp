#include "runtime/run_bridge.hpp"

#include <thread>
#include <unistd.h>

#include "protocol/command_reader.hpp"
#include "runtime/bridge.hpp"

namespace runtime {

int runBridge(loop::MainQueue& queue, const std::function<void()>& run, const ble::CentralFactory& central) {
    protocol::EventStream events(protocol::standardOutput());
    std::thread reader;
    auto bridge = Bridge::create({
        .queue = queue,
        .events = events,
        .makeCentral = central,
        .readCommands =
            [&](std::weak_ptr<protocol::CommandTarget> target) {
                reader = protocol::readCommands(STDIN_FILENO, queue, std::move(target));
            },
    });
    while (!bridge->stopping()) run();
    // The reader's last act was posting the stop task that ended the loop: nothing is pending.
    reader.join();
    return 0;
}

}  // namespace runtime
