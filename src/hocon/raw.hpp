// The unresolved HOCON tree as the parser produces it and as callers may edit it before
// resolution: objects of ordered fields (key/value, inclusion, comment), values that still hold
// substitutions, concatenations and "+=" appends. All types are regular values: a copy is deep.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "hocon/error.hpp"

namespace hocon {

// A single owned value behind a pointer, copied deeply, for recursive members.
template <class T>
class Box {
public:
    Box() : ptr_(std::make_unique<T>()) {}
    Box(T value) : ptr_(std::make_unique<T>(std::move(value))) {}  // NOLINT: implicit by design
    Box(const Box& other) : ptr_(std::make_unique<T>(*other.ptr_)) {}
    Box(Box&& other) noexcept : ptr_(std::move(other.ptr_)) {}
    Box& operator=(const Box& other) {
        if (this != &other) ptr_ = std::make_unique<T>(*other.ptr_);
        return *this;
    }
    Box& operator=(Box&& other) noexcept {
        ptr_ = std::move(other.ptr_);
        return *this;
    }
    ~Box() = default;

    // A moved-from box is only fit for assignment or destruction.
    T& operator*() { return *ptr_; }
    const T& operator*() const { return *ptr_; }
    T* operator->() { return ptr_.get(); }
    const T* operator->() const { return ptr_.get(); }
    T& get() { return *ptr_; }
    const T& get() const { return *ptr_; }

    friend bool operator==(const Box& a, const Box& b) { return *a.ptr_ == *b.ptr_; }

private:
    std::unique_ptr<T> ptr_;
};

// A string as written: quoted ("..." with escapes decoded), unquoted, multi-line ("""...""",
// taken literally) or a path expression (a key such as a.b."c.d", kept as its segments).
class RawString {
public:
    enum class Kind : std::uint8_t { Quoted, Unquoted, MultiLine, PathExpression };

    RawString() = default;
    // Copies are deep; the segments of a path expression are held apart, as few keys have them.
    RawString(const RawString& other);
    RawString(RawString&&) noexcept = default;
    RawString& operator=(const RawString& other);
    RawString& operator=(RawString&&) noexcept = default;
    ~RawString() = default;
    static RawString quoted(std::string text) { return RawString(Kind::Quoted, std::move(text)); }
    static RawString unquoted(std::string text) { return RawString(Kind::Unquoted, std::move(text)); }
    static RawString multi_line(std::string text) { return RawString(Kind::MultiLine, std::move(text)); }
    static RawString path_expression(std::vector<std::string> segments);

    Kind kind() const { return kind_; }
    // The string's text; for a path expression, its segments joined by "." (quoting segments
    // that need it, so the result reads back as the same path).
    const std::string& text() const { return text_; }
    // The key read as a path: the segments of a path expression, or the whole text as a single
    // segment for the other kinds.
    std::vector<std::string> as_path() const;
    // The same without a copy.
    std::span<const std::string> path() const {
        if (segments_) return *segments_;
        return std::span<const std::string>(&text_, 1);
    }

    bool operator==(const RawString& other) const;

private:
    RawString(Kind kind, std::string&& text) : kind_(kind), text_(std::move(text)) {}

    Kind kind_ = Kind::Quoted;
    std::string text_;                                   // for a path expression, its segments joined
    std::unique_ptr<std::vector<std::string>> segments_;  // PathExpression only
};

struct ObjectField;

// An object: its fields in source order. Duplicate keys stay as written; merging them is
// resolution's business.
struct RawObject {
    std::vector<ObjectField> fields;

    bool operator==(const RawObject&) const;
};

class RawValue;

struct RawNull {
    bool operator==(const RawNull&) const = default;
};

// A number, kept as its literal text (concatenations and path expressions use the text as
// written; resolution turns it into a number by hocon::parse_number).
struct RawNumber {
    std::string text;
    bool operator==(const RawNumber&) const = default;
};

// ${a.b} or ${?a.b}. The location does not take part in comparisons.
struct Substitution {
    std::vector<std::string> path;
    bool optional = false;
    SourceLocation location;

    bool operator==(const Substitution& other) const {
        return path == other.path && optional == other.optional;
    }
};

// Neighbouring values written without a newline between them: "foo bar ${x}", "{a:1} {b:2}",
// "[1] [2]". separators[i] is the whitespace written between parts[i] and parts[i + 1].
// Built only through RawValue::concat, which checks that the parts can form one.
class Concatenation {
public:
    const std::vector<RawValue>& parts() const { return parts_; }
    const std::vector<std::string>& separators() const { return separators_; }
    // Parts may be edited in place; a changed concatenation should be rebuilt through
    // RawValue::concat (after into_parts) so that the result is checked again.
    std::vector<RawValue>& parts() { return parts_; }

    // Takes the concatenation apart: its parts and separators, moved out.
    std::pair<std::vector<RawValue>, std::vector<std::string>> into_parts() &&;

    bool operator==(const Concatenation&) const;

private:
    friend class RawValue;
    Concatenation(std::vector<RawValue> parts, std::vector<std::string> separators);

    std::vector<RawValue> parts_;
    std::vector<std::string> separators_;
};

// The value of a "+=" field: a = ${?a} [value].
struct Append {
    Box<RawValue> value;
    bool operator==(const Append&) const;
};

class RawValue {
public:
    enum class Kind { Object, Array, Boolean, Null, String, Number, Substitution, Concatenation, Append };
    using Array = std::vector<RawValue>;
    using Variant = std::variant<RawObject, Array, bool, RawNull, RawString, RawNumber, hocon::Substitution,
                                 hocon::Concatenation, hocon::Append>;

    RawValue() : node_(RawNull{}) {}  // null
    // Each by reference, so that a temporary moves once rather than twice.
    RawValue(const RawObject& object) : node_(object) {}
    RawValue(RawObject&& object) : node_(std::move(object)) {}
    RawValue(const RawString& string) : node_(string) {}
    RawValue(RawString&& string) : node_(std::move(string)) {}
    RawValue(const RawNumber& number) : node_(number) {}
    RawValue(RawNumber&& number) : node_(std::move(number)) {}
    RawValue(const hocon::Substitution& substitution) : node_(substitution) {}
    RawValue(hocon::Substitution&& substitution) : node_(std::move(substitution)) {}
    RawValue(const hocon::Append& append) : node_(append) {}
    RawValue(hocon::Append&& append) : node_(std::move(append)) {}

    // An object of key/value fields in the given order, without comments.
    static RawValue object(std::vector<std::pair<RawString, RawValue>> fields);
    static RawValue array(std::vector<RawValue> elements);
    static RawValue boolean(bool value);
    static RawValue null() { return RawValue(); }
    static RawValue string(RawString string) { return RawValue(std::move(string)); }
    // The literal text of a number as written, e.g. "1e5" or "-0".
    static RawValue number(std::string literal) { return RawValue(RawNumber{std::move(literal)}); }
    static RawValue substitution(std::vector<std::string> path, bool optional, SourceLocation location = {});
    // A concatenation of at least two parts with one whitespace separator between each two
    // neighbours. Refused: fewer than two parts, a wrong number of separators, a separator that
    // is not whitespace without newlines, a part that is itself a concatenation or an append,
    // and parts that can never concatenate whatever the substitutions resolve to (an object
    // beside an array, or an object or array beside a plain string, number, boolean or null).
    static std::expected<RawValue, Error> concat(std::vector<RawValue> parts, std::vector<std::string> separators);
    // The value of "key += value".
    static RawValue append(RawValue value) { return RawValue(hocon::Append{Box<RawValue>(std::move(value))}); }

    Kind kind() const { return static_cast<Kind>(node_.index()); }
    bool is_object() const { return kind() == Kind::Object; }
    bool is_array() const { return kind() == Kind::Array; }
    bool is_boolean() const { return kind() == Kind::Boolean; }
    bool is_null() const { return kind() == Kind::Null; }
    bool is_string() const { return kind() == Kind::String; }
    bool is_number() const { return kind() == Kind::Number; }
    bool is_substitution() const { return kind() == Kind::Substitution; }
    bool is_concatenation() const { return kind() == Kind::Concatenation; }
    bool is_append() const { return kind() == Kind::Append; }

    // Access to one kind; null when the value is of another kind.
    RawObject* as_object() { return std::get_if<RawObject>(&node_); }
    const RawObject* as_object() const { return std::get_if<RawObject>(&node_); }
    Array* as_array() { return std::get_if<Array>(&node_); }
    const Array* as_array() const { return std::get_if<Array>(&node_); }
    const bool* as_boolean() const { return std::get_if<bool>(&node_); }
    RawString* as_string() { return std::get_if<RawString>(&node_); }
    const RawString* as_string() const { return std::get_if<RawString>(&node_); }
    const RawNumber* as_number() const { return std::get_if<RawNumber>(&node_); }
    const hocon::Substitution* as_substitution() const { return std::get_if<hocon::Substitution>(&node_); }
    hocon::Concatenation* as_concatenation() { return std::get_if<hocon::Concatenation>(&node_); }
    const hocon::Concatenation* as_concatenation() const { return std::get_if<hocon::Concatenation>(&node_); }
    hocon::Append* as_append() { return std::get_if<hocon::Append>(&node_); }
    const hocon::Append* as_append() const { return std::get_if<hocon::Append>(&node_); }

    const Variant& node() const { return node_; }

    bool operator==(const RawValue&) const = default;

private:
    Variant node_;
};

// What an include statement named: include file("x"), classpath("x") or url("x"); the plain
// form include "x" has no location kind.
enum class IncludeLocation { File, Classpath, Url };

struct Inclusion {
    std::string target;                       // the decoded string of the statement
    bool required = false;                    // wrapped in required(...)
    std::optional<IncludeLocation> location;  // absent for the plain form
    // The fields of what was included, merged in the inclusion's place when the configuration
    // is built. Absent when nothing was loaded for it.
    std::optional<RawObject> loaded;

    bool operator==(const Inclusion&) const = default;
};

struct KeyValueField {
    RawString key;
    RawValue value;
    std::optional<std::string> comment;  // a comment written after the value on the same line
    SourceLocation location;              // where the key was written; not compared

    bool operator==(const KeyValueField& other) const {
        return key == other.key && value == other.value && comment == other.comment;
    }
};

struct InclusionField {
    Inclusion inclusion;
    std::optional<std::string> comment;
    SourceLocation location;  // where the include statement was written; not compared

    bool operator==(const InclusionField& other) const {
        return inclusion == other.inclusion && comment == other.comment;
    }
};

// A comment on a line of its own among the fields; the text after "#" or "//".
struct CommentField {
    std::string text;
    bool operator==(const CommentField&) const = default;
};

struct ObjectField {
    enum class Kind { KeyValue, Inclusion, Comment };
    using Variant = std::variant<KeyValueField, InclusionField, CommentField>;

    Variant node;

    // By reference, so that a field built in place moves once rather than twice.
    ObjectField(const KeyValueField& field) : node(field) {}
    ObjectField(KeyValueField&& field) : node(std::move(field)) {}
    ObjectField(const InclusionField& field) : node(field) {}
    ObjectField(InclusionField&& field) : node(std::move(field)) {}
    ObjectField(const CommentField& field) : node(field) {}
    ObjectField(CommentField&& field) : node(std::move(field)) {}

    static ObjectField key_value(RawString key, RawValue value) {
        return ObjectField(KeyValueField{std::move(key), std::move(value), std::nullopt, {}});
    }
    static ObjectField inclusion(Inclusion inclusion) {
        return ObjectField(InclusionField{std::move(inclusion), std::nullopt, {}});
    }
    static ObjectField comment(std::string text) { return ObjectField(CommentField{std::move(text)}); }

    Kind kind() const { return static_cast<Kind>(node.index()); }
    KeyValueField* as_key_value() { return std::get_if<KeyValueField>(&node); }
    const KeyValueField* as_key_value() const { return std::get_if<KeyValueField>(&node); }
    InclusionField* as_inclusion() { return std::get_if<InclusionField>(&node); }
    const InclusionField* as_inclusion() const { return std::get_if<InclusionField>(&node); }
    CommentField* as_comment() { return std::get_if<CommentField>(&node); }
    const CommentField* as_comment() const { return std::get_if<CommentField>(&node); }

    bool operator==(const ObjectField&) const = default;
};

inline bool RawObject::operator==(const RawObject& other) const { return fields == other.fields; }
inline bool Concatenation::operator==(const Concatenation& other) const {
    return parts_ == other.parts_ && separators_ == other.separators_;
}
inline bool Append::operator==(const Append& other) const { return value == other.value; }

}  // namespace hocon
