// Internal to the library: the merged tree that a configuration is built into (duplicate keys,
// path keys, "+=" and included fields merged in place, as HOCON merges them) and its
// resolution into a Value (substitutions, concatenations, self-references, cycles).
#pragma once

#include <cstddef>
#include <expected>
#include <memory>

#include "hocon/error.hpp"
#include "hocon/options.hpp"
#include "hocon/raw.hpp"
#include "hocon/value.hpp"

namespace hocon::detail {

// How deeply objects and arrays may nest in the merged tree and in any resolved value. Each
// text is already held to the nesting limit by the parser; this bounds what includes inside
// nested objects and substitutions of nested values can pile up.
inline constexpr std::size_t max_value_depth = 256;

// How many resolution steps may be open inside each other: each substitution on a chain that
// points at the next one, each value nested in another while it is resolved. At the bound the
// recursion needs well under 1 MiB of stack in an optimised build.
inline constexpr std::size_t max_resolve_depth = 512;

// The floor of the bound on the number of values a resolution may produce; a document gets
// the larger of this and a multiple of its own size. Substitutions copy whole subtrees, so a
// few lines can otherwise ask for an exponential number of values.
inline constexpr std::size_t min_value_budget = std::size_t{1} << 22;

struct Tree;

// Merges the fields (and the process environment beneath them, when the options ask for it)
// into the tree that resolution reads. Fails on fields that cannot be merged: an empty key
// path, a "+=" value anywhere but directly in a field, nesting beyond max_value_depth.
std::expected<std::shared_ptr<const Tree>, Error> build_tree(const RawObject& root, const ConfigOptions& options);

// Resolves the whole tree. The tree is not changed; every call starts afresh.
std::expected<Value, Error> resolve_tree(const Tree& tree);

}  // namespace hocon::detail
