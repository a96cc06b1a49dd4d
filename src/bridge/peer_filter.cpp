#include "bridge/peer_filter.hpp"

#include <algorithm>
#include <cctype>

namespace bridge {

namespace {

bool sameAddress(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

}  // namespace

PeerFilter::PeerFilter(Rules rules) : rules_(std::move(rules)) {}

bool PeerFilter::admits(const ble::Peripheral& p, const ble::Advertisement& advertisement,
                        const ble::Diagnostics& diagnostics) {
    const std::string why = refusal(p, advertisement);
    if (why.empty()) return true;
    const codec::Uuid id = p.identifier();
    if (refused_.insert(id).second && diagnostics) {
        std::string line = "peer ";
        id.appendText(line);
        line += ": left alone: ";
        line += why;
        diagnostics(line);
    }
    return false;
}

std::string PeerFilter::refusal(const ble::Peripheral& p, const ble::Advertisement& advertisement) const {
    if (!rules_.ids.empty() || !rules_.addresses.empty()) {
        const codec::Uuid id = p.identifier();
        const std::optional<std::string> address = rules_.addresses.empty() ? std::nullopt : p.address();
        const bool chosen =
            std::find(rules_.ids.begin(), rules_.ids.end(), id) != rules_.ids.end() ||
            (address && std::any_of(rules_.addresses.begin(), rules_.addresses.end(),
                                    [&](const std::string& a) { return sameAddress(a, *address); }));
        if (!chosen) return "not a chosen peer (--peer)";
    }
    if (!rules_.namePrefixes.empty()) {
        const auto& name = advertisement.name;
        if (!name || std::none_of(rules_.namePrefixes.begin(), rules_.namePrefixes.end(),
                                  [&](const std::string& prefix) { return name->starts_with(prefix); }))
            return "no chosen name (--name)";
    }
    if (rules_.minRssi && !advertisement.rssi)
        return "no signal strength reported (--min-rssi " + std::to_string(*rules_.minRssi) + ")";
    if (rules_.minRssi && *advertisement.rssi < *rules_.minRssi)
        return "signal too weak: " + std::to_string(*advertisement.rssi) + " dBm, below --min-rssi " +
               std::to_string(*rules_.minRssi);
    return {};
}

}  // namespace bridge
