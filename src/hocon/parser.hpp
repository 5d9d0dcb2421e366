// Readers that turn text into the unresolved tree: the HOCON parser (which loads the include
// statements it meets by itself, and reads a text that needs no resolution straight into its
// value), a strict JSON reader, a Java properties reader, and reading a file by its extension.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "hocon/error.hpp"
#include "hocon/options.hpp"
#include "hocon/raw.hpp"
#include "hocon/read_budget.hpp"
#include "hocon/value.hpp"

namespace hocon {

// What a reader adds to the HOCON it reads: it loads include statements by rules of its own, and
// it reads blocks that open with "{%", a pair that HOCON text cannot otherwise hold outside
// strings and comments. The parser hands it each of them where it meets them; what it returns
// takes their place, and its errors end the parse and reach the caller as they are.
class ParserExtension {
public:
    // What a block was read as: the value standing in its place, and the offset just past it.
    struct Block {
        std::size_t end = 0;
        RawValue value;
    };
    // Where a block stood other than in the place of a value: as a key of its own, as a piece
    // of a key beside other text, or in a substitution's path.
    enum class Place { Key, KeyPart, Substitution };

    // Loads an include statement into its `loaded` fields. `on_one_line`: no whitespace but
    // spaces and tabs stands inside the statement. `depth`: how deep the object holding the
    // statement stands in the tree, its root at 1; the fields loaded join it there.
    virtual std::expected<void, Error> include(Inclusion& statement, bool on_one_line, const SourceLocation& where,
                                               std::size_t depth) = 0;
    // Reads the block whose "{%" is at `at` of `text`, the text being parsed; `depth` is that of
    // the object or array whose value it is.
    virtual std::expected<Block, Error> block(std::string_view text, std::size_t at, std::size_t depth) = 0;
    // The error for a block read (by `block`) where no value stands.
    virtual Error misplaced_block(Place place, const SourceLocation& where) = 0;
    // A quoted string or key whose escapes were decoded into `text`, which the text itself
    // therefore does not spell.
    virtual std::expected<void, Error> decoded(std::string_view text) = 0;

protected:
    ~ParserExtension() = default;
};

class HoconParser {
public:
    // The text must outlive the parser. The origin names the text in errors (and, when it is
    // an existing file, is the first file of the include chain, for cycles and the depth
    // bound). Include targets are looked up by form: plain and file("...") in the working
    // directory first; plain and classpath("...") in the search list directories in order;
    // never relative to the origin's directory. url("...") is refused.
    HoconParser(std::string_view text, ConfigOptions options, std::optional<std::string> origin = std::nullopt);

    // The document's root object (a text of only whitespace and comments gives no fields), or
    // the first error. Include statements are loaded and attached as inclusion fields.
    std::expected<RawObject, Error> parse();
    // The same, with the files that includes read counted in a budget that the caller's other
    // reads share (the text itself is the caller's to count).
    std::expected<RawObject, Error> parse(ReadBudget& budget);
    // The same with an extension, which loads every include statement itself, for a text whose
    // root joins a tree `depth` levels deep (an include's, a block's): its own depth and that
    // one together are held to the tree's bound.
    std::expected<RawObject, Error> parse(ReadBudget& budget, ParserExtension& extension, std::size_t depth = 0);

    // The resolved value of a text that needs no resolution, read without the unresolved tree:
    // what parse, Config::from and resolve give for it. Such a text holds no include statement,
    // substitution or "+=", and concatenates only strings, numbers, booleans and null. Nothing
    // for any other text, and for a text with an error: those take the general way, which
    // reports the error.
    std::optional<Value> parse_plain() const;

private:
    std::expected<RawObject, Error> parse(ReadBudget& budget, ParserExtension* extension, std::size_t depth);

    std::string_view text_;
    ConfigOptions options_;
    std::optional<std::string> origin_;
};

// Loads an include statement into its `loaded` fields by this library's own rules, as the
// parser does for a text it reads without an extension; the files it reads count in `budget`.
std::expected<void, Error> load_include(Inclusion& statement, const SourceLocation& where,
                                        const ConfigOptions& options, ReadBudget& budget);

// Strict JSON; the root must be an object. Keys become quoted strings, numbers keep their text.
std::expected<RawObject, Error> parse_json(std::string_view text, std::optional<std::string> origin = std::nullopt);

// Java properties, the bytes decoded as windows-1252. Every value is a quoted string; a dotted
// key becomes nested objects (split on every ".", empty segments kept), and where a key is both
// a value and the parent of others the object wins.
std::expected<RawObject, Error> parse_properties(std::string_view bytes,
                                                 std::optional<std::string> origin = std::nullopt);

// Reads one file by its extension: ".json" as JSON, ".properties" as properties, any other
// extension as HOCON; a path without an extension stands for every existing one of path.conf,
// path.json and path.properties, their fields joined in that order. An error when no file
// exists or one cannot be read or parsed.
std::expected<RawObject, Error> parse_file(const std::string& path, const ConfigOptions& options);
// The same, with every file read counted in a budget that the caller's other reads share.
std::expected<RawObject, Error> parse_file(const std::string& path, const ConfigOptions& options, ReadBudget& budget);

}  // namespace hocon
