#pragma once

#include <unordered_map>

#include "runtime/link.hpp"

namespace runtime {

// Peer id to Link; at most one Link per peer id, keyed by its peripheral's identifier.
class LinkTable {
public:
    LinkPtr find(const ble::Uuid& id) const {
        auto it = links_.find(id);
        return it == links_.end() ? nullptr : it->second;
    }
    // The id must be absent.
    void insert(const ble::Uuid& id, LinkPtr link) { links_.emplace(id, std::move(link)); }
    LinkPtr remove(const ble::Uuid& id) {
        auto node = links_.extract(id);
        return node ? std::move(node.mapped()) : nullptr;
    }
    template <class Visit>
    void forEach(Visit&& visit) const {
        for (const auto& [id, link] : links_) visit(link);
    }
    void clear() { links_.clear(); }
    std::size_t size() const { return links_.size(); }

private:
    std::unordered_map<ble::Uuid, LinkPtr, ble::UuidHash> links_;
};

}  // namespace runtime
