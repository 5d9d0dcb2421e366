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
    explicit NameTable(const std::vector<std::pair<std::string_view, V>>& entries) {
        if (entries.size() <= kScannedNames) {
            for (const auto& [name, value] : entries) slots_.push_back(Slot{0, name, value, true});
            return;
        }
        hashed_ = true;
        // At most half full, so a probe mostly ends at its first or second slot.
        slots_.resize(std::bit_ceil(2 * entries.size()));
        mask_ = slots_.size() - 1;
        for (const auto& [name, value] : entries) {
            const std::uint64_t hash = hash_(name);
            std::size_t i = hash & mask_;
            while (slots_[i].used) i = (i + 1) & mask_;
            slots_[i] = Slot{hash, name, value, true};
        }
    }

    // The value of `name`; null when the table has none.
    const V* find(std::string_view name) const {
        if (!hashed_) {
            for (const Slot& slot : slots_) {
                if (same_name(slot.name, name)) return &slot.value;
            }
            return nullptr;
        }
        const std::uint64_t hash = hash_(name);
        for (std::size_t i = hash & mask_; slots_[i].used; i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (slot.hash == hash && same_name(slot.name, name)) return &slot.value;
        }
        return nullptr;
    }

private:
    // Up to this many names are compared one by one, mostly by their length alone, which costs
    // less than hashing the name; no choice of so few names can slow a lookup down.
    static constexpr std::size_t kScannedNames = 8;

    struct Slot {
        std::uint64_t hash = 0;
        std::string_view name;
        V value{};
        bool used = false;
    };

    // Keyed like every map of the library: names that come from documents cannot be chosen to
    // fall into one run of slots.
    KeyedHash hash_;
    // The names in any order while they are scanned, else at their hashes' slots.
    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    bool hashed_ = false;
};

}  // namespace veskora::support
