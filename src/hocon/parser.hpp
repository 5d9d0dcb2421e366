// The readers of documents: the HOCON parser, a strict JSON reader, a Java properties reader, and
// reading a file by its extension. Each builds a Document, every value that needs no resolution
// final as it is read, and loads the include statements it meets where they stand.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "hocon/document.hpp"
#include "hocon/error.hpp"
#include "hocon/options.hpp"
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
        Value value;
    };
    // Where a block stood other than in the place of a value: as a key of its own, as a piece
    // of a key beside other text, or in a substitution's path.
    enum class Misplaced { Key, KeyPart, Substitution };

    // Loads an include statement: adds the fields of what it includes to `place.fields`, where the
    // statement stands. `on_one_line`: no whitespace but spaces and tabs stands inside it.
    virtual std::expected<void, Error> include(const Inclusion& statement, bool on_one_line,
                                               const SourceLocation& where, const Place& place) = 0;
    // Whether the extension reads blocks; without it, "{%" is HOCON's to read (and refuse).
    virtual bool reads_blocks() const { return false; }
    // Reads the block whose "{%" is at `at` of `text`, the text being parsed, as the value of the
    // object or array at `place`.
    virtual std::expected<Block, Error> block(std::string_view text, std::size_t at, const Place& place);
    // The error for a block read (by `block`) where no value stands.
    virtual Error misplaced_block(Misplaced place, const SourceLocation& where);
    // A quoted string or key whose escapes were decoded into `text`, which the text itself
    // therefore does not spell.
    virtual std::expected<void, Error> decoded(std::string_view) { return {}; }

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

    // The document, or the first error. Include statements are loaded where they stand.
    std::expected<Document, Error> parse();
    // The same, with the files that includes read counted in a budget that the caller's other
    // reads share (the text itself is the caller's to count).
    std::expected<Document, Error> parse(ReadBudget& budget);

    // The text's fields into the object at `place`, as a text read inside another one: its
    // include statements loaded, and its blocks read, by the extension; its depth and the
    // place's together held to the tree's bound.
    std::expected<void, Error> parse_into(const Place& place, ParserExtension& extension);

private:
    std::string_view text_;
    ConfigOptions options_;
    std::optional<std::string> origin_;
};

// Loads an include statement by this library's own rules, as the parser does for a text it reads
// without an extension: adds what it includes to `place.fields`; the files it reads count in
// `budget`.
std::expected<void, Error> load_include(const Inclusion& statement, const SourceLocation& where,
                                        const ConfigOptions& options, ReadBudget& budget, const Place& place);

// Strict JSON; the root must be an object. Keys are single keys, never paths.
std::expected<Document, Error> parse_json(std::string_view text, std::optional<std::string> origin = std::nullopt);

// Java properties, the bytes decoded as windows-1252. Every value is a string; a dotted key
// becomes nested objects (split on every ".", empty segments kept), and where a key is both a
// value and the parent of others the object wins.
std::expected<Document, Error> parse_properties(std::string_view bytes,
                                                std::optional<std::string> origin = std::nullopt);

// Reads one file by its extension: ".json" as JSON, ".properties" as properties, any other
// extension as HOCON; a path without an extension stands for every existing one of path.conf,
// path.json and path.properties, their fields joined in that order. An error when no file
// exists or one cannot be read or parsed.
std::expected<Document, Error> parse_file(const std::string& path, const ConfigOptions& options);
// The same, with every file read counted in a budget that the caller's other reads share.
std::expected<Document, Error> parse_file(const std::string& path, const ConfigOptions& options, ReadBudget& budget);
// One existing file's fields into the object at `place`, read by its extension, as an include
// by the library's own rules reads it.
std::expected<void, Error> read_file_into(const std::string& path, const ConfigOptions& options, ReadBudget& budget,
                                          const Place& place);

}  // namespace hocon
