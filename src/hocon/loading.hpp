// Internal to the library: the state of one chain of include loading (the options, the HOCON
// files open inside each other and what the load has read) and the operations that parse and
// load under it.
#pragma once

#include <expected>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "hocon/error.hpp"
#include "hocon/options.hpp"
#include "hocon/raw.hpp"
#include "hocon/read_budget.hpp"

namespace hocon {
class ParserExtension;
}

namespace hocon::detail {

struct IncludeContext {
    ConfigOptions options;
    std::vector<std::filesystem::path> open_files;  // canonical paths, outermost first
    ReadBudget& budget;                              // every file read counts, repeats too
};

// The syntax of one HOCON text, include statements left unloaded (inclusion fields without
// loaded content). The file name goes into errors and locations.
std::expected<RawObject, Error> parse_hocon_syntax(std::string_view text, std::shared_ptr<const std::string> file,
                                                   std::size_t nesting_limit);

// Loads every include statement of a freshly parsed tree and attaches the loaded fields.
std::expected<void, Error> load_includes(RawObject& object, IncludeContext& context);

// Syntax, then includes; the text must already be known to be UTF-8. With an extension, the
// extension loads every include statement as the parser meets it, and the text's root joins a
// tree at `base` levels deep.
std::expected<RawObject, Error> parse_hocon(std::string_view text, std::shared_ptr<const std::string> file,
                                            IncludeContext& context, ParserExtension* extension = nullptr,
                                            std::size_t base = 0);

// One existing file, read by its extension (".json", ".properties", anything else HOCON).
std::expected<RawObject, Error> load_file_fields(const std::string& path, IncludeContext& context);

}  // namespace hocon::detail
