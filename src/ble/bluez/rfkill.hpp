#pragma once

#include <string>
#include <string_view>

namespace bluez {

// Whether the kernel's rfkill switch of the adapter named `adapter` ("hci0") is blocked, soft or
// hard, as `sysClassBluetooth` (/sys/class/bluetooth) shows it. An adapter or a switch that
// cannot be read is not blocked.
bool rfkillBlocks(const std::string& sysClassBluetooth, std::string_view adapter);

}  // namespace bluez
