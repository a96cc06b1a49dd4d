#pragma once

#include <functional>
#include <optional>
#include <type_traits>

#include "ble/central.hpp"
#include "loop/main_loop.hpp"
#include "app/options.hpp"

namespace app {

// The exit status when the bridge ends on an internal failure (EX_SOFTWARE).
inline constexpr int internalErrorStatus = 70;

// The entry point shared by the executables: builds the bridge, with the command line's protocol,
// GATT profile and diagnostics, on the backend that `backend` makes for `queue`, serves the queue
// with `run` until the bridge stops (on a "stop", the end of input, or SIGINT, SIGTERM or SIGHUP),
// and returns the exit status: 0, or `internalErrorStatus` after an exception, reported in one
// line on standard error. With --mqtt the MQTT front replaces standard input and output; it
// needs the main loop, given as `mainLoop` when `queue` is one. With --list, runs runSurvey
// instead.
int runBridge(const Program& program, const Options& options, loop::MainQueue& queue,
              const std::function<void()>& run, const std::function<ble::CentralFactory()>& backend,
              loop::MainLoop* mainLoop = nullptr);

// --list: looks around with the command line's filter for its number of seconds, writing a
// "found" line per peripheral on standard output, and returns the exit status: 0, 1 when the
// adapter is unavailable (said in one line on standard error), or `internalErrorStatus`.
int runSurvey(const Program& program, const Options& options, loop::MainQueue& queue,
              const std::function<void()>& run, const std::function<ble::CentralFactory()>& backend);

// The same on a main queue of type Queue that the executable serves from main() with its run():
// the main loop unless told otherwise (macOS's gattrelay serves the main dispatch queue).
// `backend` makes the central factory for the queue.
template <class Queue = loop::MainLoop>
int runBridge(const Program& program, const Options& options,
              const std::function<ble::CentralFactory(std::type_identity_t<Queue>&)>& backend) {
    Queue queue;
    loop::MainLoop* mainLoop = nullptr;
    if constexpr (std::is_same_v<Queue, loop::MainLoop>) mainLoop = &queue;
    return runBridge(program, options, queue, [&] { queue.run(); }, [&] { return backend(queue); }, mainLoop);
}

// For an executable's main: parses the command line and answers --help, --version and a bad
// command line (status 2). The status to exit with, or nothing to go on with `options`.
std::optional<int> handleCommandLine(const Program& program, int argc, const char* const* argv, Options& options);

}  // namespace app
