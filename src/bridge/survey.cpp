#include "bridge/survey.hpp"

#include "bridge/state_name.hpp"

namespace bridge {

Survey::Survey(Environment env, loop::Duration duration) : env_(std::move(env)) {
    manager_ = env_.makeCentral(*this, ble::CentralOptions{.showPowerAlert = true, .diagnostics = env_.diagnostics});
    deadline_ = env_.queue.postAfter(duration, [this] { finish(); });
}

void Survey::centralDidUpdateState() {
    if (finished_) return;
    const int state = manager_->state();
    if (state == ble::ManagerState::poweredOn) {
        if (!manager_->isScanning()) {
            manager_->scanForPeripherals({env_.profile.service}, /*allowDuplicates=*/false);
            diagnose("scan started for service " + env_.profile.service.text());
        }
        return;
    }
    if (state == ble::ManagerState::unknown || state == ble::ManagerState::resetting) return;
    unavailable_ = Unavailable{std::string(stateName(state)), std::string(manager_->stateReason())};
    finish();
}

void Survey::didDiscover(const ble::PeripheralPtr& p, const ble::Advertisement& advertisement) {
    if (finished_ || seen_.contains(p->identifier())) return;
    if (!env_.filter.admits(*p, advertisement, env_.diagnostics)) return;
    seen_.insert(p->identifier());
    env_.found({.id = p->identifier(), .name = advertisement.name, .rssi = advertisement.rssi, .address = p->address()});
}

void Survey::diagnose(const std::string& line) const {
    if (env_.diagnostics) env_.diagnostics(line);
}

void Survey::finish() {
    if (finished_) return;
    finished_ = true;
    deadline_.cancel();
    manager_->stopScan();
    diagnose("scan ended: " + std::to_string(seen_.size()) + (seen_.size() == 1 ? " peripheral" : " peripherals") +
             " found" + (unavailable_ ? ", the adapter is unavailable" : ""));
    env_.queue.stop();
}

}  // namespace bridge
