#include "hocon/parser.hpp"

#include <algorithm>
#include <deque>
#include <filesystem>
#include <iterator>
#include <span>
#include <utility>

#include "hocon/loading.hpp"
#include "hocon/plain.hpp"
#include "hocon/resolve.hpp"
#include "hocon/text.hpp"

namespace hocon {

namespace {

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

// A buffer that grew for one large object or array and is at least half full is handed over
// whole: copying it to its exact size would move every element once more and touch as much fresh
// memory again, to save less than half of it. The next container at that depth starts a new buffer.
template <class Buffer>
bool worth_handing_over(const Buffer& buffer) {
    return buffer.size() >= 1024 && buffer.size() * 2 >= buffer.capacity();
}

// The unresolved tree, which the grammar builds for every text: each field, comment and include
// statement as written. (The other tree it can build is detail::PlainTree.)
struct RawTree {
    using Value = RawValue;
    using Field = ObjectField;
    using Fields = std::vector<ObjectField>;
    using Object = std::vector<ObjectField>;  // where an object's fields end up
    using Document = RawObject;
    using Status = std::expected<void, Error>;

    static std::vector<ObjectField>* comments(std::vector<ObjectField>& fields) { return &fields; }
    // A comment written after a field, on its line, belongs to the field.
    static void comment_after(ObjectField& field, std::string_view body) {
        if (auto* kv = field.as_key_value())
            kv->comment.emplace(body);
        else if (auto* inc = field.as_inclusion())
            inc->comment.emplace(body);
    }
    // Comments before the fields of a document without braces are its first fields.
    static void lead(RawObject& root, std::vector<ObjectField>&& leading) { root.fields = std::move(leading); }
    static Object& root_of(RawObject& root) { return root.fields; }

    static Status include(std::vector<ObjectField>& fields, Inclusion&& inclusion, SourceLocation&& where) {
        fields.emplace_back(InclusionField{std::move(inclusion), std::nullopt, std::move(where)});
        return {};
    }
    // Made empty in its place, then filled by the parser: not even the empty field is moved.
    static KeyValueField& new_field(std::vector<ObjectField>& fields) {
        return fields.emplace_back(CommentField{}).node.emplace<KeyValueField>();
    }
    static Status append(RawValue& value) {
        value = RawValue::append(std::move(value));
        return {};
    }
    static std::expected<RawValue, Error> substitution(RawValue&& value) { return std::move(value); }
    static Status block(RawValue& out, RawValue&& value) {
        out = std::move(value);
        return {};
    }

    static Object& object_in(RawValue& out) {
        out = RawValue(RawObject{});
        return out.as_object()->fields;
    }
    // The fields, gathered in the buffer kept for their depth, move into the object once it is
    // complete, so the object's own vector is allocated once at its final size: growing it field
    // by field allocates and moves several times over, and fields are large.
    static Status close_object(Object& out, std::vector<ObjectField>& fields) {
        if (out.empty() && worth_handing_over(fields)) {
            out.swap(fields);
        } else {
            out.reserve(out.size() + fields.size());
            out.insert(out.end(), std::make_move_iterator(fields.begin()), std::make_move_iterator(fields.end()));
        }
        return {};
    }
    using Array = std::vector<RawValue>;
    static RawValue array(Array&& elements) { return RawValue::array(std::move(elements)); }

    static void string(RawValue& out, RawString::Kind kind, std::string&& text) {
        switch (kind) {
            case RawString::Kind::Quoted: out = RawValue(RawString::quoted(std::move(text))); break;
            case RawString::Kind::MultiLine: out = RawValue(RawString::multi_line(std::move(text))); break;
            default: out = RawValue(RawString::unquoted(std::move(text)));
        }
    }
    static Status number(RawValue& out, std::string_view literal) {
        out = RawValue::number(std::string(literal));
        return {};
    }
    static RawValue boolean(bool value) { return RawValue::boolean(value); }
    static RawValue null() { return RawValue::null(); }
    static std::expected<RawValue, Error> concat(std::vector<RawValue>&& parts, std::vector<std::string>&& separators,
                                                 std::span<const std::string_view>) {
        return RawValue::concat(std::move(parts), std::move(separators));
    }
    static Status close_document() { return {}; }
};

// The grammar, over the tree it builds: the unresolved tree (RawTree), or the resolved value
// itself for a text that needs no resolution (detail::PlainTree).
template <class Tree>
class SyntaxParser {
public:
    using Value = typename Tree::Value;
    using Field = typename Tree::Field;
    using Array = typename Tree::Array;

    // `base`: the depth of the place in a larger tree that the text's root joins (an include's
    // object, a block's), which with the text's own depth is held to the tree's bound.
    SyntaxParser(std::string_view text, std::shared_ptr<const std::string> file, std::size_t nesting_limit,
                 ParserExtension* extension = nullptr, std::size_t base = 0)
        : s_(text), file_(std::move(file)), limit_(nesting_limit), base_(base), extension_(extension) {}

    std::expected<typename Tree::Document, Error> parse_document() {
        typename Tree::Document root;
        std::vector<ObjectField> leading;
        skip_space(tree_.comments(leading));
        if (peek() == '[') return fail("the document root must be an object, found an array");
        if (peek() == '{' && !at_block()) {
            ++pos_;
            if (auto r = enter(); !r) return std::unexpected(r.error());
            if (auto r = parse_object_body(tree_.root_of(root), true); !r) return std::unexpected(r.error());
            --depth_;
            skip_space(nullptr);
            if (!at_end()) return fail_found("expected end of input after the root object, found ");
        } else {
            tree_.lead(root, std::move(leading));
            if (auto r = enter(); !r) return std::unexpected(r.error());
            if (auto r = parse_object_body(tree_.root_of(root), false); !r) return std::unexpected(r.error());
            --depth_;
        }
        if (auto r = tree_.close_document(); !r) return std::unexpected(r.error());
        return root;
    }

    // Whether the text held an include statement, so that a text without one needs no walk
    // over its tree looking for them.
    bool saw_include() const { return saw_include_; }

private:
    using Status = std::expected<void, Error>;

    std::string_view s_;
    std::size_t pos_ = 0;
    std::size_t line_ = 1;
    std::shared_ptr<const std::string> file_;
    std::size_t depth_ = 0;
    std::size_t limit_;
    std::size_t base_;
    ParserExtension* extension_;
    bool saw_include_ = false;
    Tree tree_;
    // Buffers reused by every object and array, one for each nesting depth.
    std::deque<typename Tree::Fields> field_buffers_;
    std::deque<Array> element_buffers_;

    // ---- positions and errors

    bool at_end() const { return pos_ >= s_.size(); }
    unsigned char peek(std::size_t ahead = 0) const {
        return pos_ + ahead < s_.size() ? static_cast<unsigned char>(s_[pos_ + ahead]) : 0;
    }
    bool starts_with(std::string_view word) const { return s_.substr(pos_).starts_with(word); }
    std::string found() const { return text::describe_at(s_, pos_); }
    SourceLocation here() const { return SourceLocation{file_, line_}; }
    [[gnu::cold, gnu::noinline]] Error error(std::string message) const {
        return Error(file_ ? std::optional<std::string>(*file_) : std::nullopt, line_, std::move(message));
    }
    // Errors are made out of line, so that the frames of the recursion, which an extension's texts
    // stack up inside each other, hold none of their strings.
    [[gnu::cold, gnu::noinline]] std::unexpected<Error> fail(std::string_view message) const {
        return std::unexpected(error(std::string(message)));
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

    // ---- the extension's blocks

    bool at_block() const { return extension_ != nullptr && peek() == '{' && peek(1) == '%'; }

    // The block at the position, read by the extension; the parser goes on after it.
    std::expected<Value, Error> read_block() {
        auto block = extension_->block(s_, pos_, base_ + depth_);
        if (!block) return std::unexpected(std::move(block.error()));
        line_ += static_cast<std::size_t>(std::count(s_.begin() + static_cast<std::ptrdiff_t>(pos_),
                                                     s_.begin() + static_cast<std::ptrdiff_t>(block->end), '\n'));
        pos_ = block->end;
        Value value;
        if (auto r = tree_.block(value, std::move(block->value)); !r) return std::unexpected(std::move(r.error()));
        return value;
    }

    // A block read where a key or a substitution's path is written.
    std::unexpected<Error> misplaced_block(ParserExtension::Place place, const SourceLocation& where) {
        return std::unexpected(extension_->misplaced_block(place, where));
    }

    Status enter() {
        if (++depth_ > limit_)
            return fail_too_deep(limit_);
        if (base_ + depth_ > detail::max_value_depth) return fail_too_deep(detail::max_value_depth);
        return {};
    }
    // Texts read for an extension's includes and blocks stand inside each other: what their
    // depths add up to is the depth of the tree they join, and so is the bound.
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

    bool at_comment() const { return text::comment_at(s_, pos_); }

    // The text of the comment at the position, which is consumed up to (not including) the
    // line feed.
    std::string_view take_comment() {
        const std::size_t start = pos_ + (peek() == '#' ? 1 : 2);
        const std::size_t end = text::comment_end(s_, pos_);
        pos_ = end;
        std::string_view body = s_.substr(start, end - start);
        if (!body.empty() && body.back() == '\r') body.remove_suffix(1);
        return body;
    }

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

    // Whitespace, newlines and comments; comments are kept as fields when asked for. Most calls
    // find a value or a separator right away, which one lookup tells before any loop.
    void skip_space(std::vector<ObjectField>* comments) {
        if (!at_end() && (class_of(s_[pos_]) & BeginsSpace)) skip_space_from_here(comments);
    }

    // Kept out of line, so that the check before it is all that callers inline.
    [[gnu::noinline]] void skip_space_from_here(std::vector<ObjectField>* comments) {
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
                const std::string_view body = take_comment();
                if (comments) comments->push_back(ObjectField::comment(std::string(body)));
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
        if (extension_ != nullptr && out.size() + 2 < pos_ - start) {
            if (auto r = extension_->decoded(out); !r) return std::unexpected(std::move(r.error()));
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

    // The buffer for the container open at a nesting depth. A deque, so that adding a deeper
    // buffer leaves references to the shallower ones (and their elements) valid.
    template <class Buffer>
    static Buffer& buffer_at(std::deque<Buffer>& buffers, std::size_t depth) {
        while (buffers.size() <= depth) buffers.emplace_back();
        return buffers[depth];
    }

    // The fields of an object, gathered in the buffer kept for the depth and handed to the tree
    // once the object is complete.
    Status parse_object_body(typename Tree::Object& out, bool braced) {
        typename Tree::Fields& fields = buffer_at(field_buffers_, depth_);
        fields.clear();
        Status r = parse_fields(fields, braced);
        if (r) r = tree_.close_object(out, fields);
        fields.clear();
        return r;
    }

    Status parse_fields(typename Tree::Fields& fields, bool braced) {
        while (true) {
            skip_space(tree_.comments(fields));
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
            if (at_comment()) tree_.comment_after(fields.back(), take_comment());
            // A comma may follow on a later line; at most one comma separates two fields.
            const std::size_t line_before = line_;
            skip_space(tree_.comments(fields));
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

    Status parse_field(typename Tree::Fields& fields) {
        if (at_include_keyword()) return parse_include_field(fields);
        return parse_key_value_field(fields);
    }

    // Kept apart from key/value fields, whose parsing is the recursion's path.
    [[gnu::noinline]] Status parse_include_field(typename Tree::Fields& fields) {
        SourceLocation where = here();
        bool on_one_line = true;
        auto inclusion = parse_include(on_one_line);
        if (!inclusion) return std::unexpected(inclusion.error());
        if (extension_ != nullptr) {
            if (auto r = extension_->include(*inclusion, on_one_line, where, base_ + depth_); !r) return r;
        } else {
            saw_include_ = true;
        }
        return tree_.include(fields, std::move(*inclusion), std::move(where));
    }

    Status parse_key_value_field(typename Tree::Fields& fields) {
        // The field is added first and its key and value parsed in place, which saves moving
        // them through several wrappers. Parsing the value adds nothing to these fields (a
        // nested object has its own buffer), so the reference stays valid; after an error the
        // half-made field goes with the rest of the result.
        auto& field = tree_.new_field(fields);
        const std::size_t key_line = line_;
        // Only the unresolved tree tells later where a field was written.
        if constexpr (requires { field.location; }) field.location = here();
        if (auto r = parse_key(field.key); !r) return r;
        const RawString& key = field.key;
        skip_space(nullptr);
        bool append = false;
        unsigned char c = peek();
        if (c == ':' || c == '=') {
            ++pos_;
            skip_space(nullptr);
        } else if (c == '+' && peek(1) == '=') {
            pos_ += 2;
            append = true;
            skip_space(nullptr);
        } else if (at_block()) {
            // Written after a key with nothing between, a block is one more piece of the key.
            const SourceLocation where = here();
            if (auto block = read_block(); !block) return std::unexpected(std::move(block.error()));
            return misplaced_block(ParserExtension::Place::KeyPart, where);
        } else if (c != '{') {
            return fail_quoting("expected ':', '=', '+=' or '{' after the key '", key.text(), "', found ", true);
        }
        // A path key a.b.c nests its value as deeply as braces would.
        const std::size_t extra = key.path().size() - 1;
        if (depth_ + extra > limit_) return fail_key_too_deep(key_line, key.text(), limit_);
        if (base_ + depth_ + extra > detail::max_value_depth)
            return fail_key_too_deep(key_line, key.text(), detail::max_value_depth);
        depth_ += extra;
        auto found_value = parse_value(field.value);
        depth_ -= extra;
        if (!found_value) return std::unexpected(found_value.error());
        if (!*found_value)
            return fail_quoting("expected a value for the key '", key.text(), "', found ", true);
        if (append) return tree_.append(field.value);
        return {};
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
    Status parse_key(RawString& out) {
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
                if (next == '=' || next == ':' || next == '{' || next == '+') {
                    out = RawString::unquoted(std::string(word));
                    return {};
                }
                pos_ = start;
            }
        }
        const SourceLocation where = here();
        auto pieces = parse_path_pieces(true);
        if (!pieces) return std::unexpected(pieces.error());
        if (holds_block(*pieces))
            return misplaced_block(pieces->size() == 1 ? ParserExtension::Place::Key : ParserExtension::Place::KeyPart,
                                   where);
        if (pieces->empty()) {
            if (!at_end() && is_reserved(peek()))
                return fail_reserved();
            return fail_found("expected a key, found ");
        }
        if (peek() == '$') return fail("substitutions are not allowed in keys");
        std::string_view written = s_.substr(start, pos_ - start);
        while (!written.empty() && (written.back() == ' ' || written.back() == '\t')) written.remove_suffix(1);
        if (pieces->size() == 1) {
            PathPiece& only = pieces->front();
            if (only.kind == PathPiece::Kind::Quoted) {
                out = RawString::quoted(std::move(only.text));
                return {};
            }
            if (only.kind == PathPiece::Kind::MultiLine) {
                out = RawString::multi_line(std::move(only.text));
                return {};
            }
            if (only.text.find('.') == std::string::npos) {
                out = RawString::unquoted(std::move(only.text));
                return {};
            }
        }
        auto segments = segments_of(*pieces, written);
        if (!segments) return std::unexpected(segments.error());
        out = RawString::path_expression(std::move(*segments));
        return {};
    }

    // ---- values

    bool at_value_start() const {
        if (at_end()) return false;
        return (class_of(s_[pos_]) & BeginsValue) || at_unquoted_start();
    }

    // A value into out: one part, or several on one line forming a concatenation. False (and
    // out untouched) when no value starts here.
    std::expected<bool, Error> parse_value(Value& out) {
        if (!at_value_start()) return false;
        const std::size_t where_line = line_;
        std::size_t start = pos_;
        if (auto r = parse_part(out); !r) return std::unexpected(r.error());
        const std::size_t ws = pos_;
        skip_inline_space();
        // Most values are a single part: no lists to build for them.
        if (!at_value_start()) return true;
        if (auto r = parse_concatenation(out, where_line, start, ws); !r) return std::unexpected(std::move(r.error()));
        return true;
    }

    // The parts after the first, which is in out and was written from start to ws, and the
    // concatenation of them all into out. Kept out of the recursion's path: its lists would
    // otherwise take room in every frame of it.
    [[gnu::noinline]] Status parse_concatenation(Value& out, std::size_t where_line, std::size_t start, std::size_t ws) {
        std::vector<Value> parts;
        std::vector<std::string> separators;
        std::vector<std::string_view> written;
        // Room for a few words up front: growing from one part allocates and moves repeatedly.
        parts.reserve(4);
        separators.reserve(3);
        written.reserve(4);
        parts.push_back(std::move(out));
        written.push_back(s_.substr(start, ws - start));
        std::string pending(s_.substr(ws, pos_ - ws));
        while (at_value_start()) {
            separators.push_back(std::move(pending));
            start = pos_;
            if (auto r = parse_part(parts.emplace_back()); !r) return std::unexpected(r.error());
            ws = pos_;
            written.push_back(s_.substr(start, ws - start));
            skip_inline_space();
            pending.assign(s_.substr(ws, pos_ - ws));
        }
        auto joined = tree_.concat(std::move(parts), std::move(separators), written);
        if (!joined) return std::unexpected(Error(SourceLocation{file_, where_line}, joined.error().message));
        out = std::move(*joined);
        return {};
    }

    // What the tree made, into out.
    static Status put(Value& out, std::expected<Value, Error>&& made) {
        if (!made) return std::unexpected(std::move(made.error()));
        out = std::move(*made);
        return {};
    }

    // One part of a value into out (which the caller gives as null). Scalars are made in place:
    // an array of a million numbers would otherwise move each through a temporary.
    Status parse_part(Value& out) {
        unsigned char c = peek();
        if (at_block()) {
            auto block = read_block();
            if (!block) return std::unexpected(std::move(block.error()));
            out = std::move(*block);
            return {};
        }
        if (c == '{') {
            ++pos_;
            if (auto r = enter(); !r) return std::unexpected(r.error());
            if (auto r = parse_object_body(tree_.object_in(out), true); !r) return std::unexpected(r.error());
            --depth_;
            return {};
        }
        if (c == '[') return parse_array(out);
        if (c == '"') {
            const bool multi_line = at_triple_quote();
            auto str = multi_line ? parse_multi_line() : parse_quoted();
            if (!str) return std::unexpected(str.error());
            tree_.string(out, multi_line ? RawString::Kind::MultiLine : RawString::Kind::Quoted, std::move(*str));
            return {};
        }
        if (c == '$') {
            if (peek(1) != '{') return fail("'$' is not allowed outside quotes unless it begins a substitution ${...}");
            auto sub = parse_substitution();
            if (!sub) return std::unexpected(sub.error());
            return put(out, tree_.substitution(std::move(*sub)));
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
                return tree_.number(out, literal);
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
        if (word == "true")
            out = tree_.boolean(true);
        else if (word == "false")
            out = tree_.boolean(false);
        else if (word == "null")
            out = tree_.null();
        else
            tree_.string(out, RawString::Kind::Unquoted, std::string(word));
        return {};
    }

    // Elements are gathered in the buffer kept for the depth, as fields are (see
    // parse_object_body), and moved into an array of their number.
    Status parse_array(Value& out) {
        ++pos_;
        if (auto r = enter(); !r) return std::unexpected(r.error());
        Array& elements = buffer_at(element_buffers_, depth_);
        elements.clear();
        Status r = parse_elements(elements);
        if (r && worth_handing_over(elements)) {
            out = tree_.array(std::move(elements));
            elements = {};
        } else if (r) {
            out = tree_.array(Array(std::make_move_iterator(elements.begin()), std::make_move_iterator(elements.end())));
        }
        elements.clear();
        if (r) --depth_;
        return r;
    }

    Status parse_elements(Array& elements) {
        while (true) {
            skip_space(nullptr);
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
            const std::size_t line_before = line_;
            skip_space(nullptr);
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

    std::expected<RawValue, Error> parse_substitution() {
        SourceLocation where = here();
        std::size_t start = pos_;
        pos_ += 2;
        bool optional = false;
        if (peek() == '?') {
            optional = true;
            ++pos_;
        }
        std::size_t path_start = pos_;
        auto pieces = parse_path_pieces(false);
        if (!pieces) return std::unexpected(pieces.error());
        if (holds_block(*pieces)) return misplaced_block(ParserExtension::Place::Substitution, where);
        if (peek() != '}') {
            if (at_end() || peek() == '\n') return fail_found("unterminated substitution: expected '}', found ");
            return fail_found("expected '}' to close the substitution, found ");
        }
        if (pieces->empty()) return fail_quoting("a substitution needs a path: ", s_.substr(start, pos_ + 1 - start), "");
        auto segments = segments_of(*pieces, s_.substr(path_start, pos_ - path_start));
        if (!segments) return std::unexpected(segments.error());
        ++pos_;
        return RawValue::substitution(std::move(*segments), optional, where);
    }
};

std::shared_ptr<const std::string> shared_name(const std::optional<std::string>& origin) {
    return origin ? std::make_shared<const std::string>(*origin) : nullptr;
}

}  // namespace

namespace detail {

std::expected<RawObject, Error> parse_hocon_syntax(std::string_view text, std::shared_ptr<const std::string> file,
                                                   std::size_t nesting_limit) {
    SyntaxParser<RawTree> parser(text, std::move(file), nesting_limit);
    return parser.parse_document();
}

std::expected<RawObject, Error> parse_hocon(std::string_view text, std::shared_ptr<const std::string> file,
                                            IncludeContext& context, ParserExtension* extension, std::size_t base) {
    SyntaxParser<RawTree> parser(text, std::move(file), context.options.nesting_limit(), extension, base);
    auto root = parser.parse_document();
    if (!root || !parser.saw_include()) return root;
    if (auto loaded = load_includes(*root, context); !loaded) return std::unexpected(loaded.error());
    return root;
}

}  // namespace detail

HoconParser::HoconParser(std::string_view text, ConfigOptions options, std::optional<std::string> origin)
    : text_(text), options_(std::move(options)), origin_(std::move(origin)) {}

std::expected<RawObject, Error> HoconParser::parse() {
    ReadBudget budget;
    budget.add_text(text_.size());
    return parse(budget);
}

std::expected<RawObject, Error> HoconParser::parse(ReadBudget& budget) { return parse(budget, nullptr, 0); }

std::expected<RawObject, Error> HoconParser::parse(ReadBudget& budget, ParserExtension& extension, std::size_t depth) {
    return parse(budget, &extension, depth);
}

std::expected<RawObject, Error> HoconParser::parse(ReadBudget& budget, ParserExtension* extension, std::size_t depth) {
    if (auto bad = text::find_invalid_utf8(text_))
        return std::unexpected(Error(origin_, text::line_at(text_, *bad), "the text is not valid UTF-8"));
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
    return detail::parse_hocon(text_, shared_name(origin_), context, extension, depth);
}

std::optional<Value> HoconParser::parse_plain() const {
    if (text::find_invalid_utf8(text_)) return std::nullopt;
    SyntaxParser<detail::PlainTree> parser(text_, nullptr, options_.nesting_limit());
    auto value = parser.parse_document();
    if (!value) return std::nullopt;
    return std::move(*value);
}

}  // namespace hocon
