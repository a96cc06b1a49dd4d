#include "app/service_notifier.hpp"

namespace app {

// No service manager to tell on this platform.
std::unique_ptr<ServiceNotifier> serviceNotifier(loop::MainQueue&, bool) { return nullptr; }

}  // namespace app
