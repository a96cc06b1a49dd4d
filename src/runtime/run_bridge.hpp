#pragma once

#include <functional>

#include "ble/central.hpp"
#include "loop/asio_main_queue.hpp"
#include "runtime/options.hpp"

namespace runtime {

// The entry point shared by the executables: builds the bridge, with the command line's protocol,
// GATT profile and diagnostics, on the backend that `backend` makes for the production main
// queue, serves the queue until the bridge stops, and returns the exit status, always 0.
int runBridge(const Program& program, const Options& options,
              const std::function<ble::CentralFactory(loop::AsioMainQueue&)>& backend);

// For an executable's main: parses the command line and answers --help, --version and a bad
// command line (status 2). The status to exit with, or nothing to go on with `options`.
std::optional<int> handleCommandLine(const Program& program, int argc, const char* const* argv, Options& options);

}  // namespace runtime
