#pragma once

// Replaying a recording (made with --record; docs/record.md): the world its session describes,
// as the text of a world file, so that gattrelay-sim can run it and a user can read and edit it.
// Each peripheral is advertised when it was first discovered, with what that report said; its
// connection attempts become its "connections" scripts, with the recorded outcomes and delays;
// the adapter's states and the write limits come at their recorded times.
//
// Reading is strict: the first problem ends it, and the message names the file, the line and
// the problem ("session.jsonl:12: lines out of time order (40 after 52)").

#include <optional>
#include <string>
#include <string_view>

namespace sim {

struct ReplayResult {
    std::optional<std::string> worldText;  // present when the recording is sound
    std::string error;                     // otherwise, one line without a final line feed
};

// `text` is the content of a recording; `fileName` only appears in the error.
ReplayResult worldFromRecording(std::string_view text, std::string_view fileName);

// Reads the recording at `path` (at most as large as a world file) and makes its world.
ReplayResult loadRecording(const std::string& path);

}  // namespace sim
