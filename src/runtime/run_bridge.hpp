#pragma once

#include <functional>

#include "ble/central.hpp"
#include "loop/asio_main_queue.hpp"

namespace runtime {

// The exit status when the bridge ends on an internal failure (EX_SOFTWARE).
inline constexpr int internalErrorStatus = 70;

// The entry point shared by the executables: builds the bridge on the backend that
// `backend` makes for the production main queue, serves the queue until the bridge stops (on a
// "stop", the end of input, or SIGINT, SIGTERM or SIGHUP), and returns the exit status: 0, or
// `internalErrorStatus` after an exception, reported in one line on standard error.
int runBridge(const std::function<ble::CentralFactory(loop::AsioMainQueue&)>& backend);

}  // namespace runtime
