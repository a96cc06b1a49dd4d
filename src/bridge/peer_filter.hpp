#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
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

    // Whether a peripheral so reported may be used. The first time one is refused, `diagnostics`
    // (if any) is told why.
    bool admits(const ble::Peripheral& p, const ble::Advertisement& advertisement,
                const ble::Diagnostics& diagnostics);

private:
    // Why a peripheral so reported is left alone ("not a chosen peer"); empty when it may be used.
    std::string refusal(const ble::Peripheral& p, const ble::Advertisement& advertisement) const;

    Rules rules_;
    // The peripherals refused so far.
    std::unordered_set<codec::Uuid, codec::UuidHash> refused_;
};

}  // namespace bridge
