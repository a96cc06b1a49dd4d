#pragma once

#include <unordered_map>
#include <vector>

#include "codec/uuid.hpp"

namespace corebluetooth {

// The record kept for each device, found by its identifier or by the stack's object that stands
// for it now. Objects are known by their address (`identity`), which stays unique while the
// record holds the object. CoreBluetooth hands out one object per device, but after its service
// resets it makes new ones: a new object with a known identifier takes the place of the old one
// in the same record, and the old object's callbacks no longer find it.
template <class Record>
class PeripheralRegistry {
public:
    enum class Found { known, added, replaced };
    struct Adopted {
        Record& record;
        Found found;
        // For `replaced`: the object the record stood for until now.
        const void* formerIdentity;
    };

    // For a discovery: the record of `identity`, or of `id` under another object (which it
    // stands for no more), or a new one.
    Adopted adopt(const void* identity, const codec::Uuid& id) {
        if (auto known = byIdentity_.find(identity); known != byIdentity_.end())
            return {byId_.at(known->second).record, Found::known, nullptr};
        auto [entry, added] = byId_.try_emplace(id);
        const void* former = entry->second.identity;
        if (!added) byIdentity_.erase(former);
        entry->second.identity = identity;
        byIdentity_.emplace(identity, id);
        return {entry->second.record, added ? Found::added : Found::replaced, added ? nullptr : former};
    }

    // The record `identity` stands for, or null for an object that was replaced, forgotten or
    // never discovered.
    Record* find(const void* identity) {
        auto known = byIdentity_.find(identity);
        return known == byIdentity_.end() ? nullptr : &byId_.at(known->second).record;
    }
    Record* find(const codec::Uuid& id) {
        auto entry = byId_.find(id);
        return entry == byId_.end() ? nullptr : &entry->second.record;
    }
    // The object the record of `id` stands for, or null.
    const void* identityOf(const codec::Uuid& id) const {
        auto entry = byId_.find(id);
        return entry == byId_.end() ? nullptr : entry->second.identity;
    }

    void forget(const codec::Uuid& id) {
        auto entry = byId_.find(id);
        if (entry == byId_.end()) return;
        byIdentity_.erase(entry->second.identity);
        byId_.erase(entry);
    }

    // Every identifier, in no particular order; a copy, so the caller may add and forget.
    std::vector<codec::Uuid> ids() const {
        std::vector<codec::Uuid> out;
        out.reserve(byId_.size());
        for (const auto& [id, entry] : byId_) out.push_back(id);
        return out;
    }
    bool empty() const { return byId_.empty(); }

private:
    struct Entry {
        const void* identity = nullptr;
        Record record;
    };
    std::unordered_map<codec::Uuid, Entry, codec::UuidHash> byId_;
    std::unordered_map<const void*, codec::Uuid> byIdentity_;
};

}  // namespace corebluetooth
