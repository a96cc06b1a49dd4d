#pragma once

#include <functional>
#include <type_traits>

#include "ble/central.hpp"
#include "loop/asio_main_queue.hpp"

namespace runtime {

// The entry point shared by the executables: builds the bridge on `central` for `queue`, serves
// the queue with `run` until the bridge stops, and returns the exit status, always 0.
int runBridge(loop::MainQueue& queue, const std::function<void()>& run, const ble::CentralFactory& central);

// The same on a main queue of type Queue that the executable serves from main() with its run():
// Asio unless told otherwise (macOS's gattrelay serves the main dispatch queue). `backend`
// makes the central factory for the queue.
template <class Queue = loop::AsioMainQueue>
int runBridge(const std::function<ble::CentralFactory(std::type_identity_t<Queue>&)>& backend) {
    Queue queue;
    return runBridge(queue, [&] { queue.run(); }, backend(queue));
}

}  // namespace runtime
