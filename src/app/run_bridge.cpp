#include "app/run_bridge.hpp"

#include <cstdio>
#include <exception>
#include <string>
#include <unistd.h>

#include "protocol/command_reader.hpp"
#include "protocol/event_stream.hpp"
#include "bridge/bridge.hpp"
#include "app/guarded.hpp"
#include "app/stop_signals.hpp"

namespace app {

int runBridge(const Program& program, const Options& options, loop::MainQueue& queue,
              const std::function<void()>& run, const std::function<ble::CentralFactory()>& backend) {
    if (options.listSeconds) return runSurvey(program, options, queue, run, backend);
    protocol::EventStream events(protocol::standardOutput(), options.protocol);
    std::unique_ptr<StopSignals> stopSignals;
    protocol::CommandReaderThread reader;
    std::shared_ptr<bridge::Bridge> theBridge;
    int status = 0;
    guarded(program.name, status, [&] {
        // A supervisor's signal is a "stop": the links end as they do at the end of input.
        stopSignals = std::make_unique<StopSignals>();
        theBridge = bridge::Bridge::create({
            .queue = queue,
            .reports = events,
            .makeCentral = backend(),
            .readCommands =
                [&](std::weak_ptr<bridge::CommandTarget> target) {
                    reader = protocol::readCommands(STDIN_FILENO, queue, std::move(target),
                                                    {.stopFd = stopSignals->fd(), .protocol = options.protocol});
                },
            .profile = options.profile,
            .filter = bridge::PeerFilter(options.filter),
            .diagnostics = options.verbose ? standardError(program.name) : ble::Diagnostics{},
        });
        while (!theBridge->stopping()) run();
    });
    // The bridge has stopped, or an exception ended the loop: either way the reader posts nothing
    // more, and the bridge ends its links before the backend goes with it.
    guarded(program.name, status, [&] {
        reader.cancel();
        reader.join();
        if (theBridge) theBridge->stop();
    });
    theBridge.reset();
    return status;
}

std::optional<int> handleCommandLine(const Program& program, int argc, const char* const* argv, Options& options) {
    const ParsedOptions parsed = parseOptions(program, {argv + 1, static_cast<std::size_t>(argc > 0 ? argc - 1 : 0)});
    if (!parsed.options) {
        std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(program.name.size()), program.name.data(),
                     parsed.error.c_str());
        return 2;
    }
    options = *parsed.options;
    if (options.action == Options::Action::help) {
        std::fputs(usage(program).c_str(), stdout);
        return 0;
    }
    if (options.action == Options::Action::version) {
        std::printf("%s\n", versionLine(program).c_str());
        return 0;
    }
    return std::nullopt;
}

}  // namespace app
