#include "ble/bluez/adapter_choice.hpp"

#include <algorithm>
#include <cctype>

namespace bluez {

namespace {

std::string_view nameOf(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool sameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

// The name's text before its trailing digits, and the digits' value.
std::pair<std::string_view, std::string_view> split(std::string_view name) {
    std::size_t digits = name.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1]))) --digits;
    std::string_view number = name.substr(digits);
    while (number.size() > 1 && number.front() == '0') number.remove_prefix(1);
    return {name.substr(0, digits), number};
}

}  // namespace

bool adapterBefore(std::string_view a, std::string_view b) {
    const auto [textA, numberA] = split(nameOf(a));
    const auto [textB, numberB] = split(nameOf(b));
    if (textA != textB) return textA < textB;
    // Equal text: the shorter number is the smaller one.
    if (numberA.size() != numberB.size()) return numberA.size() < numberB.size();
    if (numberA != numberB) return numberA < numberB;
    return a < b;
}

std::string chooseAdapter(const std::vector<AdapterSeen>& adapters, std::string_view current, std::string_view wanted) {
    if (!wanted.empty()) {
        for (const AdapterSeen& a : adapters)
            if (sameText(nameOf(a.path), wanted) || sameText(a.address, wanted)) return a.path;
        return {};
    }
    const AdapterSeen* first = nullptr;
    const AdapterSeen* firstPowered = nullptr;
    for (const AdapterSeen& a : adapters) {
        if (a.powered && a.path == current) return a.path;
        if (!first || adapterBefore(a.path, first->path)) first = &a;
        if (a.powered && (!firstPowered || adapterBefore(a.path, firstPowered->path))) firstPowered = &a;
    }
    if (firstPowered) return firstPowered->path;
    return first ? first->path : std::string();
}

}  // namespace bluez
