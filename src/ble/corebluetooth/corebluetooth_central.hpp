#pragma once

#include "ble/central.hpp"
#include "loop/dispatch_main_queue.hpp"

namespace corebluetooth {

// The backend's factory: central managers on CoreBluetooth, delivering every callback on the
// main dispatch queue that `queue` serves. Only built on macOS.
ble::CentralFactory centralFactory(loop::DispatchMainQueue& queue);

}  // namespace corebluetooth
