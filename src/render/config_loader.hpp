// The loader: turns a ruleset document, given as HOCON text or as a file path, into a
// TemplateConfig: the resolved document tree plus the structured loop blocks cut out of it.
// The loader reads each text as the HOCON parser's extension (include statements and loop
// blocks), resolves includes, and takes the loop bodies out of the resolved tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "hocon/document.hpp"
#include "hocon/options.hpp"
#include "hocon/parser.hpp"
#include "hocon/read_budget.hpp"
#include "hocon/value.hpp"
#include "support/hash.hpp"

namespace veskora::render {

// One structured loop block, ready for compilation.
struct StructuredLoopTemplate {
    std::string variable;
    std::string source;  // dotted source path
    hocon::Value body;
};

// The result of a load.
struct TemplateConfig {
    // The whole document after resolution; each structured loop block stands in it as a
    // string holding the block's loop marker.
    hocon::Value root;
    // Loop marker text to its block.
    support::StringMap<StructuredLoopTemplate> structured_loops;
};

// The error of the loader's inner operations; it never leaves the loader.
class LoadError {
public:
    enum class Kind : std::uint8_t { Message, PrefixCollision };

    static LoadError message(std::string text) { return LoadError(Kind::Message, std::move(text)); }
    // A text of the attempt already holds the attempt's internal prefix: start the next attempt.
    static LoadError prefix_collision() { return LoadError(Kind::PrefixCollision, {}); }

    Kind kind() const { return kind_; }
    bool is_prefix_collision() const { return kind_ == Kind::PrefixCollision; }
    // The failure message (empty for PrefixCollision).
    const std::string& text() const { return text_; }

    bool operator==(const LoadError&) const = default;

private:
    LoadError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

    Kind kind_;
    std::string text_;
};

// The header of one structured loop block.
struct LoopHeader {
    std::string variable;
    std::string source;

    bool operator==(const LoopHeader&) const = default;
};

// Canonical paths of the HOCON files being loaded, outermost first.
using IncludeStack = std::vector<std::filesystem::path>;

// How deeply structured loop blocks may nest inside each other's bodies within one load,
// counted across included files. Each level parses its body as a text of its own.
inline constexpr std::size_t max_structured_loop_nesting = 32;

// The loader state of one load attempt. The HOCON parser reads every text of the attempt with
// the loader as its extension: it hands over each include statement and each "{%" block where
// it meets them, so nothing the loader makes is ever written into a text.
class TemplateConfigLoader final : private hocon::ParserExtension {
public:
    // The attempt's tree is made from `memory` (the heap when it is null), which the loader and
    // every container of the tree hold.
    TemplateConfigLoader(std::uint64_t attempt, hocon::ConfigOptions options, hocon::TreeMemory* memory = nullptr);

    std::string prefix;                    // "__veskora_internal_{attempt}_"
    hocon::ConfigOptions config_options;   // what every parse of the attempt runs with
    std::uint64_t next_id = 0;             // numbers the loop markers
    hocon::ReadBudget read_budget;         // the document text and every file the attempt reads
    IncludeStack stack;                    // the HOCON files open right now
    support::StringMap<LoopHeader> loops;  // every block read in the attempt, by marker
    // The attempt numbers that the texts read so far name in the prefix form: a restart is owed
    // only to one of them.
    std::set<std::uint64_t> named_prefixes;
    hocon::DocumentStats stats;  // of the document being read

    // What the attempt's tree is made from.
    hocon::TreeMemory* memory() const { return memory_.memory(); }
    // Where the document's top-level fields go.
    hocon::Place root(hocon::ObjectBuilder& fields) { return hocon::Place{&fields, 1, {}, 0, &stats}; }

    // One HOCON text into the object at `place`: the prefix guard, then the parse, includes
    // loaded and blocks read on the way.
    std::expected<void, LoadError> parse_raw(std::string_view text, const hocon::Place& place);

    // One candidate file into the object at `place`: ".conf" through parse_raw (cycle and depth
    // checked, messages prefixed with the path), anything else through the HOCON library's own
    // reader.
    std::expected<void, LoadError> load_path(const std::string& path, const hocon::Place& place);

    // Resolves the document read into `fields` and pairs loop headers with their bodies.
    std::expected<TemplateConfig, LoadError> finish(hocon::ObjectBuilder& fields);

private:
    // The parser's calls.
    std::expected<void, hocon::Error> include(const hocon::Inclusion& statement, bool on_one_line,
                                              const hocon::SourceLocation& where, const hocon::Place& place) override;
    bool reads_blocks() const override { return true; }
    std::expected<Block, hocon::Error> block(std::string_view text, std::size_t at, const hocon::Place& place) override;
    hocon::Error misplaced_block(Misplaced place, const hocon::SourceLocation& where) override;
    std::expected<void, hocon::Error> decoded(std::string_view text) override;

    // A text parsed with the loader as the parser's extension, without the prefix guard.
    std::expected<void, LoadError> parse_guarded(std::string_view text, const hocon::Place& place);
    // Ends the parse under way with `error`, which its caller then receives as it is.
    std::unexpected<hocon::Error> stop(LoadError error);
    // A ".conf" file checked (cycle, depth, UTF-8, read budget) and read, its text handed to
    // `parse` with the file on the include stack; messages are prefixed with the path.
    template <class Parse>
    auto parse_conf(const std::string& path, Parse&& parse) -> std::invoke_result_t<Parse, std::string_view>;
    // What an include statement of the loader's own form brings, into the object at `place`.
    std::expected<void, LoadError> resolve_include(const hocon::Inclusion& statement, const hocon::Place& place);

    // Whether a text names this attempt's prefix; every attempt number it names is recorded.
    bool names_prefix(std::string_view text);
    // The same for every key and string of the fields from `first` on, which were not read from
    // a text of the attempt.
    bool names_prefix(const hocon::ObjectBuilder& fields, std::size_t first);

    std::uint64_t attempt_;
    hocon::TreeAllocator<std::byte> memory_;
    std::size_t loop_depth_ = 0;           // loop bodies being parsed inside each other right now
    std::optional<LoadError> failure_;     // why the parser's extension stopped the parse
    hocon::ObjectBuilder* body_ = nullptr;  // the root of the loop body being read
    bool body_includes_ = false;           // an include statement stands at that root
    // The first keys of the places where blocks were read: the top-level members to search for
    // loop bodies once the document is resolved.
    std::set<std::string, std::less<>> block_keys_;
};

namespace config_loader {

// The existing files a path stands for, in the order conf, json, properties; empty when none.
std::vector<std::string> config_paths(const std::string& path);

// Takes every loop wrapper out of a resolved value: the body goes into `bodies` under its
// marker, and the marker string takes the wrapper's place.
std::expected<hocon::Value, LoadError> extract_loop_bodies(hocon::Value value, std::string_view prefix,
                                                           support::StringMap<hocon::Value>& bodies);

// A document from HOCON text; without options every attempt uses the library defaults.
// The error is the loader's message.
std::expected<TemplateConfig, std::string> load_str(std::string_view text,
                                                    std::optional<hocon::ConfigOptions> options);

// A document from a file (conf, json or properties, or a path standing for all three).
std::expected<TemplateConfig, std::string> load_file(std::string path,
                                                     hocon::ConfigOptions options);

}  // namespace config_loader
}  // namespace veskora::render
