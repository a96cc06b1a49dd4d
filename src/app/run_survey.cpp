#include <chrono>
#include <cstdio>
#include <memory>

#include "protocol/event_stream.hpp"
#include "bridge/survey.hpp"
#include "app/guarded.hpp"
#include "app/run_bridge.hpp"

namespace app {

int runSurvey(const Program& program, const Options& options, loop::MainQueue& queue,
              const std::function<void()>& run, const std::function<ble::CentralFactory()>& backend) {
    protocol::EventStream events(protocol::standardOutput(), options.protocol);
    std::unique_ptr<bridge::Survey> survey;
    int status = 0;
    guarded(program.name, status, [&] {
        survey = std::make_unique<bridge::Survey>(
            bridge::Survey::Environment{
                .queue = queue,
                .makeCentral = backend(),
                .found = [&](const bridge::Sighting& sighting) { events.found(sighting); },
                .profile = options.profile,
                .filter = bridge::PeerFilter(options.filter),
                .diagnostics = options.verbose ? standardError(program.name) : ble::Diagnostics{},
            },
            std::chrono::seconds(*options.listSeconds));
        while (!survey->finished()) run();
    });
    if (status == 0 && survey->unavailable()) {
        const auto& [state, reason] = *survey->unavailable();
        std::fprintf(stderr, "%.*s: adapter unavailable: %s%s%s\n", static_cast<int>(program.name.size()),
                     program.name.data(), state.c_str(), reason.empty() ? "" : ", ", reason.c_str());
        status = 1;
    }
    return status;
}

}  // namespace app
