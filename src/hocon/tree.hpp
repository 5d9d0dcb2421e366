// Internal to the library: the nodes of a document's unresolved parts, and the one set of rules
// that merges what is written under one key (duplicate keys, path keys, included fields, objects
// side by side), used by every reader as each object is completed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <string>
#include <utility>
#include <vector>

#include "hocon/document.hpp"
#include "hocon/error.hpp"
#include "hocon/tree_memory.hpp"
#include "hocon/value.hpp"

namespace hocon::detail {

// How deeply objects and arrays may nest in a document and in any resolved value. Each text is
// held to the nesting limit of its options besides; this bounds what texts read inside others
// (includes, loop bodies) and substitutions of nested values can pile up.
inline constexpr std::size_t max_value_depth = 256;

// What resolution may make, in bytes: each value counts bytes_per_value (about what one takes in
// memory) and a string, number or key its text besides. A document may make the larger of
// min_byte_budget and budget_factor times its own measure (DocumentStats::measure), counted the
// same way as it is read. Substitutions copy whole subtrees and a concatenation can double a
// string, so a few lines could otherwise ask for an exponential number of values or bytes.
inline constexpr std::size_t bytes_per_value = 32;
inline constexpr std::size_t min_byte_budget = std::size_t{32} << 20;
inline constexpr std::size_t budget_factor = 16;

// A list inside a node, in the tree memory like the node itself.
template <class T>
using TreeVector = std::vector<T, TreeAllocator<T>>;
using Path = TreeVector<std::string>;

enum class NodeKind : std::uint8_t { Object, Array, Substitution, Concatenation, Append, Merge, Number };

struct Node {
    Node(NodeKind kind_of, const SourceLocation& location) : kind(kind_of), where(location) {}

    NodeKind kind;
    // Resolution's record of the node (resolve.cpp): whether it is being or has been resolved,
    // the substitutions open when it started, and its value.
    enum class State : std::uint8_t { Open, Busy, Done };
    State state = State::Open;
    bool direct = false;  // an append whose substitution names the merge stack it stands in
    std::uint32_t trace_mark = 0;
    std::uint32_t resolved = 0;  // 1 + the index of its value in the resolver's list; 0 for undefined
    SourceLocation where;
    TreeAllocator<std::byte> memory;  // where the node was made
};

// An object or array holding values that only resolution can decide.
struct ContainerNode : Node {
    ContainerNode(NodeKind kind_of, const SourceLocation& location, Value held)
        : Node(kind_of, location), value(std::move(held)) {}
    Value value;
    // For an object: the indices of its unresolved members in the order they were first written,
    // which is the order resolution takes them in.
    TreeVector<std::uint32_t> pending;
};

// ${path} or ${?path}. In an included text the path starts with the include's own place: the
// first `prefix` segments, without which it reads as written.
struct SubstitutionNode : Node {
    SubstitutionNode(const SourceLocation& location, Path segments, std::size_t prefix_size,
                     bool is_optional)
        : Node(NodeKind::Substitution, location), path(std::move(segments)), prefix(prefix_size), optional(is_optional) {}
    Path path;
    std::size_t prefix = 0;
    bool optional = false;
};

// Parts written side by side of which a substitution decides the kind. separators[i] is the
// whitespace written between parts[i] and parts[i + 1].
struct ConcatenationNode : Node {
    ConcatenationNode(const SourceLocation& location, Value::Array values, TreeVector<std::string> between)
        : Node(NodeKind::Concatenation, location), parts(std::move(values)), separators(std::move(between)) {}
    Value::Array parts;
    TreeVector<std::string> separators;
};

// key += value, that is key = ${?key} [value].
struct AppendNode : Node {
    AppendNode(const SourceLocation& location, SubstitutionNode before, Value appended)
        : Node(NodeKind::Append, location), previous(std::move(before)), array(std::move(appended)) {}
    SubstitutionNode previous;
    Value array;  // [value]
};

// The values written for one key, oldest first, when one of them is of a kind only resolution
// tells: resolution merges them newest first.
struct MergeNode : Node {
    MergeNode(const SourceLocation& location, Value::Array values)
        : Node(NodeKind::Merge, location), stack(std::move(values)) {}
    Value::Array stack;
};

// A number that only resolution may refuse (out of range), or a float whose text is too long for
// a NumberValue to keep.
struct NumberNode : Node {
    NumberNode(const SourceLocation& location, std::string text, std::optional<Number> parsed)
        : Node(NodeKind::Number, location), literal(std::move(text)), number(parsed) {}
    std::string literal;
    std::optional<Number> number;
};

// A node made from `memory` (the heap when it is null), held by the value returned.
template <class T, class... Args>
Value make_unresolved(TreeMemory* memory, Args&&... args) {
    TreeAllocator<T> allocator(memory);
    T* node = allocator.allocate(1);
    std::construct_at(node, std::forward<Args>(args)...);
    node->memory = TreeAllocator<std::byte>(allocator);
    return Value(Unresolved(node));
}

inline Node* node_of(const Value& value) {
    const Unresolved* unresolved = value.as_unresolved();
    return unresolved != nullptr ? &unresolved->node() : nullptr;
}
template <class T>
T& node_as(const Value& value) {
    return static_cast<T&>(*node_of(value));
}

// The memory a container or node was made from: null for the heap, and for a scalar.
inline TreeMemory* memory_of(const Value& value) {
    if (const Value::Object* object = value.as_object()) return object->memory();
    if (const Value::Array* array = value.as_array()) return array->get_allocator().memory();
    const Node* node = node_of(value);
    return node != nullptr ? node->memory.memory() : nullptr;
}

// The object of a value that is one, held or not: null for any other.
inline const Value::Object* object_of(const Value& value) {
    if (const Value::Object* object = value.as_object()) return object;
    const Node* node = node_of(value);
    return node != nullptr && node->kind == NodeKind::Object
               ? static_cast<const ContainerNode*>(node)->value.as_object()
               : nullptr;
}
inline Value::Object* object_of(Value& value) {
    return const_cast<Value::Object*>(object_of(std::as_const(value)));
}

// The functions below make the containers and nodes of a tree from `memory`, the memory of the
// tree they join (the heap when it is null).

// A number literal's value into out. A float keeps the text it was written as, for
// concatenations; one too long to keep beside it, and a literal out of range (which resolution
// reports where it is used as a value), are left to resolution.
void set_number(TreeMemory* memory, Value& out, std::string_view literal, const SourceLocation& where);

// An object or an array as a value: held in a node when a member or element is unresolved. For
// an object, `written` gives each member's place in the order it was first written.
Value finish_object(TreeMemory* memory, Value::Object members, const SourceLocation& where,
                    const std::vector<std::uint32_t>* written = nullptr);
Value finish_array(TreeMemory* memory, Value::Array elements, const SourceLocation& where);

// What is written under one key after what was written there before: objects merge, a plain value
// hides what is older, and a value of a kind only resolution tells stacks up with the others.
// `where` is where the newer was written.
Value merge(TreeMemory* memory, Value older, Value newer, const SourceLocation& where);

// Parts written side by side (and the whitespace between them), as one value: a string of
// strings, numbers, booleans and null (each as it was written, `written`), one array of arrays,
// one object of objects (which the caller merges as fields instead), or a concatenation for
// resolution when a substitution is among them. Parts that can never join are an error.
std::expected<Value, std::string> concatenate(TreeMemory* memory, Value::Array parts,
                                              TreeVector<std::string> separators,
                                              std::span<const std::string_view> written, const SourceLocation& where);

}  // namespace hocon::detail
