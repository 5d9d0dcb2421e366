// The loader: turns a ruleset document, given as HOCON text or as a file path, into a
// TemplateConfig: the resolved document tree plus the structured loop blocks cut out of it.
// Pre-processing of each text, include resolution and loop body extraction live here too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "hocon/options.hpp"
#include "hocon/raw.hpp"
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

// One parsed source text: its unresolved top-level fields in source order (includes injected,
// loop markers replaced by their wrappers) and the headers of every block it holds or includes,
// by marker.
struct ParsedRaw {
    std::vector<hocon::ObjectField> fields;
    support::StringMap<LoopHeader> loops;
};

// A whole document as read: its resolved value when its text could be read straight into one
// (no block or include statement, nothing to resolve), else what parse_raw gives for it.
using ParsedDocument = std::variant<ParsedRaw, hocon::Value>;

enum class IncludeKind : std::uint8_t { File = 0, Classpath = 1, Plain = 2 };

// One include statement rewritten into a placeholder field.
struct IncludeSpec {
    std::string target;  // the decoded string of the statement
    bool required = false;
    IncludeKind kind = IncludeKind::Plain;

    bool operator==(const IncludeSpec&) const = default;
};

// Canonical paths of the HOCON files being loaded, outermost first.
using IncludeStack = std::vector<std::filesystem::path>;

// How deeply structured loop blocks may nest inside each other's bodies within one load,
// counted across included files. Each level parses its body as a text of its own.
inline constexpr std::size_t max_structured_loop_nesting = 32;

// The loader state of one load attempt.
class TemplateConfigLoader {
public:
    TemplateConfigLoader(std::uint64_t attempt, hocon::ConfigOptions options);

    std::string prefix;                  // "__veskora_internal_{attempt}_"
    hocon::ConfigOptions config_options;  // what every parse of the attempt runs with
    std::uint64_t next_id = 0;           // numbers loop markers and include placeholders
    hocon::ReadBudget read_budget;       // the document text and every file the attempt reads

    // One HOCON text: prefix guard, loop blocks, include rewrite, parse, include injection,
    // loop bodies put back behind their markers.
    std::expected<ParsedRaw, LoadError> parse_raw(std::string_view text, IncludeStack& stack);

    // One candidate file: ".conf" through parse_raw (cycle and depth checked, messages
    // prefixed with the path), anything else through the HOCON library's own reader.
    std::expected<ParsedRaw, LoadError> load_path(const std::string& path, IncludeStack& stack);

    // The same for the text or the one file that is the whole document: most rulesets need no
    // resolution and hold no block or include statement, and their text is read straight into
    // its value; any other is read as parse_raw and load_path read it.
    std::expected<ParsedDocument, LoadError> parse_document(std::string_view text, IncludeStack& stack);
    std::expected<ParsedDocument, LoadError> load_document(const std::string& path, IncludeStack& stack);

    // Replaces each placeholder field of the object by an inclusion field holding the loaded
    // fields; used specs are removed from `specs`, headers of loaded files added to `loops`.
    std::expected<void, LoadError> inject_includes(hocon::RawObject& object, support::StringMap<IncludeSpec>& specs,
                                                   support::StringMap<LoopHeader>& loops, IncludeStack& stack);
    std::expected<void, LoadError> inject_value(hocon::RawValue& value, support::StringMap<IncludeSpec>& specs,
                                                support::StringMap<LoopHeader>& loops, IncludeStack& stack);

    // Resolves the collected fields and pairs loop headers with their bodies.
    std::expected<TemplateConfig, LoadError> finish(ParsedDocument parsed) const;

private:
    // A text past the prefix guard and the rewrites that come before parsing.
    struct PreparedText;
    std::expected<PreparedText, LoadError> prepare(std::string_view text);
    std::expected<ParsedRaw, LoadError> parse_prepared(PreparedText& prepared, IncludeStack& stack);
    // A ".conf" file checked (cycle, depth, UTF-8, read budget) and read, its text handed to
    // `parse` with the file on the include stack; messages are prefixed with the path.
    template <class Parse>
    auto parse_conf(const std::string& path, IncludeStack& stack, Parse&& parse)
        -> std::invoke_result_t<Parse, std::string_view>;

    std::expected<std::vector<hocon::ObjectField>, LoadError> resolve_include(const IncludeSpec& spec,
                                                                             support::StringMap<LoopHeader>& loops,
                                                                             IncludeStack& stack);

    // A key/value field of an object being walked: when it is a placeholder, replaces it by the
    // inclusion field of its include and answers true.
    std::expected<bool, LoadError> inject_field(hocon::ObjectField& field, support::StringMap<IncludeSpec>& specs,
                                                support::StringMap<LoopHeader>& loops, IncludeStack& stack);

    std::size_t loop_depth_ = 0;  // loop bodies being parsed inside each other right now
};

namespace config_loader {

// The include rewrite of one text: recognised include statements become placeholder fields
// ("<name>" = null), recorded by placeholder name. Names are drawn from `next_id`. A text
// without a statement is not copied: `text` is then the input itself, which must outlive it.
struct IncludeRewrite {
    std::string_view text;               // the input, or `owned`
    std::unique_ptr<std::string> owned;  // the rewritten text, when there was a statement
    support::StringMap<IncludeSpec> specs;
};
IncludeRewrite rewrite_includes(std::string_view text, std::string_view prefix, std::uint64_t& next_id);

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
