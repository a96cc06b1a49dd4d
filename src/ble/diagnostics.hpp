#pragma once

#include <functional>
#include <string_view>

namespace ble {

// Where a part of the program says, in one line without its line feed, why something happened
// that the event stream leaves silent ("connect failed: org.bluez.Error.Failed"). Empty means
// nobody listens: a caller tests it before building the line. Main thread only.
using Diagnostics = std::function<void(std::string_view line)>;

}  // namespace ble
