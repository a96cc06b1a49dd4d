#pragma once

#include "ble/central.hpp"
#include "loop/main_queue.hpp"

namespace corebluetooth {

// The backend's factory: central managers on CoreBluetooth, delivering every callback on the
// main dispatch queue, which `queue` must be (loop::DispatchMainQueue). Only built on macOS.
ble::CentralFactory centralFactory(loop::MainQueue& queue);

}  // namespace corebluetooth
