// The HOCON value: objects (keys in byte order), arrays, booleans, null, strings and numbers,
// with the rule that turns a number literal into an unsigned, signed or float number. A document
// as read is a tree of these in which the parts that only resolution can decide stand as
// unresolved values; a resolved document holds none.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "hocon/tree_memory.hpp"

namespace hocon {

// A number as resolution gives it. An integer literal that fits is a uint64 when it is not
// negative and an int64 when it is negative; a literal with a fraction or an exponent, an
// integer literal outside both ranges, and -0 are doubles.
using Number = std::variant<std::uint64_t, std::int64_t, double>;

// Reads a literal of the JSON number grammar (optional "-", integer part without leading
// zeros, optional fraction, optional exponent) by the rule above. Nothing for any other text,
// and nothing for a literal whose magnitude overflows a double.
std::optional<Number> parse_number(std::string_view literal);

class Value;

namespace detail {
struct Node;
}

// A part of a document that resolution has yet to decide: a substitution, a concatenation or a
// "+=" that depends on one, the values written for one key when such a part is among them, a
// number that only resolution may refuse, or an object or array that holds any of these. It
// owns its node, and a copy copies the node.
class Unresolved {
public:
    explicit Unresolved(detail::Node* node) noexcept : node_(node) {}
    Unresolved(const Unresolved& other);
    Unresolved(Unresolved&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
    Unresolved& operator=(const Unresolved& other);
    Unresolved& operator=(Unresolved&& other) noexcept;
    ~Unresolved();

    detail::Node& node() const { return *node_; }

    // Only the same node is equal: two unresolved parts are told apart by resolution alone.
    bool operator==(const Unresolved& other) const { return node_ == other.node_; }

private:
    detail::Node* node_;
};

// A number and, for a float, the text it was written as (when that fits here): a concatenation
// joins a number by the text it was written as, 1.50 as "1.50". An integer is written as its
// digits alone, so it needs no text of its own.
struct NumberValue {
    Number number;
    std::uint8_t literal_size = 0;
    char literal[15] = {};

    // The text a concatenation joins: empty when the number is to be written as its value.
    std::string_view written() const { return std::string_view(literal, literal_size); }
    bool operator==(const NumberValue& other) const { return number == other.number; }
};

// An object's members, sorted by key in byte order with each key once, held in one block rather
// than a node each: a resolved document has as many members as values, and a tree of map nodes
// costs an allocation (and a free) for every one of them. It offers what readers of a map use:
// find, at, contains and count by key, and iteration in key order. The block comes from the
// memory the object is made with (see tree_memory.hpp), as an array's elements do.
class ValueObject {
public:
    using value_type = std::pair<std::string, Value>;
    using Members = std::vector<value_type, TreeAllocator<value_type>>;
    using iterator = Members::iterator;
    using const_iterator = Members::const_iterator;
    using reverse_iterator = Members::reverse_iterator;
    using const_reverse_iterator = Members::const_reverse_iterator;

    ValueObject() = default;
    explicit ValueObject(TreeMemory* memory) : members_(TreeAllocator<value_type>(memory)) {}
    // From members in any order, as a map is made from a list: the first of equal keys is kept.
    ValueObject(std::initializer_list<std::pair<const std::string, Value>> members);

    // Appends a member whose key sorts after every key present, and returns its value (null).
    // The resolver makes objects this way, their members already in order.
    Value& append(std::string_view key);
    // The same with the member's value, moved in.
    void append(std::string_view key, Value&& value);
    // The same with a key of its own, moved in too.
    template <class Key>
        requires std::same_as<Key, std::string>
    void append(Key&& key, Value&& value);
    void reserve(std::size_t count) { members_.reserve(count); }
    TreeMemory* memory() const { return members_.get_allocator().memory(); }

    iterator find(std::string_view key);
    const_iterator find(std::string_view key) const;
    bool contains(std::string_view key) const;
    std::size_t count(std::string_view key) const { return contains(key) ? 1 : 0; }
    // The member's value; std::out_of_range when there is none, as a map says it.
    Value& at(std::string_view key);
    const Value& at(std::string_view key) const;

    std::size_t size() const { return members_.size(); }
    bool empty() const { return members_.empty(); }
    iterator begin();
    iterator end();
    const_iterator begin() const;
    const_iterator end() const;
    reverse_iterator rbegin();
    reverse_iterator rend();
    const_reverse_iterator rbegin() const;
    const_reverse_iterator rend() const;

    bool operator==(const ValueObject& other) const;

private:
    Members members_;
};

class Value {
public:
    enum class Kind { Null, Boolean, Number, String, Array, Object, Unresolved };
    struct Null {
        bool operator==(const Null&) const = default;
    };
    using Array = std::vector<Value, TreeAllocator<Value>>;
    using Object = ValueObject;
    using Variant = std::variant<Null, bool, NumberValue, std::string, Array, Object, hocon::Unresolved>;

    // An empty array whose elements come from `memory` (the heap when it is null).
    static Array array_in(TreeMemory* memory) { return Array(TreeAllocator<Value>(memory)); }

    Value() : node_(Null{}) {}
    Value(Null) : node_(Null{}) {}
    Value(Number number) : node_(NumberValue{number}) {}
    Value(NumberValue number) : node_(number) {}
    Value(hocon::Unresolved unresolved) : node_(std::move(unresolved)) {}
    Value(std::string text) : node_(std::move(text)) {}
    Value(Array elements) : node_(std::move(elements)) {}
    Value(Object members) : node_(std::move(members)) {}
    static Value boolean(bool value) {
        Value v;
        v.node_ = value;
        return v;
    }

    Kind kind() const { return static_cast<Kind>(node_.index()); }
    bool is_null() const { return kind() == Kind::Null; }
    bool is_boolean() const { return kind() == Kind::Boolean; }
    bool is_number() const { return kind() == Kind::Number; }
    bool is_string() const { return kind() == Kind::String; }
    bool is_array() const { return kind() == Kind::Array; }
    bool is_object() const { return kind() == Kind::Object; }
    bool is_unresolved() const { return kind() == Kind::Unresolved; }

    // Access to one kind; null when the value is of another kind.
    const bool* as_boolean() const { return std::get_if<bool>(&node_); }
    const Number* as_number() const {
        const auto* number = std::get_if<NumberValue>(&node_);
        return number != nullptr ? &number->number : nullptr;
    }
    const NumberValue* as_number_value() const { return std::get_if<NumberValue>(&node_); }
    const std::string* as_string() const { return std::get_if<std::string>(&node_); }
    std::string* as_string() { return std::get_if<std::string>(&node_); }
    const Array* as_array() const { return std::get_if<Array>(&node_); }
    Array* as_array() { return std::get_if<Array>(&node_); }
    const Object* as_object() const { return std::get_if<Object>(&node_); }
    Object* as_object() { return std::get_if<Object>(&node_); }
    const hocon::Unresolved* as_unresolved() const { return std::get_if<hocon::Unresolved>(&node_); }

    const Variant& node() const { return node_; }
    Variant& node() { return node_; }

    // Numbers compare by kind and value: 42 (uint64) and 42.0 (double) differ.
    bool operator==(const Value&) const = default;

private:
    Variant node_;
};

// Defined once Value is complete: the members' iterators need it.
inline ValueObject::iterator ValueObject::begin() { return members_.begin(); }
inline ValueObject::iterator ValueObject::end() { return members_.end(); }
inline ValueObject::const_iterator ValueObject::begin() const { return members_.begin(); }
inline ValueObject::const_iterator ValueObject::end() const { return members_.end(); }
inline ValueObject::reverse_iterator ValueObject::rbegin() { return members_.rbegin(); }
inline ValueObject::reverse_iterator ValueObject::rend() { return members_.rend(); }
inline ValueObject::const_reverse_iterator ValueObject::rbegin() const { return members_.rbegin(); }
inline ValueObject::const_reverse_iterator ValueObject::rend() const { return members_.rend(); }

inline Value& ValueObject::append(std::string_view key) { return members_.emplace_back(key, Value()).second; }
inline void ValueObject::append(std::string_view key, Value&& value) { members_.emplace_back(key, std::move(value)); }
template <class Key>
    requires std::same_as<Key, std::string>
inline void ValueObject::append(Key&& key, Value&& value) {
    members_.emplace_back(std::move(key), std::move(value));
}

inline ValueObject::iterator ValueObject::find(std::string_view key) {
    auto it = std::lower_bound(members_.begin(), members_.end(), key,
                               [](const value_type& member, std::string_view k) { return member.first < k; });
    return it != members_.end() && it->first == key ? it : members_.end();
}

inline ValueObject::const_iterator ValueObject::find(std::string_view key) const {
    return const_cast<ValueObject*>(this)->find(key);
}

inline bool ValueObject::contains(std::string_view key) const { return find(key) != end(); }

inline Value& ValueObject::at(std::string_view key) {
    auto it = find(key);
    if (it == end()) throw std::out_of_range("hocon::ValueObject::at: no such key");
    return it->second;
}

inline const Value& ValueObject::at(std::string_view key) const { return const_cast<ValueObject*>(this)->at(key); }

inline bool ValueObject::operator==(const ValueObject& other) const { return members_ == other.members_; }

}  // namespace hocon
