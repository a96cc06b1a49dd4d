#include "runtime/run_bridge.hpp"

#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>

#include "protocol/command_reader.hpp"
#include "runtime/bridge.hpp"

namespace runtime {

namespace {

// Each diagnostic line on standard error, after the program's name, in one write.
ble::Diagnostics standardError(std::string_view program) {
    return [prefix = std::string(program) + ": "](std::string_view line) {
        std::string text = prefix;
        text += line;
        text += '\n';
        std::fwrite(text.data(), 1, text.size(), stderr);
    };
}

}  // namespace

int runBridge(const Program& program, const Options& options,
              const std::function<ble::CentralFactory(loop::AsioMainQueue&)>& backend) {
    loop::AsioMainQueue queue;
    protocol::EventStream events(protocol::standardOutput(), options.protocol);
    std::thread reader;
    auto bridge = Bridge::create({
        .queue = queue,
        .events = events,
        .makeCentral = backend(queue),
        .readCommands =
            [&](std::weak_ptr<protocol::CommandTarget> target) {
                reader = protocol::readCommands(STDIN_FILENO, queue, std::move(target), options.protocol);
            },
        .profile = options.profile,
        .diagnostics = options.verbose ? standardError(program.name) : ble::Diagnostics{},
    });
    while (!bridge->stopping()) queue.run();
    // The reader's last act was posting the stop task that ended the loop: nothing is pending.
    reader.join();
    return 0;
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

}  // namespace runtime
