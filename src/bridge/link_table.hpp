#pragma once

#include <unordered_map>

#include "bridge/link.hpp"

namespace bridge {

// Peer id to Link; at most one Link per peer id, keyed by its peripheral's identifier.
class LinkTable {
public:
    LinkPtr find(const codec::Uuid& id) const {
        auto it = links_.find(id);
        return it == links_.end() ? nullptr : it->second;
    }
    // The id must be absent.
    void insert(const codec::Uuid& id, LinkPtr link) { links_.emplace(id, std::move(link)); }
    LinkPtr remove(const codec::Uuid& id) {
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
    std::unordered_map<codec::Uuid, LinkPtr, codec::UuidHash> links_;
};

}  // namespace bridge
