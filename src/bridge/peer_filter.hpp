#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ble/central.hpp"
#include "codec/uuid.hpp"

namespace bridge {

// Which peripherals the bridge may use. Kinds of rule combine with AND, the values of one kind
// with OR; a kind without values lets everything through.
class PeerFilter {
public:
    struct Rules {
        // Peer ids and device addresses ("AA:BB:CC:DD:EE:FF", either case): one kind together.
        std::vector<codec::Uuid> ids = {};
        std::vector<std::string> addresses = {};
        // Prefixes of the reported name, compared byte for byte.
        std::vector<std::string> namePrefixes = {};
        // The weakest signal (dBm) a report may have.
        std::optional<int> minRssi = {};
    };

    PeerFilter() = default;
    explicit PeerFilter(Rules rules);

    // Why a peripheral so reported is left alone ("not a chosen peer"); empty when it may be used.
    std::string_view refusal(const ble::Peripheral& p, const ble::Advertisement& advertisement) const;

private:
    Rules rules_;
};

}  // namespace bridge
