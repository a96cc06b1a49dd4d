#pragma once

#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "codec/uuid.hpp"

namespace corebluetooth {

// Which of our peripherals stands for a stack's peripheral object, so that the bridge always sees
// the same Peripheral for the same device. Objects are known by their address (`identity`),
// which stays unique while the entry's peripheral holds the object. CoreBluetooth hands out one
// object per device, but after its service resets it makes new ones: a new object with a known
// identifier takes the place of the old one under the same Peripheral, and the old object's
// callbacks no longer find it.
template <class P>
class PeripheralRegistry {
public:
    struct Adopted {
        std::shared_ptr<P> peripheral;
        // The peripheral stood for another object until now: the caller rebinds it.
        bool replacedObject = false;
    };

    // For a discovery: the peripheral of `identity`, or of `id` under an earlier object, or a new
    // one from `make` (called as make()).
    template <class Make>
    Adopted adopt(const void* identity, const codec::Uuid& id, Make&& make) {
        if (auto found = byIdentity_.find(identity); found != byIdentity_.end()) return {found->second};
        auto& entry = byId_[id];
        const bool replaced = entry.peripheral != nullptr;
        if (replaced)
            byIdentity_.erase(entry.identity);
        else
            entry.peripheral = make();
        entry.identity = identity;
        byIdentity_.emplace(identity, entry.peripheral);
        return {entry.peripheral, replaced};
    }

    // For every other callback: the peripheral `identity` stands for, or null for an object that
    // was replaced or never discovered (its callbacks belong to no connection the bridge knows).
    std::shared_ptr<P> find(const void* identity) const {
        auto found = byIdentity_.find(identity);
        return found == byIdentity_.end() ? nullptr : found->second;
    }

    // Every peripheral, in no particular order; a copy, so the caller may deliver callbacks.
    std::vector<std::shared_ptr<P>> all() const {
        std::vector<std::shared_ptr<P>> out;
        out.reserve(byId_.size());
        for (const auto& [id, entry] : byId_) out.push_back(entry.peripheral);
        return out;
    }

private:
    struct Entry {
        const void* identity = nullptr;
        std::shared_ptr<P> peripheral;
    };
    std::unordered_map<codec::Uuid, Entry, codec::UuidHash> byId_;
    std::unordered_map<const void*, std::shared_ptr<P>> byIdentity_;
};

}  // namespace corebluetooth
