// SortedMap: string keys to values, kept as one sorted array of members rather than a node each.
// A compiled ruleset has as many object members as rules, and a tree of map nodes cost an
// allocation, a free and 128 bytes for every one of them. It offers what the readers and
// builders of a map use: find, at and contains by key, emplace and insert_or_assign, iteration
// in key order. The members live in the arena the map is made with; a key is a CompactText, 16
// bytes beside its value, and a long key sits there too rather than in a heap block of its own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "support/arena.hpp"
#include "support/compact_text.hpp"

namespace veskora::support {

template <class V>
class SortedMap {
public:
    using value_type = std::pair<CompactText, V>;
    using iterator = typename ArenaVector<value_type>::iterator;
    using const_iterator = typename ArenaVector<value_type>::const_iterator;

    explicit SortedMap(Arena& arena) : members_(arena) {}

    void reserve(std::size_t count) { members_.reserve(count); }

    // Members added in key order (as a compiler copies them from a sorted object) go at the end
    // at once; others are moved up to make room, which only small objects see. The key is
    // copied into the member only when it is added.
    std::pair<iterator, bool> emplace(std::string_view key, V value) {
        const auto it = lower_bound(key);
        if (it != members_.end() && it->first == key) return {it, false};
        return {members_.emplace(it, CompactText(members_.arena(), key), std::move(value)), true};
    }
    std::pair<iterator, bool> insert_or_assign(std::string_view key, V value) {
        const auto it = lower_bound(key);
        if (it != members_.end() && it->first == key) {
            it->second = std::move(value);
            return {it, false};
        }
        return {members_.emplace(it, CompactText(members_.arena(), key), std::move(value)), true};
    }

    iterator find(std::string_view key) {
        const auto it = lower_bound(key);
        return it != members_.end() && it->first == key ? it : members_.end();
    }
    const_iterator find(std::string_view key) const { return const_cast<SortedMap*>(this)->find(key); }
    bool contains(std::string_view key) const { return find(key) != end(); }
    // The member's value; std::out_of_range when there is none, as a map says it.
    V& at(std::string_view key) {
        const auto it = find(key);
        if (it == end()) throw std::out_of_range("SortedMap::at: no such key");
        return it->second;
    }
    const V& at(std::string_view key) const { return const_cast<SortedMap*>(this)->at(key); }

    std::size_t size() const { return members_.size(); }
    bool empty() const { return members_.empty(); }
    iterator begin() { return members_.begin(); }
    iterator end() { return members_.end(); }
    const_iterator begin() const { return members_.begin(); }
    const_iterator end() const { return members_.end(); }

private:
    // The first member whose key is not below `key`; the last member first, so keys that come
    // in order take one comparison.
    iterator lower_bound(std::string_view key) {
        if (members_.empty() || members_.back().first < key) return members_.end();
        return std::lower_bound(members_.begin(), members_.end(), key,
                                [](const value_type& member, std::string_view k) { return member.first < k; });
    }

    ArenaVector<value_type> members_;
};

}  // namespace veskora::support
