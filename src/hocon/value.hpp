// The resolved HOCON value: objects (keys in byte order), arrays, booleans, null, strings and
// numbers, with the rule that turns a number literal into an unsigned, signed or float number.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace hocon {

// A number as resolution gives it. An integer literal that fits is a uint64 when it is not
// negative and an int64 when it is negative; a literal with a fraction or an exponent, an
// integer literal outside both ranges, and -0 are doubles.
using Number = std::variant<std::uint64_t, std::int64_t, double>;

// Reads a literal of the JSON number grammar (optional "-", integer part without leading
// zeros, optional fraction, optional exponent) by the rule above. Nothing for any other text,
// and nothing for a literal whose magnitude overflows a double.
std::optional<Number> parse_number(std::string_view literal);

class Value {
public:
    enum class Kind { Null, Boolean, Number, String, Array, Object };
    struct Null {
        bool operator==(const Null&) const = default;
    };
    using Array = std::vector<Value>;
    using Object = std::map<std::string, Value, std::less<>>;
    using Variant = std::variant<Null, bool, Number, std::string, Array, Object>;

    Value() : node_(Null{}) {}
    Value(Null) : node_(Null{}) {}
    Value(Number number) : node_(number) {}
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

    // Access to one kind; null when the value is of another kind.
    const bool* as_boolean() const { return std::get_if<bool>(&node_); }
    const Number* as_number() const { return std::get_if<Number>(&node_); }
    const std::string* as_string() const { return std::get_if<std::string>(&node_); }
    std::string* as_string() { return std::get_if<std::string>(&node_); }
    const Array* as_array() const { return std::get_if<Array>(&node_); }
    Array* as_array() { return std::get_if<Array>(&node_); }
    const Object* as_object() const { return std::get_if<Object>(&node_); }
    Object* as_object() { return std::get_if<Object>(&node_); }

    const Variant& node() const { return node_; }
    Variant& node() { return node_; }

    // Numbers compare by kind and value: 42 (uint64) and 42.0 (double) differ.
    bool operator==(const Value&) const = default;

private:
    Variant node_;
};

}  // namespace hocon
