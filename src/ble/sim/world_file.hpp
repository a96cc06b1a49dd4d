#pragma once

// World files: the JSON form of a WorldSpec that gattrelay-sim loads (docs/worlds.md).
// Loading is strict: the first problem found ends it, and the message names the file, the key
// path where it was found and what is wrong, e.g.
//   "flaky.json: peripherals[2].delays.wirte: unknown key".

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "ble/sim/world.hpp"

namespace sim {

struct WorldFileResult {
    std::optional<WorldSpec> world;  // present when the file is a valid world
    std::string error;               // otherwise, one line without a final line feed
};

// The largest world file loadWorldFile reads; a larger one is an error.
inline constexpr std::size_t maxWorldFileBytes = 16 * 1024 * 1024;

// `text` is the content of a world file; `fileName` only appears in the error.
WorldFileResult parseWorld(std::string_view text, std::string_view fileName);

// The content of the file at `path` (a world file, or a recording to make one of), or nothing and
// the one-line error: it cannot be opened or read, or is larger than maxWorldFileBytes.
std::optional<std::string> readWorldFile(const std::string& path, std::string& error);

// Reads the file at `path` and parses it; a file that cannot be read is an error too.
WorldFileResult loadWorldFile(const std::string& path);

}  // namespace sim
