#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace bluez {

// An adapter as bluetoothd exports it.
struct AdapterSeen {
    std::string path;  // "/org/bluez/hci0"
    std::string address;
    bool powered = false;
};

// Adapter paths in numeric order of their names: hci2 before hci10.
bool adapterBefore(std::string_view a, std::string_view b);

// The adapter to use, "" for none. Asked for by `wanted` (a name such as "hci1", or an address;
// any case): that one while it exists. Otherwise `current` while it is present and powered, so
// an adapter coming up elsewhere does not cut the links; else the first powered one, else the
// first present.
std::string chooseAdapter(const std::vector<AdapterSeen>& adapters, std::string_view current, std::string_view wanted);

}  // namespace bluez
