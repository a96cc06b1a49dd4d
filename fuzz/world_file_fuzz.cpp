// The world-file loader: any text either loads as a world or is refused with one line naming the
// file (and, for a syntax error, the line and column); never both, never neither.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ble/sim/world_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const sim::WorldFileResult result = sim::parseWorld({reinterpret_cast<const char*>(data), size}, "fuzz.json");
    if (result.world.has_value() == !result.error.empty()) std::abort();
    if (result.world) return 0;
    if (result.error.rfind("fuzz.json:", 0) != 0 || result.error.find('\n') != std::string::npos) std::abort();
    return 0;
}
