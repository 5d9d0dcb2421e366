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

// What a resolution may produce, in bytes: each value counts bytes_per_value (about what one
// takes in memory) and a string or key its text besides. A document may produce the larger of
// min_byte_budget and budget_factor times its merged tree measured the same way. Substitutions
// copy whole subtrees and a concatenation can double a string, so a few lines could otherwise
// ask for an exponential number of values or bytes.
inline constexpr std::size_t bytes_per_value = 32;
inline constexpr std::size_t min_byte_budget = std::size_t{32} << 20;
inline constexpr std::size_t budget_factor = 16;

struct Tree;

// Merges the fields (and the process environment beneath them, when the options ask for it)
// into the tree that resolution reads; the tree keeps the fields. Fails on fields that cannot
// be merged: an empty key path, a "+=" value anywhere but directly in a field, nesting beyond
// max_value_depth.
std::expected<std::shared_ptr<const Tree>, Error> build_tree(RawObject root, const ConfigOptions& options);

// Resolves the whole tree. The tree is not changed; every call starts afresh.
std::expected<Value, Error> resolve_tree(const Tree& tree);

}  // namespace hocon::detail
