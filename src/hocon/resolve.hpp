// Resolution of a document: its substitutions, the concatenations and "+=" that depend on them,
// and the values written for one key that only it can merge, decided in place. Only what needs
// it is visited, with what the substitutions reach; the rest of the tree is final already.
#pragma once

#include <cstddef>
#include <expected>
#include <string>

#include "hocon/document.hpp"
#include "hocon/error.hpp"
#include "hocon/options.hpp"
#include "hocon/value.hpp"

namespace hocon {

// How many resolution steps may be open inside each other: each substitution on a chain that
// points at the next one, each value nested in another while it is resolved. At the bound the
// recursion needs well under 1 MiB of stack in an optimised build.
inline constexpr std::size_t max_resolve_depth = 512;

// The resolved document: no unresolved value left in it. With the options' environment switch,
// the process environment is a base layer under the document; without it an undefined
// substitution still falls back to the environment variable of the same name.
std::expected<Value, Error> resolve(Document document, const ConfigOptions& options = ConfigOptions::defaults());

// Reads a file (by extension, as hocon::parse_file does) and resolves it.
std::expected<Value, Error> load(const std::string& path, const ConfigOptions& options);

}  // namespace hocon
