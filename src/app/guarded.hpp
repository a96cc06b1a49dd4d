#pragma once

// What the entry points share: diagnostics on standard error, and the exception boundary.

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "ble/diagnostics.hpp"
#include "app/run_bridge.hpp"

namespace app {

// Each diagnostic line on standard error, after the program's name and the milliseconds since
// the bridge started, in one write: "gattrelay: 1520 ms: adapter state ready".
inline ble::Diagnostics standardError(std::string_view program) {
    return [prefix = std::string(program) + ": ", start = std::chrono::steady_clock::now()](std::string_view line) {
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        std::string text = prefix;
        text += std::to_string(elapsed.count());
        text += " ms: ";
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
