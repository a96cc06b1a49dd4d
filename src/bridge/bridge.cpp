#include "bridge/bridge.hpp"

namespace bridge {

Bridge::Bridge(Environment env) : env_(std::move(env)) {}

std::shared_ptr<Bridge> Bridge::create(Environment env) {
    std::shared_ptr<Bridge> bridge(new Bridge(std::move(env)));
    bridge->manager_ = bridge->env_.makeCentral(
        *bridge, ble::CentralOptions{.showPowerAlert = true, .diagnostics = bridge->env_.diagnostics});
    bridge->env_.reports.hello();
    bridge->env_.readCommands(bridge);
    return bridge;
}

void Bridge::reject(const Rejection& rejection) {
    diagnose("line ", static_cast<std::int64_t>(rejection.line), " rejected: ", reasonName(rejection.reason));
    env_.reports.rejected(rejection);
}

void Bridge::stop() {
    if (stopping_) return;
    stopping_ = true;
    manager_->stopScan();
    links_.forEach([&](const LinkPtr& link) { manager_->cancelConnection(link->peripheral); });
    // Emptied before any disconnection callback can run, so none of these links is reported.
    links_.clear();
    env_.queue.stop();
}

}  // namespace bridge
