// NameMap: the map from names to values that a ruleset holds for its rules and context defaults.
// The entries sit in one array in the order they were added, indexed by a flat table of
// eight-byte slots: no node, bucket or chain per name, so a map of a hundred thousand names is
// three allocations, and one keyed hash plus, mostly, one probe find a name. A map of a few
// names is scanned instead. Like a ruleset's lists, the arrays live in the arena the map is made
// with: a large ruleset's map then sits in huge pages, which its random probes reach without a
// page walk each. A name is a CompactText, so an entry of a node pointer takes 24 bytes and a
// long name sits in the arena too.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <type_traits>
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

    explicit NameMap(Arena& arena) : entries_(arena), slots_(arena) {}
    // The map that adding `entries` in their order with insert_or_assign makes: a name given
    // again keeps its first entry and gives it the later value. Indexed all at once, the entries
    // cost no wait for memory each (see rebuild_slots), where a large map's insert_or_assign
    // waits for the slot of its name.
    explicit NameMap(ArenaVector<value_type> entries) : entries_(std::move(entries)), slots_(entries_.arena()) {
        if (entries_.empty()) return;
        const std::vector<std::size_t> repeated = rebuild_slots(entries_.size());
        if (!repeated.empty()) drop(repeated);
        if (entries_.size() <= kScannedNames) {
            slots_ = ArenaVector<Slot>(arena());
        } else if (!repeated.empty()) {
            rebuild_slots(entries_.size());
        }
    }
    NameMap(NameMap&&) noexcept = default;
    NameMap& operator=(NameMap&&) noexcept = default;

    // The arena that holds the entries and their names.
    Arena& arena() const { return entries_.arena(); }

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

    // Looks up the names name(0) to name(count - 1) and calls found(i, entry) for each in turn,
    // with a pointer to its entry or null: for many names, far faster than as many find() calls
    // in a large map (see with_slots_fetched).
    template <class Name, class Found>
    void find_each(std::size_t count, const Name& name, const Found& found) const {
        const auto entry = [&](const Place& place) {
            return place.found ? &entries_[place.position] : nullptr;
        };
        if (slots_.empty()) {
            for (std::size_t i = 0; i < count; ++i) found(i, entry(locate(name(i))));
            return;
        }
        with_slots_fetched(count, name, [&](std::size_t i, std::uint64_t hash) {
            found(i, entry(probe(name(i), hash)));
        });
    }

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
    // Names scanned by length and bytes, against one hash per lookup; chosen by render_bench BM_LiteralRule.
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
        return probe(name, hash_(name));
    }

    // locate() in the hashed index.
    Place probe(std::string_view name, std::uint64_t hash) const {
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
        entries_.emplace_back(CompactText(arena(), name), std::move(value));
        if (!slots_.empty() && slot_count_for(entries_.size()) <= slots_.size()) {
            index_entry(index, place.hash);
        } else if (entries_.size() > kScannedNames) {
            rebuild_slots(entries_.size());
        }
        return at_position(index);
    }

    // Indexes every entry afresh, in slots for `count` names (see with_slots_fetched). An entry
    // whose name an earlier one has (only a list given to the constructor has such) gives that
    // one its value and stays out of the index; their positions, in order. A list of a few
    // names is indexed too, to find its repeats, and then scanned.
    std::vector<std::size_t> rebuild_slots(std::size_t count) {
        slots_.assign(slot_count_for(count), Slot{});
        mask_ = slots_.size() - 1;
        std::vector<std::size_t> repeated;
        const auto name = [&](std::size_t i) -> const CompactText& { return entries_[i].first; };
        with_slots_fetched(entries_.size(), name, [&](std::size_t i, std::uint64_t hash) {
            if (const Place place = probe(name(i), hash); place.found) {
                entries_[place.position].second = std::move(entries_[i].second);
                repeated.push_back(i);
            } else {
                index_entry(i, hash);
            }
        });
        return repeated;
    }

    // Calls visit(i, hash) for the names name(0) to name(count - 1) in turn, with the hash of
    // each. In a large map a name's first slot is a cache miss: the names kAhead places on are
    // hashed and their slots fetched meanwhile, so the misses overlap instead of following each
    // other. Names given as CompactText (the map's own) are fetched kAhead places before they
    // are hashed, since a long one is a miss of its own.
    template <class Name, class Visit>
    void with_slots_fetched(std::size_t count, const Name& name, const Visit& visit) const {
        // Slot misses overlapped against slots evicted before use; chosen by load_bench BM_Load/plain/10240.
        constexpr std::size_t kAhead = 16;
        constexpr bool kCompact = std::is_same_v<std::remove_cvref_t<decltype(name(0))>, CompactText>;
        std::uint64_t hashes[kAhead];
        const auto fetch = [&](std::size_t i) {
            if constexpr (kCompact) {
                if (i + kAhead < count) name(i + kAhead).prefetch();
            }
            const std::uint64_t hash = hash_(name(i));
            __builtin_prefetch(&slots_[hash & mask_]);
            hashes[i % kAhead] = hash;
        };
        if constexpr (kCompact) {
            for (std::size_t i = 0; i < std::min(kAhead, count); ++i) name(i).prefetch();
        }
        for (std::size_t i = 0; i < std::min(kAhead, count); ++i) fetch(i);
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t hash = hashes[i % kAhead];
            if (i + kAhead < count) fetch(i + kAhead);
            visit(i, hash);
        }
    }

    // Removes the entries at `positions` (ascending), keeping the others in order.
    void drop(const std::vector<std::size_t>& positions) {
        std::size_t kept = 0;
        for (std::size_t i = 0, next = 0; i < entries_.size(); ++i) {
            if (next < positions.size() && positions[next] == i) {
                ++next;
            } else if (kept++ != i) {
                entries_[kept - 1] = std::move(entries_[i]);
            }
        }
        entries_.shrink_to(kept);
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
