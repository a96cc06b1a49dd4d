#pragma once

// What the entry points share: diagnostics on standard error, and the exception boundary.

#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "ble/diagnostics.hpp"
#include "app/run_bridge.hpp"

namespace app {

// Each diagnostic line on standard error, after the program's name, in one write.
inline ble::Diagnostics standardError(std::string_view program) {
    return [prefix = std::string(program) + ": "](std::string_view line) {
        std::string text = prefix;
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
