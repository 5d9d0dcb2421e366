// NameTable: a table from names to small values, built once and then only read, for the lookups
// a render makes by a name it was handed. One keyed hash of the name and, mostly, one probe of a
// flat array find the value (no division by a prime, no chain of nodes, no call to compare);
// a table of a few names is scanned instead.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

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
class NameTable {
public:
    NameTable() = default;

    // The names must be distinct, and their text must outlive the table.
    explicit NameTable(std::vector<std::pair<std::string_view, V>> entries) : entries_(std::move(entries)) {
        if (entries_.size() <= kScannedNames) return;
        // At most half full, so a probe mostly ends at its first or second slot.
        slots_.resize(std::bit_ceil(2 * entries_.size()));
        mask_ = slots_.size() - 1;
        for (std::size_t index = 0; index < entries_.size(); ++index) {
            const std::uint64_t hash = hash_(entries_[index].first);
            std::size_t i = hash & mask_;
            while (slots_[i].entry != 0) i = (i + 1) & mask_;
            slots_[i] = Slot{static_cast<std::uint32_t>(index + 1), tag(hash)};
        }
    }

    // The value of `name`; null when the table has none.
    const V* find(std::string_view name) const {
        if (slots_.empty()) {
            for (const Entry& entry : entries_) {
                if (same_name(entry.first, name)) return &entry.second;
            }
            return nullptr;
        }
        const std::uint64_t hash = hash_(name);
        for (std::size_t i = hash & mask_; slots_[i].entry != 0; i = (i + 1) & mask_) {
            if (slots_[i].tag != tag(hash)) continue;
            const Entry& entry = entries_[slots_[i].entry - 1];
            if (same_name(entry.first, name)) return &entry.second;
        }
        return nullptr;
    }

private:
    // Up to this many names are compared one by one, mostly by their length alone, which costs
    // less than hashing the name; no choice of so few names can slow a lookup down.
    static constexpr std::size_t kScannedNames = 8;

    using Entry = std::pair<std::string_view, V>;
    // A slot of the hashed table: the entry's position plus one (0 for a free slot) and the high
    // half of its name's hash, so that most names probed past are told apart without reading
    // their entry. Slots of eight bytes keep a table of many names small (a ruleset has one name
    // for every rule and member) while it stays at most half full.
    struct Slot {
        std::uint32_t entry = 0;
        std::uint32_t tag = 0;
    };
    static std::uint32_t tag(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> 32); }

    // Keyed like every map of the library: names that come from documents cannot be chosen to
    // fall into one run of slots.
    KeyedHash hash_;
    std::vector<Entry> entries_;  // in the order given
    std::vector<Slot> slots_;     // empty while the entries are scanned
    std::size_t mask_ = 0;
};

}  // namespace veskora::support
