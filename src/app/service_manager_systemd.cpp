#include <cstdint>
#include <cstdlib>
#include <systemd/sd-daemon.h>

#include "app/service_notifier.hpp"

namespace app {

std::unique_ptr<ServiceNotifier> serviceNotifier(loop::MainQueue& queue, bool waitForBroker) {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (!socket || !*socket) return nullptr;
    // The interval systemd gives (WatchdogSec=), if it is meant for this process.
    std::uint64_t watchdog = 0;
    if (sd_watchdog_enabled(0, &watchdog) <= 0) watchdog = 0;
    return std::make_unique<ServiceNotifier>(
        queue, [](const std::string& state) { sd_notify(0, state.c_str()); },
        std::chrono::microseconds(watchdog), waitForBroker);
}

}  // namespace app
