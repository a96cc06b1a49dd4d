#include "app/run_bridge.hpp"

#include <chrono>
#include <cstdio>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "protocol/command_reader.hpp"
#include "protocol/event_stream.hpp"
#include "bridge/bridge.hpp"
#include "app/guarded.hpp"
#include "loop/fd_watch.hpp"
#include "mqtt/front.hpp"
#include "app/reporter_tee.hpp"
#include "app/service_notifier.hpp"
#include "app/stop_signals.hpp"
#include "app/session_recording.hpp"

namespace app {

namespace {

// The first line of a password file; nothing, with `error` saying why, for a file that cannot
// be read or that other users can read (a password there is as open as one on the command line).
std::optional<std::string> readPasswordFile(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        error = "cannot read the password file '" + path + "': " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return std::nullopt;
    }
    std::string text(4096, '\0');
    const ssize_t size = (status.st_mode & S_IROTH) ? 0 : ::read(fd, text.data(), text.size());
    const int readError = errno;
    ::close(fd);
    if (status.st_mode & S_IROTH) {
        error = "the password file '" + path + "' is readable by other users (chmod o-r it)";
        return std::nullopt;
    }
    if (size < 0) {
        error = "cannot read the password file '" + path + "': " + std::strerror(readError);
        return std::nullopt;
    }
    text.resize(static_cast<std::size_t>(size));
    text.resize(std::min(text.find_first_of("\r\n"), text.size()));
    return text;
}

// The command line's MQTT settings completed from the host, the environment and the password
// file; nothing, with `error` saying why, when the file will not do.
std::optional<mqtt::Settings> completed(mqtt::Settings settings, std::string& error) {
    if (settings.gateway.empty()) settings.gateway = mqtt::defaultGatewayName();
    if (const char* password = std::getenv("GATTRELAY_MQTT_PASSWORD"); password && settings.broker.user && !settings.broker.password)
        settings.broker.password = password;
    if (settings.passwordFile) {
        settings.broker.password = readPasswordFile(*settings.passwordFile, error);
        if (!settings.broker.password) return std::nullopt;
    }
    return settings;
}

bool readable(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file) std::fclose(file);
    return file != nullptr;
}

}  // namespace

int runBridge(const Program& program, const Options& options, loop::MainQueue& queue,
              const std::function<void()>& run, const std::function<ble::CentralFactory()>& backend,
              loop::MainLoop* mainLoop) {
    // Opened first, so that a file it cannot record to is said before anything runs; closed
    // last, so that what the session did until its end, an internal error included, is written.
    std::unique_ptr<SessionRecording> recording;
    if (options.record) {
        std::string why;
        recording = SessionRecording::open(program, options, why);
        if (!recording) {
            std::fprintf(stderr, "%.*s: cannot record to '%s': %s\n", static_cast<int>(program.name.size()),
                         program.name.data(), options.record->c_str(), why.c_str());
            return 2;
        }
    }
    const std::function<ble::CentralFactory()> recordedBackend = [&] {
        return recording ? recording->decorate(backend(), queue) : backend();
    };
    if (options.listSeconds) return runSurvey(program, options, queue, run, recordedBackend);
    if (options.mqtt && !mainLoop) {
        std::fprintf(stderr, "%.*s: --mqtt is not available on this platform\n", static_cast<int>(program.name.size()),
                     program.name.data());
        return 2;
    }
    // A CA, certificate or key file that cannot be read is the command line's fault, said before
    // anything runs (libmosquitto would only say "invalid function arguments").
    if (options.mqtt) {
        for (const auto& [file, what] : {std::pair{options.mqtt->caFile, "CA file"},
                                         std::pair{options.mqtt->certFile, "certificate file"},
                                         std::pair{options.mqtt->keyFile, "key file"}}) {
            if (file && !readable(*file)) {
                std::fprintf(stderr, "%.*s: cannot read the %s '%s': %s\n", static_cast<int>(program.name.size()),
                             program.name.data(), what, file->c_str(), std::strerror(errno));
                return 2;
            }
        }
    }
    std::optional<mqtt::Settings> mqttSettings;
    if (options.mqtt) {
        std::string why;
        mqttSettings = completed(*options.mqtt, why);
        if (!mqttSettings) {
            std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(program.name.size()), program.name.data(), why.c_str());
            return 2;
        }
        if (options.mqtt->broker.password)
            std::fprintf(stderr,
                         "%.*s: the password in the --mqtt URL can be read by every user of this machine; use "
                         "--mqtt-password-file or GATTRELAY_MQTT_PASSWORD instead\n",
                         static_cast<int>(program.name.size()), program.name.data());
    }
    protocol::EventStream events(protocol::standardOutput(), options.protocol);
    std::unique_ptr<StopSignals> stopSignals;
    protocol::CommandReader reader;
    // The MQTT front, and the stop signals it watches on the loop, as no reader thread does.
    std::unique_ptr<mqtt::Front> mqttFront;
    std::unique_ptr<loop::FdWatch> stopWatch;
    std::unique_ptr<ServiceNotifier> notifier;
    std::unique_ptr<ReporterTee> reportsAndNotifier;
    std::shared_ptr<bridge::Bridge> theBridge;
    bool signalled = false;
    ble::Diagnostics diagnostics = options.verbose ? standardError(program.name) : ble::Diagnostics{};
    int status = 0;
    guarded(program.name, status, [&] {
        // A supervisor's signal is a "stop": the links end as they do at the end of input.
        stopSignals = std::make_unique<StopSignals>();
        if (options.mqtt)
            mqttFront = std::make_unique<mqtt::Front>(*mainLoop, *mqttSettings, standardError(program.name),
                                                      diagnostics);
        bridge::Reporter& front = mqttFront ? static_cast<bridge::Reporter&>(*mqttFront) : events;
        notifier = serviceNotifier(queue, mqttFront != nullptr);
        if (notifier) {
            reportsAndNotifier = std::make_unique<ReporterTee>(front, *notifier);
            if (mqttFront) mqttFront->watchBroker([&notifier](bool connected) { notifier->broker(connected); });
        }
        theBridge = bridge::Bridge::create({
            .queue = queue,
            .reports = reportsAndNotifier ? static_cast<bridge::Reporter&>(*reportsAndNotifier) : front,
            .makeCentral = recordedBackend(),
            .readCommands =
                [&](std::weak_ptr<bridge::CommandTarget> target) {
                    if (!mqttFront) {
                        reader = protocol::readCommands(STDIN_FILENO, queue, std::move(target),
                                                        {.stopFd = stopSignals->fd(),
                                                         .protocol = options.protocol,
                                                         .mainLoop = mainLoop});
                        return;
                    }
                    mqttFront->attach(target);
                    stopWatch = std::make_unique<loop::FdWatch>(*mainLoop, stopSignals->fd());
                    stopWatch->whenReadable([target, &signalled] {
                        signalled = true;
                        if (const auto held = target.lock()) held->stop();
                    });
                },
            .profile = options.profile,
            .filter = bridge::PeerFilter(options.filter),
            .diagnostics = diagnostics,
        });
        while (!theBridge->stopping()) run();
    });
    // The bridge has stopped, or an exception ended the loop: either way the reader posts nothing
    // more, and the bridge ends its links before the backend goes with it.
    guarded(program.name, status, [&] {
        if (notifier) notifier->stopping();
        reader.cancel();
        reader.join();
        if (theBridge) theBridge->stop();
        stopWatch.reset();
        if (mqttFront) mqttFront->finish();
    });
    theBridge.reset();
    if (diagnostics) {
        const char* cause = status != 0 ? "internal error" : signalled ? "signal" : reader.stopCause();
        diagnostics(std::string("exiting: ") + (cause ? cause : "stopped"));
    }
    return status;
}

std::optional<int> handleCommandLine(const Program& program, int argc, const char* const* argv, Options& options) {
    const ParsedOptions parsed = parseOptions(program, {argv + 1, static_cast<std::size_t>(argc > 0 ? argc - 1 : 0)});
    if (!parsed.options) {
        const std::string name(program.name);
        std::fprintf(stderr, "%s: %s (see %s --help)\n", name.c_str(), parsed.error.c_str(), name.c_str());
        return 2;
    }
    options = *parsed.options;
    if (options.action == Options::Action::help) {
        std::fputs(usage(program).c_str(), stdout);
        return 0;
    }
    if (options.action == Options::Action::version) {
        std::printf("%s\n", versionLine(program).c_str());
        return 0;
    }
    return std::nullopt;
}

}  // namespace app
