#include "runtime/run_bridge.hpp"

#include <cstdio>
#include <exception>
#include <unistd.h>

#include "protocol/command_reader.hpp"
#include "runtime/bridge.hpp"
#include "runtime/stop_signals.hpp"

namespace runtime {

namespace {

// Runs `step`. An exception that escapes it turns the status into internalErrorStatus and is
// reported on standard error, in one line, if it is the first.
template <typename Step>
void guarded(int& status, const Step& step) {
    try {
        step();
        return;
    } catch (const std::exception& e) {
        if (status == 0) std::fprintf(stderr, "gattrelay: internal error: %s\n", e.what());
    } catch (...) {
        if (status == 0) std::fputs("gattrelay: internal error: unknown exception\n", stderr);
    }
    status = internalErrorStatus;
}

}  // namespace

int runBridge(loop::MainQueue& queue, const std::function<void()>& run,
              const std::function<ble::CentralFactory()>& backend) {
    protocol::EventStream events(protocol::standardOutput());
    std::unique_ptr<StopSignals> stopSignals;
    protocol::CommandReaderThread reader;
    std::shared_ptr<Bridge> bridge;
    int status = 0;
    guarded(status, [&] {
        // A supervisor's signal is a "stop": the links end as they do at the end of input.
        stopSignals = std::make_unique<StopSignals>();
        bridge = Bridge::create({
            .queue = queue,
            .events = events,
            .makeCentral = backend(),
            .readCommands =
                [&](std::weak_ptr<protocol::CommandTarget> target) {
                    reader = protocol::readCommands(STDIN_FILENO, queue, std::move(target),
                                                    {.stopFd = stopSignals->fd()});
                },
        });
        while (!bridge->stopping()) run();
    });
    // The bridge has stopped, or an exception ended the loop: either way the reader posts nothing
    // more, and the bridge ends its links before the backend goes with it.
    guarded(status, [&] {
        reader.cancel();
        reader.join();
        if (bridge) bridge->stop();
    });
    bridge.reset();
    return status;
}

}  // namespace runtime
