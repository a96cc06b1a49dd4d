#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <systemd/sd-bus.h>

#include "ble/central.hpp"

namespace bluez {

// The property values this backend reads; values of other types are not kept.
using PropertyValue = std::variant<bool, std::int64_t, std::string, std::vector<std::string>, codec::Bytes>;
using Properties = std::map<std::string, PropertyValue, std::less<>>;
// Interface name to its properties.
using Interfaces = std::map<std::string, Properties, std::less<>>;

// bluetoothd's objects as its ObjectManager and property signals describe them, by path.
class ObjectTree {
public:
    // GetManagedObjects reply: a{oa{sa{sv}}}. Replaces the whole tree; false if malformed.
    bool readAll(sd_bus_message* m);
    // InterfacesAdded: o a{sa{sv}}. Returns the path.
    std::string readAdded(sd_bus_message* m);
    // InterfacesRemoved: o as. Returns the path and the interfaces it lost.
    std::string readRemoved(sd_bus_message* m, std::vector<std::string>& interfaces);
    // PropertiesChanged on `path`: s a{sv} as. Returns the interface; `changed` lists the names
    // that changed or were invalidated, whatever their type.
    std::string readChanged(std::string_view path, sd_bus_message* m, std::vector<std::string>& changed);

    void clear() { objects_.clear(); }
    const Properties* find(std::string_view path, std::string_view interface) const;
    // Moves a byte-array property out of the tree (empty if absent): a notified value is
    // handed on, not copied, and nobody reads it from the tree again.
    codec::Bytes takeBytes(std::string_view path, std::string_view interface, std::string_view name);
    // Every object with `interface`, in path order, whose path is below `prefix` ("" for all).
    std::vector<std::pair<std::string, const Properties*>> below(std::string_view prefix,
                                                                  std::string_view interface) const;
    // Every object with `interface` directly below `parent` ("/org/bluez" for the adapters), in
    // path order; the objects further below are skipped, not visited.
    std::vector<std::pair<std::string, const Properties*>> children(std::string_view parent,
                                                                     std::string_view interface) const;

private:
    std::map<std::string, Interfaces, std::less<>> objects_;
};

bool flag(const Properties* p, std::string_view name);
std::string text(const Properties* p, std::string_view name);
std::int64_t number(const Properties* p, std::string_view name, std::int64_t absent);
std::vector<std::string> texts(const Properties* p, std::string_view name);
const codec::Bytes* bytes(const Properties* p, std::string_view name);

}  // namespace bluez
