// Internal to the library: the state of one chain of include loading (the options, the HOCON
// files open inside each other and what the load has read) and the operations that read texts
// and files under it, each into the object where it is included.
#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "hocon/document.hpp"
#include "hocon/error.hpp"
#include "hocon/options.hpp"
#include "hocon/read_budget.hpp"
#include "hocon/tree.hpp"

namespace hocon::detail {

struct IncludeContext {
    ConfigOptions options;
    std::vector<std::filesystem::path> open_files;  // canonical paths, outermost first
    ReadBudget& budget;                              // every file read counts, repeats too
};

// One HOCON text's fields into the object at `place`, its includes loaded by the library's rules;
// the text must already be known to be UTF-8. `file` names it in errors and locations.
std::expected<void, Error> read_hocon(std::string_view text, const std::string* file, IncludeContext& context,
                                      const Place& place);

// One include statement by the library's rules: what it finds, into the object at `place`.
std::expected<void, Error> load_inclusion(const Inclusion& statement, const SourceLocation& where,
                                          IncludeContext& context, const Place& place);

// One existing file, read by its extension (".json", ".properties", anything else HOCON), into
// the object at `place`.
std::expected<void, Error> load_file_fields(const std::string& path, IncludeContext& context, const Place& place);

// A JSON or properties text's fields into the object at `place`.
std::expected<void, Error> read_json(std::string_view text, const std::string* file, const Place& place);
std::expected<void, Error> read_properties(std::string_view bytes, const std::string* file, const Place& place);

// A document's top-level fields, read by `read(place)` into its root object, which is then
// closed: every kind of document ends the same way.
template <class Read>
std::expected<Document, Error> read_document(Document document, Read&& read) {
    ObjectBuilder root;
    if (auto r = read(Place{&root, 1, {}, 0, &document.stats}); !r) return std::unexpected(std::move(r.error()));
    document.stats.measure += bytes_per_value;
    document.root = root.close(SourceLocation{});
    return document;
}

}  // namespace hocon::detail
