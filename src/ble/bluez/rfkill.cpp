#include "ble/bluez/rfkill.hpp"

#include <filesystem>
#include <fstream>

namespace bluez {

namespace {

bool isOne(const std::filesystem::path& file) {
    std::ifstream in(file);
    char c = 0;
    return in.get(c) && c == '1';
}

}  // namespace

bool rfkillBlocks(const std::string& sysClassBluetooth, std::string_view adapter) {
    namespace fs = std::filesystem;
    std::error_code error;
    // The adapter's switch is its child rfkillN (one, in practice).
    for (fs::directory_iterator it(fs::path(sysClassBluetooth) / adapter, error), end; !error && it != end;
         it.increment(error)) {
        const fs::path& entry = it->path();
        if (entry.filename().string().rfind("rfkill", 0) == 0 && (isOne(entry / "soft") || isOne(entry / "hard")))
            return true;
    }
    return false;
}

}  // namespace bluez
