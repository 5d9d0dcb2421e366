// Structured data of the engine: VeskoraValue (rendered, plain data), StructuredNode (the
// compiled document tree, immutable once built) with its array entries, and the text forms in
// which numbers and values leave the engine: the number text and compact or tab-indented JSON.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "render/error.hpp"
#include "render/node_text.hpp"
#include "support/arena.hpp"
#include "support/sorted_map.hpp"

namespace veskora::render {

class RenderState;
class RuleSet;
class Linker;
class TextGeneratorNode;

// Int, UInt, Float (always finite), in that order.
using VeskoraNumber = std::variant<std::int64_t, std::uint64_t, double>;

// The one text form of a number: integers in decimal; floats as the shortest round-tripping
// digits, fixed notation for decimal exponents -5..15 (always a digit after the point),
// otherwise d.ddde+X / d.ddde-X.
void append_number_text(std::string& out, const VeskoraNumber& number);
std::string number_text(const VeskoraNumber& number);

// JSON string literal of a text, appended to `out`.
void append_json_string(std::string& out, std::string_view text);

class VeskoraValue {
public:
    // Keys in byte order.
    using Object = std::map<std::string, VeskoraValue, std::less<>>;
    using Array = std::vector<VeskoraValue>;
    using Null = std::nullptr_t;
    // Object, Array, String, Number, Bool, Null, in that order.
    using Data = std::variant<Object, Array, std::string, VeskoraNumber, bool, Null>;

    VeskoraValue() : data(nullptr) {}
    VeskoraValue(Data d) : data(std::move(d)) {}

    Data data;

    // The value at a dotted path of object members; the empty path is the value itself.
    const VeskoraValue* child(std::string_view path) const;

    // A string unchanged, the number text, "true"/"false", "null"; objects and arrays fail
    // with UnsupportedValue "object" / "array".
    Result<std::string> to_rendered_text() const;
    Result<void> append_rendered_text(std::string& out) const;

    // JSON text without any whitespace, no trailing line feed.
    Result<std::string> to_compact_json() const;
    // JSON text indented with one tab per level, ": " after keys, no trailing line feed.
    Result<std::string> to_formatted_json() const;

    friend bool operator==(const VeskoraValue&, const VeskoraValue&) = default;
};

// "object", "array", "string", "number", "boolean", "null".
const char* kind_text(const VeskoraValue& value);

class StructuredArrayEntry;

// The compiled document tree lives in an arena, as its templates do: the members and entries
// in lists made in it, and nothing in it to destroy.
class StructuredNode {
public:
    using Object = support::SortedMap<StructuredNode>;
    using Array = support::ArenaVector<StructuredArrayEntry>;
    using Text = support::ArenaPtr<TextGeneratorNode>;
    using Null = std::nullptr_t;
    // Object, Array, Text, Number, Bool, Null, in that order.
    using Data = std::variant<Object, Array, Text, VeskoraNumber, bool, Null>;

    StructuredNode();
    StructuredNode(Data d);

    Data data;

    bool is_object() const { return std::holds_alternative<Object>(data); }

    // Template text rendered; numbers, booleans and null as text; objects and arrays fail
    // with UnsupportedValue.
    Result<void> generate_text(RenderState& state, std::string& out) const;
    Result<std::string> generate_text(RenderState& state) const;
    Result<VeskoraValue> generate_value(RenderState& state) const;
    // Appends the JSON text that generate_value's value would give with to_compact_json or
    // (`pretty`) to_formatted_json, written as the tree is walked, with no value built. On error
    // `out` holds partial text the caller drops.
    Result<void> write_json(RenderState& state, bool pretty, std::string& out) const;

    // The node at a dotted path of object members; the empty path is the node itself.
    const StructuredNode* child(std::string_view path) const;

    // Links every template below the node to the ruleset that owns it (see TextGeneratorNode).
    void link(Linker& linker);

    // Once linked, the text of a template that is one piece of literal text, else null. Asked
    // of the template rather than kept here: every member and element holds a node.
    const NodeText* literal() const;
};

// "object", "array", "string" (for template text), "number", "boolean", "null".
const char* kind_text(const StructuredNode& node);

// The loop of a structured array entry: one value per element of its source, each rendered from
// the body in that element's scope. Made in the arena of its array.
struct ForEachStructuredArrayEntry final {
    ForEachStructuredArrayEntry(support::Arena& arena, std::string_view variable, std::string_view source,
                                StructuredNode body)
        : variable(arena, variable), source(arena, source), body(std::move(body)) {}

    NodeText variable;
    NodeText source;
    StructuredNode body;
};

// One entry of a structured array: a fixed node, or a loop producing one value per element. A
// fixed node sits in the array itself, since arrays hold far more fixed entries than loops.
class StructuredArrayEntry {
public:
    struct Iteration {
        std::string_view variable;
        std::string_view source;
        const StructuredNode& body;
    };

    explicit StructuredArrayEntry(StructuredNode node) : node_(std::move(node)) {}
    explicit StructuredArrayEntry(support::ArenaPtr<ForEachStructuredArrayEntry> loop) : loop_(loop) {}

    // The entry's members are reached as through the pointer an entry once was.
    const StructuredArrayEntry* operator->() const { return this; }
    StructuredArrayEntry* operator->() { return this; }

    Result<void> append_values(RenderState& state, std::vector<VeskoraValue>& out) const;
    // The node of a fixed entry; null for a loop.
    const StructuredNode* value_node() const { return loop_ ? nullptr : &node_; }
    std::optional<Iteration> iteration() const {
        if (!loop_) return std::nullopt;
        return Iteration{loop_->variable, loop_->source, loop_->body};
    }
    void link(Linker& linker) { (loop_ ? loop_->body : node_).link(linker); }

private:
    StructuredNode node_;  // null for a loop
    support::ArenaPtr<ForEachStructuredArrayEntry> loop_;
};

}  // namespace veskora::render
