#pragma once

// What the entry points share: diagnostics on standard error, and the exception boundary.

#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "ble/diagnostics.hpp"
#include "app/run_bridge.hpp"

namespace app {

// The wall-clock time in ISO 8601, UTC, to the millisecond: "2026-12-11T08:30:00.125Z".
inline std::string utcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    return std::string(text, length) + "." + std::to_string(1000 + millis).substr(1) + "Z";
}

// Each diagnostic line on standard error, after the program's name and the milliseconds since
// the bridge started, in one write: "gattrelay: 1520 ms: adapter state ready". The first line also
// carries the wall-clock time in UTC, so a long run's lines can be matched against other logs:
// "gattrelay: 2 ms (2026-12-11T08:30:00.125Z): adapter state ready".
inline ble::Diagnostics standardError(std::string_view program) {
    // Copies of the function (the bridge and the backend each hold one) share the first line.
    return [prefix = std::string(program) + ": ", start = std::chrono::steady_clock::now(),
            first = std::make_shared<bool>(true)](std::string_view line) {
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        std::string text = prefix;
        text += std::to_string(elapsed.count());
        text += " ms";
        if (*first) {
            *first = false;
            text += " (" + utcNow() + ")";
        }
        text += ": ";
        text += line;
        text += '\n';
        std::fwrite(text.data(), 1, text.size(), stderr);
    };
}

// Runs `step`. An exception that escapes it turns the status into internalErrorStatus and is
// reported on standard error, in one line, if it is the first.
template <typename Step>
void guarded(std::string_view program, int& status, const Step& step) {
    try {
        step();
        return;
    } catch (const std::exception& e) {
        if (status == 0) std::fprintf(stderr, "%.*s: internal error: %s\n", static_cast<int>(program.size()),
                                      program.data(), e.what());
    } catch (...) {
        if (status == 0) std::fprintf(stderr, "%.*s: internal error: unknown exception\n",
                                      static_cast<int>(program.size()), program.data());
    }
    status = internalErrorStatus;
}

}  // namespace app
