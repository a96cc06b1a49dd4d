#pragma once

#include <functional>

#include "ble/central.hpp"
#include "loop/asio_main_queue.hpp"

namespace runtime {

// The entry point shared by the executables: builds the bridge on the backend that
// `backend` makes for the production main queue, serves the queue until the bridge stops,
// and returns the exit status, always 0.
int runBridge(const std::function<ble::CentralFactory(loop::AsioMainQueue&)>& backend);

}  // namespace runtime
