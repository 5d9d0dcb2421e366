// NameMap: the map from names to values that a ruleset holds for its rules and context defaults.
// The entries sit in one array in the order they were added, indexed by a flat table of
// eight-byte slots: no node, bucket or chain per name, so a map of a hundred thousand names is
// three allocations, and one keyed hash plus, mostly, one probe find a name. A map of a few
// names is scanned instead. Like a ruleset's lists, the arrays live in the arena current when
// they are made: a large ruleset's map then sits in huge pages, which its random probes reach
// without a page walk each. A name is a CompactText, so an entry of a node pointer takes 24
// bytes and a long name sits in the arena too.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "support/arena.hpp"
#include "support/compact_text.hpp"
#include "support/hash.hpp"

namespace veskora::support {

// Names are short: compared in place rather than through a call to memcmp, which costs more
// than the comparison itself.
inline bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

template <class V>
class NameMap {
public:
    using value_type = std::pair<CompactText, V>;
    using iterator = typename ArenaVector<value_type>::iterator;
    using const_iterator = typename ArenaVector<value_type>::const_iterator;

    NameMap() = default;
    NameMap(NameMap&&) noexcept = default;
    NameMap& operator=(NameMap&&) noexcept = default;

    // Room for `count` names in all, so that adding them moves no entry and hashes no name twice.
    void reserve(std::size_t count) {
        entries_.reserve(count);
        if (count > kScannedNames && slot_count_for(count) > slots_.size()) rebuild_slots(count);
    }

    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    iterator begin() { return entries_.begin(); }
    iterator end() { return entries_.end(); }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }

    iterator find(std::string_view name) { return at_position(position(name)); }
    const_iterator find(std::string_view name) const { return at_position(position(name)); }
    bool contains(std::string_view name) const { return position(name) != entries_.size(); }

    V& at(std::string_view name) { return entries_[checked(name)].second; }
    const V& at(std::string_view name) const { return entries_[checked(name)].second; }

    // Adds `name` with a value made from `args` unless the map has it; the entry of the name
    // either way, and whether it was added. The name is copied into the entry only when it is
    // added.
    template <class... Args>
    std::pair<iterator, bool> try_emplace(std::string_view name, Args&&... args) {
        const Place place = locate(name);
        if (place.found) return {at_position(place.position), false};
        return {add(name, V(std::forward<Args>(args)...), place), true};
    }
    std::pair<iterator, bool> emplace(std::string_view name, V value) { return try_emplace(name, std::move(value)); }
    // Adds `name` with `value`, or gives the name it has that value.
    std::pair<iterator, bool> insert_or_assign(std::string_view name, V value) {
        const Place place = locate(name);
        if (place.found) {
            entries_[place.position].second = std::move(value);
            return {at_position(place.position), false};
        }
        return {add(name, std::move(value), place), true};
    }

private:
    // Up to this many names are compared one by one, mostly by their length alone, which costs
    // less than hashing the name; no choice of so few names can slow a lookup down.
    static constexpr std::size_t kScannedNames = 8;

    // A slot of the hashed index: the entry's position plus one (0 for a free slot) and the high
    // half of its name's hash, so that most names probed past are told apart without reading
    // their entry. The index is at most two thirds full, so a probe mostly ends at its first or
    // second slot, for 12 to 24 bytes of slots per name.
    struct Slot {
        std::uint32_t entry = 0;
        std::uint32_t tag = 0;
    };
    static std::uint32_t tag(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> 32); }
    static std::size_t slot_count_for(std::size_t count) { return std::bit_ceil(count + count / 2 + 1); }

    // Where a name is or would go: its entry's position when the map has it, and its hash when
    // the map is hashed, so that adding the name hashes it once.
    struct Place {
        bool found = false;
        std::size_t position = 0;
        std::uint64_t hash = 0;
    };

    Place locate(std::string_view name) const {
        if (slots_.empty()) {
            for (std::size_t i = 0; i < entries_.size(); ++i) {
                if (same_name(entries_[i].first, name)) return {true, i};
            }
            return {};
        }
        const std::uint64_t hash = hash_(name);
        for (std::size_t i = hash & mask_; slots_[i].entry != 0; i = (i + 1) & mask_) {
            if (slots_[i].tag != tag(hash)) continue;
            const std::size_t entry = slots_[i].entry - 1;
            if (same_name(entries_[entry].first, name)) return {true, entry, hash};
        }
        return {false, 0, hash};
    }

    // The position of `name` among the entries; their count when the map has none.
    std::size_t position(std::string_view name) const {
        const Place place = locate(name);
        return place.found ? place.position : entries_.size();
    }
    iterator at_position(std::size_t position) { return entries_.begin() + static_cast<std::ptrdiff_t>(position); }
    const_iterator at_position(std::size_t position) const {
        return entries_.begin() + static_cast<std::ptrdiff_t>(position);
    }

    iterator add(std::string_view name, V value, const Place& place) {
        const std::size_t index = entries_.size();
        entries_.emplace_back(CompactText(name), std::move(value));
        if (!slots_.empty() && slot_count_for(entries_.size()) <= slots_.size()) {
            index_entry(index, place.hash);
        } else if (entries_.size() > kScannedNames) {
            rebuild_slots(entries_.size());
        }
        return at_position(index);
    }

    void rebuild_slots(std::size_t count) {
        slots_.assign(slot_count_for(count), Slot{});
        mask_ = slots_.size() - 1;
        for (std::size_t i = 0; i < entries_.size(); ++i) index_entry(i, hash_(entries_[i].first));
    }

    void index_entry(std::size_t index, std::uint64_t hash) {
        std::size_t i = hash & mask_;
        while (slots_[i].entry != 0) i = (i + 1) & mask_;
        slots_[i] = Slot{static_cast<std::uint32_t>(index + 1), tag(hash)};
    }

    std::size_t checked(std::string_view name) const {
        const std::size_t found = position(name);
        if (found == entries_.size()) throw std::out_of_range("NameMap::at: no such name");
        return found;
    }

    // Keyed like every map of the library: names that come from documents cannot be chosen to
    // fall into one run of slots.
    KeyedHash hash_;
    ArenaVector<value_type> entries_;  // in the order added
    ArenaVector<Slot> slots_;          // empty while the entries are scanned
    std::size_t mask_ = 0;
};

}  // namespace veskora::support
