#include "ble/bluez/rfkill.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

struct Switch {
    const char* adapter;
    const char* soft;
    const char* hard;
};

// A /sys/class/bluetooth of its own: each adapter with its rfkill0 switch.
class SysClassBluetooth {
public:
    explicit SysClassBluetooth(const std::vector<Switch>& switches) {
        for (const Switch& s : switches) {
            const fs::path dir = root_ / s.adapter / "rfkill0";
            fs::create_directories(dir);
            std::ofstream(dir / "soft") << s.soft << "\n";
            std::ofstream(dir / "hard") << s.hard << "\n";
        }
    }
    ~SysClassBluetooth() { fs::remove_all(root_); }
    std::string path() const { return root_.string(); }

private:
    fs::path root_ = fs::temp_directory_path() / ("gattrelay-rfkill-" + std::to_string(::getpid()));
};

TEST(Rfkill, ASoftOrHardBlockOfThatAdapterOnly) {
    const struct {
        const char* name;
        std::vector<Switch> switches;
        bool blocked;
    } cases[] = {
        {"unblocked", {{"hci0", "0", "0"}}, false},
        {"soft block", {{"hci0", "1", "0"}}, true},
        {"hard block", {{"hci0", "0", "1"}}, true},
        {"another adapter blocked", {{"hci0", "0", "0"}, {"hci1", "1", "1"}}, false},
        {"no such adapter", {{"hci1", "1", "1"}}, false},
    };
    for (const auto& c : cases) {
        SysClassBluetooth sys(c.switches);
        EXPECT_EQ(bluez::rfkillBlocks(sys.path(), "hci0"), c.blocked) << c.name;
    }
    EXPECT_FALSE(bluez::rfkillBlocks("/nonexistent/class/bluetooth", "hci0"));
}

}  // namespace
