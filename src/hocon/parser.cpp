#include "hocon/parser.hpp"

#include <algorithm>
#include <cstring>
#include <deque>
#include <filesystem>
#include <iterator>
#include <span>
#include <utility>

#include "hocon/loading.hpp"
#include "hocon/text.hpp"
#include "hocon/tree.hpp"

namespace hocon {

namespace {

using Status = std::expected<void, Error>;

// Characters that may not appear in an unquoted string (whitespace aside).
constexpr bool is_forbidden(unsigned char c) {
    switch (c) {
        case '$': case '"': case '{': case '}': case '[': case ']': case ':': case '=': case ',': case '+':
        case '#': case '`': case '^': case '?': case '!': case '@': case '*': case '&': case '\\':
            return true;
        default:
            return false;
    }
}

// Reserved for future syntax: never valid outside quotes.
constexpr bool is_reserved(unsigned char c) {
    switch (c) {
        case '`': case '^': case '?': case '!': case '@': case '*': case '&': case '\\': case '+':
            return true;
        default:
            return false;
    }
}

// What each byte is to the scanners, which ask it of nearly every byte of a text: one lookup
// instead of a chain of comparisons.
enum ByteClass : unsigned char {
    // Ends an unquoted run: whitespace (newline included) or a forbidden character. '/' is marked
    // too, since "//" begins a comment; a single '/' does not end the run, which the scan checks
    // separately. So is every byte of 0x80 or more, which may begin Unicode whitespace.
    EndsUnquoted = 1,
    InlineSpace = 2,  // ASCII whitespace other than the newline
    Newline = 4,
    NonAscii = 8,
    // Begins a value though it ends an unquoted run: an object, an array, a quoted string, a
    // substitution, or a reserved character (which reading the value reports).
    BeginsValue = 16,
    NumberChar = 32,  // may be part of a number literal: a digit, a sign, a point or an exponent
    // May begin whitespace or a comment: what skipping space looks further at.
    BeginsSpace = 64,
};

struct ByteClasses {
    unsigned char of[256] = {};
    constexpr ByteClasses() {
        for (unsigned c = 0; c < 256; ++c) {
            const auto b = static_cast<unsigned char>(c);
            if (c >= 0x80) {
                of[c] = EndsUnquoted | NonAscii | BeginsSpace;
                continue;
            }
            if (is_forbidden(b) || text::is_ascii_whitespace(b) || b == '/') of[c] |= EndsUnquoted;
            if (b == '\n') of[c] |= Newline;
            else if (text::is_ascii_whitespace(b)) of[c] |= InlineSpace;
            if (b == '{' || b == '[' || b == '"' || b == '$' || is_reserved(b)) of[c] |= BeginsValue;
            if ((b >= '0' && b <= '9') || b == 'e' || b == 'E' || b == '+' || b == '-' || b == '.') of[c] |= NumberChar;
            if (text::is_ascii_whitespace(b) || b == '#' || b == '/') of[c] |= BeginsSpace;
        }
    }
};
constexpr ByteClasses byte_classes;

unsigned char class_of(char c) { return byte_classes.of[static_cast<unsigned char>(c)]; }

// One piece of a key or a substitution path, as written.
struct PathPiece {
    enum class Kind { Quoted, MultiLine, Unquoted, Whitespace, Block };
    Kind kind;
    std::string text;
};

// The parser of one text. It reads the fields of the text's root into an object builder (a fresh
// one for a document, the including object's for an included text), builds every other object
// and array as it completes it, and hands include statements and blocks to its extension.
class Reader {
public:
    Reader(std::string_view text, const std::string* file, std::size_t nesting_limit, ParserExtension& extension,
           const Place& place)
        : s_(text),
          file_(file),
          limit_(nesting_limit),
          base_(place.depth - 1),
          prefix_(place.prefix),
          stats_(*place.stats),
          memory_(place.fields->memory()),
          extension_(extension),
          blocks_(extension.reads_blocks()),
          path_(place.path.begin(), place.path.end()) {}

    // The text's fields into `root`; an included text's root is its including object.
    Status read(ObjectBuilder& root) {
        skip_space();
        if (peek() == '[') return fail("the document root must be an object, found an array");
        if (peek() == '{' && !at_block()) {
            ++pos_;
            if (auto r = enter(); !r) return r;
            if (auto r = parse_fields(root, true); !r) return r;
            --depth_;
            skip_space();
            if (!at_end()) return fail_found("expected end of input after the root object, found ");
            return {};
        }
        if (auto r = enter(); !r) return r;
        if (auto r = parse_fields(root, false); !r) return r;
        --depth_;
        return {};
    }

private:
    std::string_view s_;
    std::size_t pos_ = 0;
    std::size_t line_ = 1;
    const std::string* file_;
    std::size_t depth_ = 0;
    std::size_t limit_;
    std::size_t base_;    // the depth of the object the text's root joins, less one
    std::size_t prefix_;  // how many of path_'s first keys are the include's place
    DocumentStats& stats_;
    TreeMemory* memory_;  // what the containers and nodes read are made from
    ParserExtension& extension_;
    bool blocks_;
    // The keys from the root of the tree down to the value being read: the place's, then the
    // text's own. Views of the keys in the fields being read, which outlive the reading of
    // their values.
    std::vector<std::string_view> path_;
    // Where the field whose value is being read was written: what the value's unresolved nodes
    // name in resolution's messages. The root of a document is nowhere.
    SourceLocation field_where_;
    // Buffers reused by every object and array, one for each nesting depth.
    std::deque<ObjectBuilder> field_buffers_;
    // The parts of the concatenations being read, and the text of each part of the one joined.
    struct ConcatPart {
        Value value;
        std::optional<std::size_t> fields;  // for an object, the start of its fields in the buffer
        std::string_view written;
    };
    std::vector<ConcatPart> concat_parts_;
    std::vector<std::string_view> written_;
    std::deque<Value::Array> element_buffers_;

    // ---- positions and errors

    bool at_end() const { return pos_ >= s_.size(); }
    unsigned char peek(std::size_t ahead = 0) const {
        return pos_ + ahead < s_.size() ? static_cast<unsigned char>(s_[pos_ + ahead]) : 0;
    }
    bool starts_with(std::string_view word) const { return s_.substr(pos_).starts_with(word); }
    std::string found() const { return text::describe_at(s_, pos_); }
    SourceLocation here() const { return SourceLocation{file_, line_}; }

    // Errors are made out of line, so that the frames of the recursion, which an extension's texts
    // stack up inside each other, hold none of their strings.
    [[gnu::cold, gnu::noinline]] std::unexpected<Error> fail(std::string_view message) const {
        return std::unexpected(Error(here(), std::string(message)));
    }
    [[gnu::cold, gnu::noinline]] std::unexpected<Error> fail_reserved() const {
        return fail("reserved character " + found() + " is not allowed outside quotes");
    }
    // The message, then what stands at the position.
    [[gnu::cold, gnu::noinline]] std::unexpected<Error> fail_found(std::string_view message) const {
        return fail(std::string(message) + found());
    }
    // The message with a text quoted in it; what stands at the position follows when asked for.
    [[gnu::cold, gnu::noinline]] std::unexpected<Error> fail_quoting(std::string_view before, std::string_view quoted,
                                                                    std::string_view after, bool then_found = false) const {
        return fail(std::string(before) + text::printable(quoted) + std::string(after) + (then_found ? found() : ""));
    }
    // Texts read for includes and blocks stand inside each other: what their depths add up to
    // is the depth of the tree they join, and so is the bound.
    [[gnu::cold, gnu::noinline]] std::unexpected<Error> fail_too_deep(std::size_t limit) const {
        return fail("objects and arrays nest deeper than the limit of " + std::to_string(limit) + " levels");
    }
    // A path key whose segments nest its value too deeply, told at the line of the key.
    [[gnu::cold, gnu::noinline]] std::unexpected<Error> fail_key_too_deep(std::size_t line, std::string_view key,
                                                                         std::size_t limit) const {
        return std::unexpected(Error(SourceLocation{file_, line}, "the key '" + text::printable(key) +
                                                                      "' nests deeper than the limit of " +
                                                                      std::to_string(limit) + " levels"));
    }

    Status enter() {
        if (++depth_ > limit_) return fail_too_deep(limit_);
        if (base_ + depth_ > detail::max_value_depth) return fail_too_deep(detail::max_value_depth);
        return {};
    }

    // The place of what is read at the position, for the extension: the object or array being
    // read, its key path, and how many of the keys a substitution in it looks up first.
    Place place(ObjectBuilder* fields, std::size_t prefix) const {
        return Place{fields, base_ + depth_, std::span<const std::string_view>(path_), prefix, &stats_};
    }

    // ---- the extension's blocks

    bool at_block() const { return blocks_ && peek() == '{' && peek(1) == '%'; }

    // The block at the position, read by the extension; the parser goes on after it.
    std::expected<Value, Error> read_block() {
        auto block = extension_.block(s_, pos_, place(nullptr, prefix_));
        if (!block) return std::unexpected(std::move(block.error()));
        line_ += static_cast<std::size_t>(std::count(s_.begin() + static_cast<std::ptrdiff_t>(pos_),
                                                     s_.begin() + static_cast<std::ptrdiff_t>(block->end), '\n'));
        pos_ = block->end;
        return std::move(block->value);
    }

    // A block read where a key or a substitution's path is written.
    std::unexpected<Error> misplaced_block(ParserExtension::Misplaced where_it_stood, const SourceLocation& where) {
        return std::unexpected(extension_.misplaced_block(where_it_stood, where));
    }

    // ---- whitespace and comments

    bool at_comment() const { return text::comment_at(s_, pos_); }

    // Passes over the comment at the position, up to (not including) the line feed.
    void skip_comment() { pos_ = text::comment_end(s_, pos_); }

    // Length of the whitespace character at i, newlines aside (0 when there is none).
    std::size_t inline_space_at(std::size_t i) const {
        const unsigned char c = class_of(s_[i]);
        if (c & InlineSpace) return 1;
        return c & NonAscii ? text::non_ascii_whitespace_at(s_, i) : 0;
    }

    void skip_inline_space() {
        std::size_t len = 0;
        while (!at_end() && (len = inline_space_at(pos_)) > 0) pos_ += len;
    }

    // Whitespace, newlines and comments. Most calls find a value or a separator right away,
    // which one lookup tells before any loop.
    void skip_space() {
        if (!at_end() && (class_of(s_[pos_]) & BeginsSpace)) skip_space_from_here();
    }

    // Kept out of line, so that the check before it is all that callers inline.
    [[gnu::noinline]] void skip_space_from_here() {
        while (true) {
            // ASCII whitespace, the bulk of it, in a loop of its own.
            std::size_t i = pos_;
            unsigned char c = 0;
            while (i < s_.size() && ((c = class_of(s_[i])) & (InlineSpace | Newline))) {
                if (c & Newline) ++line_;
                ++i;
            }
            pos_ = i;
            if (at_end()) return;
            if (std::size_t len = c & NonAscii ? text::non_ascii_whitespace_at(s_, pos_) : 0) {
                pos_ += len;
            } else if (at_comment()) {
                skip_comment();
            } else {
                return;
            }
        }
    }

    // Whitespace and newlines only (inside include statements); false when it passed over
    // anything but spaces and tabs.
    bool skip_space_no_comments() {
        bool blanks = true;
        while (!at_end()) {
            if (peek() == ' ' || peek() == '\t') {
                ++pos_;
            } else if (peek() == '\n') {
                ++pos_;
                ++line_;
                blanks = false;
            } else if (std::size_t len = text::whitespace_at(s_, pos_, false)) {
                pos_ += len;
                blanks = false;
            } else {
                break;
            }
        }
        return blanks;
    }

    // Length of the unquoted run at the position: up to whitespace, a forbidden character or
    // "//".
    std::size_t unquoted_run_length(std::size_t from) const {
        const std::size_t n = s_.size();
        std::size_t i = from;
        while (true) {
            while (i < n && !(class_of(s_[i]) & EndsUnquoted)) ++i;
            if (i >= n) break;
            const auto c = static_cast<unsigned char>(s_[i]);
            if (c == '/' && (i + 1 >= n || s_[i + 1] != '/')) {
                ++i;
            } else if (c >= 0x80 && !text::non_ascii_whitespace_at(s_, i)) {
                std::size_t len = 0;
                text::decode_utf8(s_, i, len);
                i += len;
            } else {
                break;
            }
        }
        return i - from;
    }

    // Whether an unquoted run starts here: its first character decides, so the run is not
    // measured (the caller that reads it does).
    bool at_unquoted_start() const {
        if (at_end()) return false;
        const unsigned char c = class_of(s_[pos_]);
        if (!(c & EndsUnquoted)) return true;
        if (c & NonAscii) return text::non_ascii_whitespace_at(s_, pos_) == 0;
        return peek() == '/' && peek(1) != '/';
    }

    // ---- strings

    std::expected<std::string, Error> parse_quoted() {
        const std::size_t start = pos_++;  // the opening quotation mark
        std::string out;
        if (auto problem = text::decode_quoted(s_, pos_, out)) return fail(*problem);
        // Every escape is longer than what it stands for: a string shorter than it is written
        // had some.
        if (out.size() + 2 < pos_ - start) {
            if (auto r = extension_.decoded(out); !r) return std::unexpected(std::move(r.error()));
        }
        return out;
    }

    bool at_triple_quote() const { return starts_with("\"\"\""); }

    std::expected<std::string, Error> parse_multi_line() {
        const std::size_t end = text::multi_line_end(s_, pos_);
        if (end == std::string_view::npos) return fail("unterminated triple-quoted string");
        pos_ += 3;
        std::string out(s_.substr(pos_, end - 3 - pos_));
        for (char c : out)
            if (c == '\n') ++line_;
        pos_ = end;
        return out;
    }

    // ---- objects

    ObjectBuilder& fields_at(std::size_t depth) {
        while (field_buffers_.size() <= depth) field_buffers_.emplace_back(memory_);
        return field_buffers_[depth];
    }
    Value::Array& elements_at(std::size_t depth) {
        while (element_buffers_.size() <= depth) element_buffers_.push_back(Value::array_in(memory_));
        return element_buffers_[depth];
    }

    // The fields of an object at the position (its "{" read, the depth entered), added to the
    // buffer kept for the depth after those already there, which the caller merges.
    Status parse_object_fields(std::size_t& first) {
        ObjectBuilder& fields = fields_at(depth_);
        first = fields.size();
        return parse_fields(fields, true);
    }

    Status parse_fields(ObjectBuilder& fields, bool braced) {
        while (true) {
            skip_space();
            if (at_end()) {
                if (braced) return fail("expected '}' or a new field, found end of input");
                return {};
            }
            unsigned char c = peek();
            if (c == '}') {
                if (!braced) return fail("unbalanced '}': the document has no opening '{'");
                ++pos_;
                return {};
            }
            if (c != '"' && c != '$' && !is_reserved(c) && !at_unquoted_start() && !at_block())
                return fail_found(braced ? "expected '}' or a new field, found " : "expected a new field, found ");
            if (auto r = parse_field(fields); !r) return r;

            skip_inline_space();
            if (at_comment()) skip_comment();
            // A comma may follow on a later line; at most one comma separates two fields.
            const std::size_t line_before = line_;
            skip_space();
            c = peek();
            if (c == ',') {
                ++pos_;
                continue;
            }
            if (at_end() || c == '}' || line_ != line_before) continue;
            return fail_found(braced ? "expected ',', a newline or '}' after a field, found "
                                     : "expected ',' or a newline after a field, found ");
        }
    }

    bool at_include_keyword() const {
        return peek() == 'i' && starts_with("include") && unquoted_run_length(pos_) == 7;
    }

    Status parse_field(ObjectBuilder& fields) {
        if (at_include_keyword()) return parse_include_field(fields);
        return parse_key_value_field(fields);
    }

    // Kept apart from key/value fields, whose parsing is the recursion's path. What the statement
    // includes joins the object where it stands, its substitutions looked up under that place.
    [[gnu::noinline]] Status parse_include_field(ObjectBuilder& fields) {
        const SourceLocation where = here();
        bool on_one_line = true;
        auto inclusion = parse_include(on_one_line);
        if (!inclusion) return std::unexpected(inclusion.error());
        return extension_.include(*inclusion, on_one_line, where, place(&fields, path_.size()));
    }

    Status parse_key_value_field(ObjectBuilder& fields) {
        // The field is added first and its key and value parsed in place, which saves moving
        // them through several wrappers. Parsing the value adds nothing to these fields (a
        // nested object has its own buffer), and a buffer's fields never move, so the reference
        // stays valid; after an error the half-made field goes with the rest of the buffer.
        detail::Field& field = fields.add();
        const std::size_t key_line = line_;
        field.where = here();
        if (auto r = parse_key(field.key); !r) return r;
        const detail::Key& key = field.key;
        skip_space();
        bool append = false;
        unsigned char c = peek();
        if (c == ':' || c == '=') {
            ++pos_;
            skip_space();
        } else if (c == '+' && peek(1) == '=') {
            pos_ += 2;
            append = true;
            skip_space();
        } else if (at_block()) {
            // Written after a key with nothing between, a block is one more piece of the key.
            const SourceLocation where = here();
            if (auto block = read_block(); !block) return std::unexpected(std::move(block.error()));
            return misplaced_block(ParserExtension::Misplaced::KeyPart, where);
        } else if (c != '{') {
            return fail_quoting("expected ':', '=', '+=' or '{' after the key '", key.text(), "', found ", true);
        }
        // A path key a.b.c nests its value as deeply as braces would.
        const auto segments = key.path();
        const std::size_t extra = segments.size() - 1;
        if (depth_ + extra > limit_) return fail_key_too_deep(key_line, key.text(), limit_);
        if (base_ + depth_ + extra > detail::max_value_depth)
            return fail_key_too_deep(key_line, key.text(), detail::max_value_depth);
        stats_.measure += key.text().size() + detail::bytes_per_value * extra;
        depth_ += extra;
        path_.insert(path_.end(), segments.begin(), segments.end());
        const SourceLocation outer = std::exchange(field_where_, field.where);
        auto found_value = parse_value(field.value, &field.concatenation);
        if (found_value && *found_value && append) field.value = append_to(std::move(field.value));
        field_where_ = outer;
        path_.resize(path_.size() - segments.size());
        depth_ -= extra;
        if (!found_value) return std::unexpected(found_value.error());
        if (!*found_value) return fail_quoting("expected a value for the key '", key.text(), "', found ", true);
        return {};
    }

    // The value of "key += value": key = ${?key} [value], the substitution naming the key's whole
    // path from the root.
    Value append_to(Value value) {
        stats_.appends = true;
        stats_.measure += 3 * detail::bytes_per_value;
        detail::Path path(path_.begin(), path_.end(), TreeAllocator<std::string>(memory_));
        Value::Array element = Value::array_in(memory_);
        element.push_back(std::move(value));
        return detail::make_unresolved<detail::AppendNode>(memory_,
            field_where_, detail::SubstitutionNode(field_where_, std::move(path), prefix_, true),
            detail::finish_array(memory_, std::move(element), field_where_));
    }

    std::expected<Inclusion, Error> parse_include(bool& on_one_line) {
        pos_ += 7;
        on_one_line = skip_space_no_comments();
        Inclusion inclusion;
        const char* expectation =
            "include must be followed by a quoted string, or by file(), classpath() or url() around one, "
            "optionally inside required()";
        if (starts_with("required(")) {
            pos_ += 9;
            inclusion.required = true;
            on_one_line = skip_space_no_comments() && on_one_line;
        }
        if (starts_with("file(")) {
            pos_ += 5;
            inclusion.location = IncludeLocation::File;
        } else if (starts_with("classpath(")) {
            pos_ += 10;
            inclusion.location = IncludeLocation::Classpath;
        } else if (starts_with("url(")) {
            pos_ += 4;
            inclusion.location = IncludeLocation::Url;
        }
        if (inclusion.location) on_one_line = skip_space_no_comments() && on_one_line;
        if (peek() != '"' || at_triple_quote()) return fail_quoting(expectation, "", ", found ", true);
        auto target = parse_quoted();
        if (!target) return std::unexpected(target.error());
        inclusion.target = std::move(*target);
        if (inclusion.location) {
            on_one_line = skip_space_no_comments() && on_one_line;
            if (peek() != ')') return fail_found("expected ')' to close the include target, found ");
            ++pos_;
        }
        if (inclusion.required) {
            on_one_line = skip_space_no_comments() && on_one_line;
            if (peek() != ')') return fail_found("expected ')' to close required(, found ");
            ++pos_;
        }
        if (inclusion.location == IncludeLocation::Url)
            return fail_quoting("url() includes are not supported: \"", inclusion.target, "\"");
        return inclusion;
    }

    // Pieces of a key or substitution path up to the first character that cannot continue
    // it; whitespace between pieces is kept, whitespace around them dropped.
    std::expected<std::vector<PathPiece>, Error> parse_path_pieces(bool allow_multi_line) {
        std::vector<PathPiece> pieces;
        while (!at_end()) {
            if (text::whitespace_at(s_, pos_, false)) {
                std::size_t start = pos_;
                skip_inline_space();
                pieces.push_back({PathPiece::Kind::Whitespace, std::string(s_.substr(start, pos_ - start))});
                continue;
            }
            if (peek() == '"') {
                if (at_triple_quote()) {
                    if (!allow_multi_line) return fail("a triple-quoted string cannot be part of a substitution path");
                    auto str = parse_multi_line();
                    if (!str) return std::unexpected(str.error());
                    pieces.push_back({PathPiece::Kind::MultiLine, std::move(*str)});
                } else {
                    auto str = parse_quoted();
                    if (!str) return std::unexpected(str.error());
                    pieces.push_back({PathPiece::Kind::Quoted, std::move(*str)});
                }
                continue;
            }
            if (at_block()) {
                auto block = read_block();
                if (!block) return std::unexpected(std::move(block.error()));
                pieces.push_back({PathPiece::Kind::Block, {}});
                continue;
            }
            std::size_t run = unquoted_run_length(pos_);
            if (run == 0) break;
            pieces.push_back({PathPiece::Kind::Unquoted, std::string(s_.substr(pos_, run))});
            pos_ += run;
        }
        while (!pieces.empty() && pieces.back().kind == PathPiece::Kind::Whitespace) pieces.pop_back();
        if (!pieces.empty() && pieces.front().kind == PathPiece::Kind::Whitespace) pieces.erase(pieces.begin());
        return pieces;
    }

    static bool holds_block(const std::vector<PathPiece>& pieces) {
        return std::any_of(pieces.begin(), pieces.end(),
                           [](const PathPiece& piece) { return piece.kind == PathPiece::Kind::Block; });
    }

    // Splits pieces into path segments: "." separates outside quotes; an empty segment must be
    // written as "".
    std::expected<std::vector<std::string>, Error> segments_of(const std::vector<PathPiece>& pieces,
                                                               std::string_view written) {
        std::vector<std::string> segments;
        std::string current;
        bool has_content = false;
        auto empty_element = [&]() {
            return fail("invalid path '" + text::printable(written) +
                        "': a path element is empty (write \"\" for an empty key)");
        };
        for (const PathPiece& piece : pieces) {
            if (piece.kind == PathPiece::Kind::Quoted || piece.kind == PathPiece::Kind::MultiLine) {
                current += piece.text;
                has_content = true;
                continue;
            }
            for (char c : piece.text) {
                if (c == '.') {
                    if (!has_content) return empty_element();
                    segments.push_back(std::move(current));
                    current.clear();
                    has_content = false;
                } else {
                    current += c;
                    has_content = true;
                }
            }
        }
        if (!has_content) return empty_element();
        segments.push_back(std::move(current));
        return segments;
    }

    // The key at the position into out.
    Status parse_key(detail::Key& out) {
        std::size_t start = pos_;
        if (peek() == '$') return fail("substitutions are not allowed in keys");
        // Most keys are one plain word followed by a separator: no pieces to collect for them.
        // Anything else (dots, quotes, several words) takes the general path from the start.
        if (std::size_t run = unquoted_run_length(pos_); run > 0) {
            const std::string_view word = s_.substr(pos_, run);
            if (word.find('.') == std::string_view::npos) {
                pos_ += run;
                skip_inline_space();
                const unsigned char next = peek();
                if (next == '=' || next == ':' || (next == '{' && !at_block()) || next == '+') {
                    out = detail::Key(std::string(word));
                    return {};
                }
                pos_ = start;
            }
        }
        const SourceLocation where = here();
        auto pieces = parse_path_pieces(true);
        if (!pieces) return std::unexpected(pieces.error());
        if (holds_block(*pieces))
            return misplaced_block(
                pieces->size() == 1 ? ParserExtension::Misplaced::Key : ParserExtension::Misplaced::KeyPart, where);
        if (pieces->empty()) {
            if (!at_end() && is_reserved(peek())) return fail_reserved();
            return fail_found("expected a key, found ");
        }
        if (peek() == '$') return fail("substitutions are not allowed in keys");
        std::string_view written = s_.substr(start, pos_ - start);
        while (!written.empty() && (written.back() == ' ' || written.back() == '\t')) written.remove_suffix(1);
        if (pieces->size() == 1) {
            PathPiece& only = pieces->front();
            if (only.kind != PathPiece::Kind::Unquoted || only.text.find('.') == std::string::npos) {
                out = detail::Key(std::move(only.text));
                return {};
            }
        }
        auto segments = segments_of(*pieces, written);
        if (!segments) return std::unexpected(segments.error());
        out = detail::Key(std::move(*segments));
        return {};
    }

    // ---- values

    bool at_value_start() const {
        if (at_end()) return false;
        return (class_of(s_[pos_]) & BeginsValue) || at_unquoted_start();
    }

    bool at_object() const { return peek() == '{' && !at_block(); }

    // A value into out: one part, or several on one line forming a concatenation (which
    // `concatenation` is told of, when given, unless its parts are objects). False (and out
    // untouched) when no value starts here.
    std::expected<bool, Error> parse_value(Value& out, bool* concatenation = nullptr) {
        if (!at_value_start()) return false;
        const std::size_t where_line = line_;
        const std::size_t start = pos_;
        // An object is left open until the value's end is known: objects side by side are one
        // object, their fields merged as the fields of one.
        std::optional<std::size_t> open;
        if (at_object()) {
            std::size_t first = 0;
            if (auto r = parse_open_object(first); !r) return std::unexpected(std::move(r.error()));
            open = first;
        } else if (auto r = parse_part(out); !r) {
            return std::unexpected(r.error());
        }
        const std::size_t ws = pos_;
        skip_inline_space();
        // Most values are a single part: no lists to build for them.
        if (!at_value_start()) {
            if (open) out = fields_at(depth_ + 1).close(*open, field_where_);
            return true;
        }
        if (auto r = parse_concatenation(out, where_line, start, ws, open, concatenation); !r)
            return std::unexpected(std::move(r.error()));
        return true;
    }

    // The fields of the object at the position added to the buffer of the depth below, left
    // there for the caller to merge; `first` is where they start.
    Status parse_open_object(std::size_t& first) {
        ++pos_;
        if (auto r = enter(); !r) return r;
        stats_.measure += detail::bytes_per_value;
        Status r = parse_object_fields(first);
        if (r) --depth_;
        return r;
    }

    // The parts after the first, which is in out (or, for an object, in the buffer from `open`
    // on) and was written from start to ws, and the concatenation of them all into out. Kept
    // out of the recursion's path: its lists would otherwise take room in every frame of it.
    [[gnu::noinline]] Status parse_concatenation(Value& out, std::size_t where_line, std::size_t start, std::size_t ws,
                                                 std::optional<std::size_t> open, bool* concatenation) {
        // The parts go on a list shared by the concatenations read inside each other's parts.
        const std::size_t base = concat_parts_.size();
        struct Restore {
            std::vector<ConcatPart>& parts;
            std::size_t size;
            ~Restore() { parts.resize(size); }
        } restore{concat_parts_, base};
        detail::TreeVector<std::string> separators{TreeAllocator<std::string>(memory_)};
        separators.reserve(3);
        concat_parts_.push_back(ConcatPart{open ? Value() : std::move(out), open, s_.substr(start, ws - start)});
        std::string_view pending = s_.substr(ws, pos_ - ws);
        bool objects = open.has_value();
        while (at_value_start()) {
            separators.emplace_back(pending);
            const std::size_t part_start = pos_;
            ConcatPart part;
            if (at_object()) {
                std::size_t first = 0;
                if (auto r = parse_open_object(first); !r) return r;
                part.fields = first;
            } else {
                objects = false;
                if (auto r = parse_part(part.value); !r) return r;
            }
            const std::size_t part_end = pos_;
            part.written = s_.substr(part_start, part_end - part_start);
            concat_parts_.push_back(std::move(part));
            skip_inline_space();
            pending = s_.substr(part_end, pos_ - part_end);
        }
        const std::span<ConcatPart> parts(concat_parts_.data() + base, concat_parts_.size() - base);
        ObjectBuilder& buffer = fields_at(depth_ + 1);
        if (objects) {
            out = buffer.close(*parts.front().fields, field_where_);
            return {};
        }
        if (concatenation != nullptr) *concatenation = true;
        // Each object on its own, the last first: each takes the buffer's fields from its start on.
        for (auto it = parts.rbegin(); it != parts.rend(); ++it)
            if (it->fields) it->value = buffer.close(*it->fields, field_where_);
        Value::Array values = Value::array_in(memory_);
        values.reserve(parts.size());
        written_.clear();
        for (ConcatPart& part : parts) {
            values.push_back(std::move(part.value));
            written_.push_back(part.written);
        }
        auto joined = detail::concatenate(memory_, std::move(values), std::move(separators), written_, field_where_);
        if (!joined) return std::unexpected(Error(SourceLocation{file_, where_line}, std::move(joined.error())));
        out = std::move(*joined);
        return {};
    }

    // One part of a value into out (which the caller gives as null), other than an object's
    // fields (see parse_open_object). Scalars are made in place: an array of a million numbers
    // would otherwise move each through a temporary.
    Status parse_part(Value& out) {
        unsigned char c = peek();
        if (at_block()) {
            auto block = read_block();
            if (!block) return std::unexpected(std::move(block.error()));
            out = std::move(*block);
            return {};
        }
        if (c == '{') {
            std::size_t first = 0;
            if (auto r = parse_open_object(first); !r) return r;
            out = fields_at(depth_ + 1).close(first, field_where_);
            return {};
        }
        if (c == '[') return parse_array(out);
        if (c == '"') {
            const bool multi_line = at_triple_quote();
            auto str = multi_line ? parse_multi_line() : parse_quoted();
            if (!str) return std::unexpected(str.error());
            stats_.measure += detail::bytes_per_value + str->size();
            out.node().emplace<std::string>(std::move(*str));
            return {};
        }
        if (c == '$') {
            if (peek(1) != '{') return fail("'$' is not allowed outside quotes unless it begins a substitution ${...}");
            return parse_substitution(out);
        }
        if (is_reserved(c)) return fail_reserved();
        if ((c >= '0' && c <= '9') || c == '-') {
            std::size_t end = pos_;
            while (end < s_.size() && s_[end] >= '0' && s_[end] <= '9') ++end;
            // Digits alone, without a leading zero, are a number; the grammar decides the rest.
            const bool digits_only = end > pos_ && (c != '0' || end == pos_ + 1);
            const std::size_t digits_end = end;
            while (end < s_.size() && (class_of(s_[end]) & NumberChar)) ++end;
            std::string_view literal = s_.substr(pos_, end - pos_);
            if ((digits_only && end == digits_end) || text::is_json_number(literal)) {
                pos_ = end;
                number(out, literal);
                return {};
            }
            if (literal.find('+') != std::string_view::npos) {
                pos_ += literal.find('+');
                return fail("reserved character '+' is not allowed outside quotes");
            }
            // Not a number after all: an unquoted string (such as "1.0." or "-").
        }
        std::size_t run = unquoted_run_length(pos_);
        std::string_view word = s_.substr(pos_, run);
        pos_ += run;
        stats_.measure += detail::bytes_per_value + word.size();
        if (word == "true")
            out.node().emplace<bool>(true);
        else if (word == "false")
            out.node().emplace<bool>(false);
        else if (word == "null")
            out = Value();
        else
            out.node().emplace<std::string>(word);
        return {};
    }

    void number(Value& out, std::string_view literal) {
        stats_.measure += detail::bytes_per_value + literal.size();
        detail::set_number(memory_, out, literal, field_where_);
    }

    // Elements are gathered in the buffer kept for the depth, as fields are, and moved into an
    // array of their number.
    Status parse_array(Value& out) {
        ++pos_;
        if (auto r = enter(); !r) return r;
        stats_.measure += detail::bytes_per_value;
        Value::Array& elements = elements_at(depth_);
        elements.clear();
        bool pending = false;
        Status r = parse_elements(elements, pending);
        if (r) {
            // A buffer that grew for one large array and is at least half full is handed over
            // whole: copying it to its exact size would move every element once more and touch as
            // much fresh memory again, to save less than half of it.
            Value::Array made = Value::array_in(memory_);
            if (elements.size() >= 1024 && elements.size() * 2 >= elements.capacity()) {
                std::swap(made, elements);
            } else {
                made.assign(std::make_move_iterator(elements.begin()), std::make_move_iterator(elements.end()));
            }
            elements.clear();
            out = pending ? detail::finish_array(memory_, std::move(made), field_where_) : Value(std::move(made));
            --depth_;
        }
        elements.clear();
        return r;
    }

    // The elements up to the closing "]"; `pending` tells whether any is unresolved.
    Status parse_elements(Value::Array& elements, bool& pending) {
        while (true) {
            skip_space();
            if (peek() == ']') {
                ++pos_;
                break;
            }
            if (at_end()) return fail("expected ']' or a new element, found end of input");
            if (peek() == ',') return fail("expected a value or ']', found ','");
            // Each element is parsed in its place; one that turns out missing is an error anyway.
            auto found_value = parse_value(elements.emplace_back());
            if (!found_value) return std::unexpected(found_value.error());
            if (!*found_value) return fail_found("expected a value or ']', found ");
            pending = pending || elements.back().is_unresolved();
            const std::size_t line_before = line_;
            skip_space();
            unsigned char c = peek();
            if (c == ',') {
                ++pos_;
                continue;
            }
            if (c == ']' || (line_ != line_before && !at_end())) continue;
            return fail_found("expected ',', a newline or ']' after an array element, found ");
        }
        return {};
    }

    Status parse_substitution(Value& out) {
        const SourceLocation where = here();
        std::size_t start = pos_;
        pos_ += 2;
        bool optional = false;
        if (peek() == '?') {
            optional = true;
            ++pos_;
        }
        // In an included text the path is looked up under the include's place first.
        detail::Path path(path_.begin(), path_.begin() + static_cast<std::ptrdiff_t>(prefix_),
                          TreeAllocator<std::string>(memory_));
        // Most paths are words joined by dots and closed at once: split where they stand.
        if (std::size_t run = unquoted_run_length(pos_); run > 0 && peek(run) == '}') {
            const std::string_view written = s_.substr(pos_, run);
            if (written.front() != '.' && written.back() != '.' && written.find("..") == std::string_view::npos) {
                for (std::size_t from = 0;;) {
                    const std::size_t dot = std::min(written.find('.', from), written.size());
                    path.emplace_back(written.substr(from, dot - from));
                    if (dot == written.size()) break;
                    from = dot + 1;
                }
                pos_ += run + 1;
                stats_.measure += detail::bytes_per_value;
                out = detail::make_unresolved<detail::SubstitutionNode>(memory_, where, std::move(path), prefix_, optional);
                return {};
            }
        }
        std::size_t path_start = pos_;
        auto pieces = parse_path_pieces(false);
        if (!pieces) return std::unexpected(pieces.error());
        if (holds_block(*pieces)) return misplaced_block(ParserExtension::Misplaced::Substitution, where);
        if (peek() != '}') {
            if (at_end() || peek() == '\n') return fail_found("unterminated substitution: expected '}', found ");
            return fail_found("expected '}' to close the substitution, found ");
        }
        if (pieces->empty()) return fail_quoting("a substitution needs a path: ", s_.substr(start, pos_ + 1 - start), "");
        auto segments = segments_of(*pieces, s_.substr(path_start, pos_ - path_start));
        if (!segments) return std::unexpected(segments.error());
        ++pos_;
        stats_.measure += detail::bytes_per_value;
        for (std::string& segment : *segments) path.push_back(std::move(segment));
        out = detail::make_unresolved<detail::SubstitutionNode>(memory_, where, std::move(path), prefix_, optional);
        return {};
    }
};

// Loads include statements by this library's own rules (loading.cpp), for a text read without an
// extension of the caller's.
class LibraryIncludes final : public ParserExtension {
public:
    explicit LibraryIncludes(detail::IncludeContext& context) : context_(context) {}
    std::expected<void, Error> include(const Inclusion& statement, bool, const SourceLocation& where,
                                       const Place& place) override {
        return detail::load_inclusion(statement, where, context_, place);
    }

private:
    detail::IncludeContext& context_;
};

}  // namespace

std::expected<ParserExtension::Block, Error> ParserExtension::block(std::string_view, std::size_t, const Place&) {
    return std::unexpected(Error("blocks are not read here"));
}

Error ParserExtension::misplaced_block(Misplaced, const SourceLocation& where) {
    return Error(where, "a block cannot stand here");
}

namespace detail {

std::expected<void, Error> read_hocon(std::string_view text, const std::string* file, IncludeContext& context,
                                      const Place& place) {
    LibraryIncludes includes(context);
    Reader reader(text, file, context.options.nesting_limit(), includes, place);
    return reader.read(*place.fields);
}

}  // namespace detail

HoconParser::HoconParser(std::string_view text, ConfigOptions options, std::optional<std::string> origin)
    : text_(text), options_(std::move(options)), origin_(std::move(origin)) {}

std::expected<Document, Error> HoconParser::parse() {
    ReadBudget budget;
    budget.add_text(text_.size());
    return parse(budget);
}

std::expected<Document, Error> HoconParser::parse(ReadBudget& budget) {
    Document document;
    const std::string* file = origin_ ? document.stats.keep_file(*origin_) : nullptr;
    if (auto bad = text::find_invalid_utf8(text_))
        return std::unexpected(Error(SourceLocation{file, text::line_at(text_, *bad)}, "the text is not valid UTF-8"));
    detail::IncludeContext context{options_, {}, budget};
    // A text that is a file on disk takes part in cycle detection as the outermost file.
    if (origin_) {
        std::error_code ec;
        std::filesystem::path path(*origin_);
        if (std::filesystem::is_regular_file(path, ec)) {
            auto canonical = std::filesystem::canonical(path, ec);
            if (!ec) context.open_files.push_back(std::move(canonical));
        }
    }
    return detail::read_document(std::move(document), [&](const Place& place) {
        return detail::read_hocon(text_, file, context, place);
    });
}

std::expected<void, Error> HoconParser::parse_into(const Place& place, ParserExtension& extension) {
    const std::string* file = origin_ ? place.stats->keep_file(*origin_) : nullptr;
    if (auto bad = text::find_invalid_utf8(text_))
        return std::unexpected(Error(SourceLocation{file, text::line_at(text_, *bad)}, "the text is not valid UTF-8"));
    Reader reader(text_, file, options_.nesting_limit(), extension, place);
    return reader.read(*place.fields);
}

}  // namespace hocon
