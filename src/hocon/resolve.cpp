#include "hocon/resolve.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "hocon/text.hpp"

extern char** environ;

namespace hocon::detail {

// ---------------------------------------------------------------------------------------------
// The merged tree
//
// Building merges what can be merged before anything is resolved: objects under one key are
// merged field by field, a plain value hides whatever came before it. What cannot be decided
// yet (a substitution, a concatenation or a "+=" whose kind only resolution tells) becomes a
// merge stack of the values written for one key, oldest first, resolved newest first.
//
// The tree keeps the unresolved fields it was built from, and its texts, keys, paths and
// locations are views of theirs: a document's strings are not copied to be merged.

using NodeId = std::uint32_t;

namespace {

struct ScalarNode {
    enum class Kind : std::uint8_t { Null, Boolean, Number, String };
    Kind kind = Kind::Null;
    bool boolean = false;
    std::string_view text;  // a string's text, a number's literal
};

// Hashes std::string and std::string_view alike, so that lookups need no copy of the key.
struct KeyHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
};

struct ObjectNode {
    // Small objects are searched by scanning; an index is kept once an object grows. A scan
    // of a few dozen keys costs less than building (and later freeing) a hash map that holds
    // a copy of each, and objects of twenty or thirty fields are common.
    static constexpr std::size_t index_from = 64;
    using Index = std::unordered_map<std::string_view, std::size_t, KeyHash>;

    std::vector<std::pair<std::string_view, NodeId>> fields;  // in the order keys first appeared
    std::unique_ptr<Index> index;

    const NodeId* find(std::string_view key) const {
        if (index) {
            auto it = index->find(key);
            return it == index->end() ? nullptr : &fields[it->second].second;
        }
        for (const auto& [name, id] : fields)
            if (name == key) return &id;
        return nullptr;
    }
    void add(std::string_view key, NodeId value) {
        fields.emplace_back(key, value);
        if (index) {
            index->emplace(fields.back().first, fields.size() - 1);
        } else if (fields.size() > index_from) {
            index = std::make_unique<Index>();
            for (std::size_t i = 0; i < fields.size(); ++i) index->emplace(fields[i].first, i);
        }
    }
    // The key must be present.
    void replace(std::string_view key, NodeId value) { *const_cast<NodeId*>(find(key)) = value; }
};

struct ArrayNode {
    std::vector<NodeId> elements;
};

// ${path} or ${?path}. Inside included content the path is already prefixed with where the
// include sits; the first `prefix` segments are that prefix, and without them the path reads
// as written, relative to the root.
struct SubstNode {
    std::vector<std::string_view> path;
    std::size_t prefix = 0;
    bool optional = false;
};

struct ConcatNode {
    std::vector<NodeId> parts;
    std::span<const std::string> separators;
};

// key += value, that is key = ${?key} [value].
struct AppendNode {
    NodeId subst = 0;
    NodeId array = 0;
    // The substitution names exactly the merge stack this value sits in, reached from the root
    // through plain objects only, so its value is the rest of that stack.
    bool direct = false;
};

struct MergeNode {
    std::vector<NodeId> stack;  // oldest first; the last element is the newest
};

struct Node {
    using Variant = std::variant<ScalarNode, ObjectNode, ArrayNode, SubstNode, ConcatNode, AppendNode, MergeNode>;
    enum class Kind { Scalar, Object, Array, Subst, Concat, Append, Merge };

    Variant v;
    const SourceLocation* where;  // in the tree's fields, or its `nowhere`

    Kind kind() const { return static_cast<Kind>(v.index()); }
    // Substitutions, concatenations and appends: only resolution tells what kind of value they are.
    bool unmergeable() const {
        Kind k = kind();
        return k == Kind::Subst || k == Kind::Concat || k == Kind::Append;
    }
    bool plain() const { return kind() == Kind::Scalar || kind() == Kind::Array; }
};

}  // namespace

struct Tree {
    RawObject fields;                // what the tree was built from; its views point here
    bool plain = false;              // only objects, arrays and scalars: nothing to resolve
    std::deque<std::string> texts;   // what it holds besides: the environment's variables
    SourceLocation nowhere;          // the location of the root and of the environment's values
    std::deque<Node> nodes;          // a deque: references stay valid while nodes are added
    NodeId root = 0;
    std::size_t byte_budget = min_byte_budget;
};

namespace {

using Status = std::expected<void, Error>;

std::string describe(const SubstNode& s) {
    std::vector<std::string> written(s.path.begin() + static_cast<std::ptrdiff_t>(s.prefix), s.path.end());
    return std::string(s.optional ? "${?" : "${") + RawString::path_expression(std::move(written)).text() + "}";
}

class Builder {
public:
    explicit Builder(Tree& tree) : t_(tree) {}

    // Where fields are being added: how many leading segments of the current path are the
    // prefix of the include being read, and how deeply the current object nests.
    struct Scope {
        std::size_t prefix = 0;
        std::size_t depth = 1;
    };

    // The node is made in its place in the deque, so its value moves only once. The location
    // must outlive the tree (one in its fields, or its `nowhere`).
    template <class T>
    NodeId add(T&& value, const SourceLocation& where) {
        Node& node = t_.nodes.emplace_back();
        node.v.template emplace<std::decay_t<T>>(std::forward<T>(value));
        node.where = &where;
        return static_cast<NodeId>(t_.nodes.size() - 1);
    }
    template <class T>
    NodeId add(T&& value, const SourceLocation&& where) = delete;
    Node& at(NodeId id) { return t_.nodes[id]; }
    ObjectNode& object(NodeId id) { return std::get<ObjectNode>(at(id).v); }

    NodeId new_object(const SourceLocation& where) { return add(ObjectNode{}, where); }
    NodeId new_object(const SourceLocation&& where) = delete;

    Status fields_into(NodeId target, const RawObject& raw, const Scope& scope) {
        for (const ObjectField& field : raw.fields) {
            if (const KeyValueField* kv = field.as_key_value()) {
                if (auto r = key_value_into(target, *kv, scope); !r) return r;
            } else if (const InclusionField* inc = field.as_inclusion()) {
                // The included fields stand where the statement stands; their substitutions are
                // looked up under the including object first.
                if (!inc->inclusion.loaded) continue;
                if (auto r = fields_into(target, *inc->inclusion.loaded, Scope{path_.size(), scope.depth}); !r)
                    return r;
            }
        }
        return {};
    }

    Status key_value_into(NodeId target, const KeyValueField& kv, const Scope& scope) {
        const std::span<const std::string> key = kv.key.path();
        if (key.empty()) return std::unexpected(Error(kv.location, "a key must have at least one path segment"));
        const std::size_t parent_depth = scope.depth + key.size() - 1;
        if (parent_depth > max_value_depth)
            return std::unexpected(Error(kv.location, "the key '" + text::printable(kv.key.text()) +
                                                          "' nests deeper than the limit of " +
                                                          std::to_string(max_value_depth) + " levels"));
        const Scope inner{scope.prefix, parent_depth};
        path_.insert(path_.end(), key.begin(), key.end());
        std::expected<NodeId, Error> value;
        if (const Append* append = kv.value.as_append()) {
            value = convert(*append->value, inner, kv.location);
            if (value) {
                NodeId subst = add(SubstNode{path_, scope.prefix, true}, kv.location);
                NodeId array = add(ArrayNode{{*value}}, kv.location);
                value = add(AppendNode{subst, array, false}, kv.location);
                ++appends_;
            }
        } else {
            value = convert(kv.value, inner, kv.location);
        }
        path_.resize(path_.size() - key.size());
        if (!value) return std::unexpected(value.error());

        NodeId current = target;
        for (std::size_t i = 0; i + 1 < key.size(); ++i)
            current = object_for_write(current, key[i], kv.location);
        set(current, key.back(), *value);
        return {};
    }

    // The object that fields written under obj.key go into, creating or stacking one as the
    // merge rules say: an existing object is reused, a plain value is hidden, and a value of
    // unknown kind gets the new object stacked on top of it.
    NodeId object_for_write(NodeId obj, std::string_view key, const SourceLocation& where) {
        const NodeId* existing = object(obj).find(key);
        if (!existing) {
            NodeId fresh = new_object(where);
            object(obj).add(key, fresh);
            return fresh;
        }
        const NodeId old = *existing;
        switch (at(old).kind()) {
            case Node::Kind::Object:
                return old;
            case Node::Kind::Scalar:
            case Node::Kind::Array: {
                NodeId fresh = new_object(where);
                object(obj).replace(key, fresh);
                return fresh;
            }
            case Node::Kind::Merge: {
                const NodeId top = std::get<MergeNode>(at(old).v).stack.back();
                if (at(top).kind() == Node::Kind::Object) return top;
                NodeId fresh = new_object(where);
                std::get<MergeNode>(at(old).v).stack.push_back(fresh);
                return fresh;
            }
            default: {
                NodeId fresh = new_object(where);
                NodeId merge = add(MergeNode{{old, fresh}}, where);
                object(obj).replace(key, merge);
                return fresh;
            }
        }
    }

    void set(NodeId obj, std::string_view key, NodeId value) {
        const NodeId* existing = object(obj).find(key);
        if (!existing) {
            object(obj).add(key, value);
            return;
        }
        const NodeId old = *existing;
        NodeId merged = merge(value, old);
        if (merged != old) object(obj).replace(key, merged);
    }

    // The value of a key written as `newer` after `older`. Objects are merged into the older
    // node in place, so a key written many times costs only its own fields.
    NodeId merge(NodeId newer, NodeId older) {
        const Node::Kind nk = at(newer).kind();
        const Node::Kind ok = at(older).kind();
        if (at(newer).plain()) return newer;
        if (nk == Node::Kind::Object) {
            if (ok == Node::Kind::Object) {
                // The newer object is consumed; setting its fields may add nodes.
                auto fields = std::move(object(newer).fields);
                object(newer).index.reset();
                for (const auto& [key, value] : fields) set(older, key, value);
                return older;
            }
            if (at(older).plain()) return newer;
            if (ok == Node::Kind::Merge) {
                const NodeId top = std::get<MergeNode>(at(older).v).stack.back();
                if (at(top).kind() == Node::Kind::Object)
                    merge(newer, top);
                else
                    std::get<MergeNode>(at(older).v).stack.push_back(newer);
                return older;
            }
            return add(MergeNode{{older, newer}}, *at(newer).where);
        }
        if (nk == Node::Kind::Merge) {
            // A plain value at the bottom of the newer stack hides everything older.
            if (at(std::get<MergeNode>(at(newer).v).stack.front()).plain()) return newer;
            if (ok == Node::Kind::Merge) {
                auto stack = std::move(std::get<MergeNode>(at(newer).v).stack);
                auto& older_stack = std::get<MergeNode>(at(older).v).stack;
                older_stack.insert(older_stack.end(), stack.begin(), stack.end());
                return older;
            }
            auto& newer_stack = std::get<MergeNode>(at(newer).v).stack;
            newer_stack.insert(newer_stack.begin(), older);
            return newer;
        }
        // A substitution, concatenation or append on top of anything.
        if (ok == Node::Kind::Merge) {
            std::get<MergeNode>(at(older).v).stack.push_back(newer);
            return older;
        }
        return add(MergeNode{{older, newer}}, *at(newer).where);
    }

    std::expected<NodeId, Error> convert(const RawValue& raw, const Scope& scope, const SourceLocation& where) {
        auto too_deep = [&]() {
            return std::unexpected(Error(where, "objects and arrays nest deeper than the limit of " +
                                                    std::to_string(max_value_depth) + " levels"));
        };
        switch (raw.kind()) {
            case RawValue::Kind::Object: {
                if (scope.depth + 1 > max_value_depth) return too_deep();
                NodeId obj = new_object(where);
                // Usually one key per field: room for them up front spares growing the vector.
                object(obj).fields.reserve(raw.as_object()->fields.size());
                if (auto r = fields_into(obj, *raw.as_object(), Scope{scope.prefix, scope.depth + 1}); !r)
                    return std::unexpected(std::move(r.error()));
                return obj;
            }
            case RawValue::Kind::Array: {
                if (scope.depth + 1 > max_value_depth) return too_deep();
                const Scope inner{scope.prefix, scope.depth + 1};
                std::vector<NodeId> elements;
                elements.reserve(raw.as_array()->size());
                for (const RawValue& element : *raw.as_array()) {
                    auto converted = convert(element, inner, where);
                    if (!converted) return converted;
                    elements.push_back(*converted);
                }
                return add(ArrayNode{std::move(elements)}, where);
            }
            case RawValue::Kind::Boolean:
                return add(ScalarNode{ScalarNode::Kind::Boolean, *raw.as_boolean(), {}}, where);
            case RawValue::Kind::Null:
                return add(ScalarNode{ScalarNode::Kind::Null, false, {}}, where);
            case RawValue::Kind::String:
                return add(ScalarNode{ScalarNode::Kind::String, false, raw.as_string()->text()}, where);
            case RawValue::Kind::Number:
                return add(ScalarNode{ScalarNode::Kind::Number, false, raw.as_number()->text}, where);
            case RawValue::Kind::Substitution: {
                const Substitution& sub = *raw.as_substitution();
                if (sub.path.empty())
                    return std::unexpected(Error(where, "a substitution must have at least one path segment"));
                std::vector<std::string_view> path(path_.begin(), path_.begin() + static_cast<std::ptrdiff_t>(scope.prefix));
                path.insert(path.end(), sub.path.begin(), sub.path.end());
                const SourceLocation& at_sub = sub.location.line != 0 || sub.location.file ? sub.location : where;
                return add(SubstNode{std::move(path), scope.prefix, sub.optional}, at_sub);
            }
            case RawValue::Kind::Concatenation: {
                const Concatenation& concat = *raw.as_concatenation();
                // Objects written side by side are one object, their fields merged as duplicate
                // keys are, so that a field in the second may refer to one in the first just as
                // it could in { x = 1, y = ${a.x} }.
                if (std::all_of(concat.parts().begin(), concat.parts().end(),
                                [](const RawValue& part) { return part.is_object(); })) {
                    if (scope.depth + 1 > max_value_depth) return too_deep();
                    NodeId obj = new_object(where);
                    for (const RawValue& part : concat.parts())
                        if (auto r = fields_into(obj, *part.as_object(), Scope{scope.prefix, scope.depth + 1}); !r)
                            return std::unexpected(std::move(r.error()));
                    return obj;
                }
                ConcatNode node;
                node.separators = concat.separators();  // views of the fields' own
                node.parts.reserve(concat.parts().size());
                for (const RawValue& part : concat.parts()) {
                    if (part.is_concatenation() || part.is_append())
                        return std::unexpected(
                            Error(where, "a concatenation cannot hold a nested concatenation or a '+=' value"));
                    auto converted = convert(part, scope, where);
                    if (!converted) return converted;
                    node.parts.push_back(*converted);
                }
                return add(std::move(node), where);
            }
            case RawValue::Kind::Append:
                return std::unexpected(Error(where, "a '+=' value can only be the value of a field"));
        }
        return std::unexpected(Error(where, "unknown kind of value"));
    }

    // The environment as an object: each variable's name split on "." like a properties key,
    // every value a string, and where a name is both a value and the parent of others the
    // object wins. Variables that are not UTF-8 cannot be strings and are left out.
    NodeId environment_object() {
        NodeId root = new_object(t_.nowhere);
        for (char** entry = environ; entry && *entry; ++entry) {
            std::string_view line(*entry);
            std::size_t eq = line.find('=');
            if (eq == std::string_view::npos || eq == 0) continue;
            if (text::find_invalid_utf8(line)) continue;
            line = t_.texts.emplace_back(line);  // the tree's own copy: the environment may change
            std::vector<std::string_view> path;
            std::string_view name = line.substr(0, eq);
            std::size_t start = 0;
            while (true) {
                std::size_t dot = name.find('.', start);
                path.emplace_back(name.substr(start, dot == std::string_view::npos ? dot : dot - start));
                if (dot == std::string_view::npos) break;
                start = dot + 1;
            }
            if (path.size() > max_value_depth - 1) continue;
            NodeId current = root;
            for (std::size_t i = 0; i + 1 < path.size(); ++i) current = object_for_write(current, path[i], t_.nowhere);
            if (const NodeId* existing = object(current).find(path.back()))
                if (at(*existing).kind() == Node::Kind::Object) continue;
            NodeId value = add(ScalarNode{ScalarNode::Kind::String, false, line.substr(eq + 1)}, t_.nowhere);
            set(current, path.back(), value);
        }
        return root;
    }

    // Marks the appends whose substitution names their own merge stack, walking from the root
    // through plain objects (the only route on which the path leads to that stack alone).
    void mark_direct_appends(NodeId id, std::vector<std::string_view>& path) {
        Node& node = at(id);
        if (node.kind() == Node::Kind::Object) {
            for (auto& [key, child] : std::get<ObjectNode>(node.v).fields) {
                const Node::Kind kind = at(child).kind();
                if (kind != Node::Kind::Object && kind != Node::Kind::Merge) continue;
                path.push_back(key);
                mark_direct_appends(child, path);
                path.pop_back();
            }
        } else if (node.kind() == Node::Kind::Merge) {
            for (NodeId element : std::get<MergeNode>(node.v).stack) {
                if (at(element).kind() != Node::Kind::Append) continue;
                auto& append = std::get<AppendNode>(at(element).v);
                const auto& target = std::get<SubstNode>(at(append.subst).v).path;
                append.direct = std::equal(target.begin(), target.end(), path.begin(), path.end());
            }
        }
    }

    bool has_appends() const { return appends_ > 0; }

private:
    Tree& t_;
    // The path of the field being converted, from the root. The views point into the key
    // segments held by the enclosing key_value_into calls.
    std::vector<std::string_view> path_;
    std::size_t appends_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Resolved values
//
// Resolution works on values that share their subtrees, so that a substitution copies a
// pointer rather than a tree, and whose strings and keys are views of text the tree (or the
// resolver, for texts it makes) owns. Numbers keep the literal they were written as, which is
// what a string concatenation uses. Every container knows its depth and its size in bytes as
// the budget counts them (shared subtrees counted at every place), which bounds both without
// walking them again.

struct RArray;
struct RObject;

struct RNumber {
    Number value;
    std::string_view text;
};

struct RV {
    std::variant<std::monostate, bool, RNumber, std::string_view, std::shared_ptr<const RArray>,
                 std::shared_ptr<const RObject>>
        v;

    bool is_object() const { return v.index() == 5; }
    bool is_array() const { return v.index() == 4; }
    const RObject& object() const { return *std::get<5>(v); }
    const RArray& array() const { return *std::get<4>(v); }
};

struct RArray {
    std::vector<RV> items;
    std::size_t bytes = bytes_per_value;
    std::size_t depth = 1;
};

// Members sorted by key, byte order, keys unique.
struct RObject {
    std::vector<std::pair<std::string_view, RV>> members;
    std::size_t bytes = bytes_per_value;
    std::size_t depth = 1;

    const RV* find(std::string_view key) const {
        auto it = std::lower_bound(members.begin(), members.end(), key,
                                   [](const auto& member, std::string_view k) { return member.first < k; });
        return it != members.end() && it->first == key ? &it->second : nullptr;
    }
};

using Members = std::vector<std::pair<std::string_view, RV>>;

std::size_t bytes_of(const RV& v) {
    if (v.is_array()) return v.array().bytes;
    if (v.is_object()) return v.object().bytes;
    if (const auto* text = std::get_if<std::string_view>(&v.v)) return bytes_per_value + text->size();
    return bytes_per_value;
}

std::size_t depth_of(const RV& v) {
    if (v.is_array()) return v.array().depth;
    if (v.is_object()) return v.object().depth;
    return 0;
}

const char* kind_name(const RV& v) {
    switch (v.v.index()) {
        case 0: return "null";
        case 1: return "a boolean";
        case 2: return "a number";
        case 3: return "a string";
        case 4: return "an array";
        default: return "an object";
    }
}

// The text a simple value contributes to a string concatenation.
std::string_view text_of(const RV& v) {
    switch (v.v.index()) {
        case 0: return "null";
        case 1: return std::get<1>(v.v) ? "true" : "false";
        case 2: return std::get<2>(v.v).text;
        default: return std::get<3>(v.v);
    }
}

// Writes v into out, which must be null. Each value is made in its final place (strings,
// map nodes, array elements) rather than built apart and moved there.
void to_value_into(Value& out, const RV& v) {
    switch (v.v.index()) {
        case 0: return;
        case 1: out.node().emplace<bool>(std::get<1>(v.v)); return;
        case 2: out.node().emplace<Number>(std::get<2>(v.v).value); return;
        case 3: out.node().emplace<std::string>(std::get<3>(v.v)); return;
        case 4: {
            const auto& items = v.array().items;
            auto& array = out.node().emplace<Value::Array>(items.size());
            for (std::size_t i = 0; i < items.size(); ++i) to_value_into(array[i], items[i]);
            return;
        }
        default: {
            const auto& members = v.object().members;
            auto& object = out.node().emplace<Value::Object>();
            object.reserve(members.size());
            for (const auto& [key, member] : members) to_value_into(object.append(key), member);
            return;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Resolution

// A failed step. A cycle travels up without a message until the innermost substitution on
// the way takes it: an optional one reads it as undefined, a required one reports it.
struct Problem {
    Error error;
    bool cycle = false;
    std::vector<NodeId> substitutions;  // of the cycle, in the order they were entered
    bool through_container = false;     // the cycle closed at an object or array holding it
};
// Held behind a pointer, and built out of line, so that the frames of the recursion stay small.
using Failure = std::unique_ptr<Problem>;

// A value, or nothing for a value that is undefined (an optional substitution that found
// nothing, or a concatenation of only such).
using Result = std::expected<std::optional<RV>, Failure>;

[[gnu::noinline, gnu::cold]] std::unexpected<Failure> fail_at(const SourceLocation& where,
                                                               std::initializer_list<std::string_view> parts) {
    std::string message;
    for (std::string_view part : parts) message += part;
    return std::unexpected(std::make_unique<Problem>(Problem{Error(where, std::move(message)), false, {}}));
}

[[gnu::noinline, gnu::cold]] std::unexpected<Failure> fail_cycle(const std::vector<NodeId>& trace, std::size_t from,
                                                                  bool through_container) {
    return std::unexpected(std::make_unique<Problem>(
        Problem{Error(), true, std::vector<NodeId>(trace.begin() + static_cast<std::ptrdiff_t>(from), trace.end()),
                through_container}));
}

// A number that is no finite double stays text where the literal is all that counts (inside
// a concatenation) and is an error as a value of its own.
Result scalar(const ScalarNode& s, const SourceLocation& where, bool standalone) {
    switch (s.kind) {
        case ScalarNode::Kind::Null: return RV{};
        case ScalarNode::Kind::Boolean: return RV{s.boolean};
        case ScalarNode::Kind::String: return RV{s.text};
        case ScalarNode::Kind::Number: {
            if (auto number = parse_number(s.text)) return RV{RNumber{*number, s.text}};
            if (!standalone) return RV{s.text};
            return fail_at(where, {"the number ", s.text, " is out of range"});
        }
    }
    return RV{};
}

// A tree of only objects, arrays and scalars resolves to itself, its members sorted by key: no
// value is shared, merged or made, so it is written straight into the result. Nothing can reach
// a bound on the way: the tree is held to max_value_depth as it is built, and makes less than
// its own measure, which the byte budget is sixteen times. Only a number out of range fails,
// and fields are visited in the order resolution visits them, so the same one is reported.
class PlainWriter {
public:
    explicit PlainWriter(const Tree& tree) : t_(tree) {}

    Status write(Value& out, NodeId id) {
        const Node& n = t_.nodes[id];
        switch (n.kind()) {
            case Node::Kind::Object: return write_object(out, std::get<ObjectNode>(n.v));
            case Node::Kind::Array: {
                const auto& elements = std::get<ArrayNode>(n.v).elements;
                auto& array = out.node().emplace<Value::Array>(elements.size());
                for (std::size_t i = 0; i < elements.size(); ++i)
                    if (auto r = write(array[i], elements[i]); !r) return r;
                return {};
            }
            default: {
                Result r = scalar(std::get<ScalarNode>(n.v), *n.where, true);
                if (!r) return std::unexpected(std::move(r.error()->error));
                to_value_into(out, **r);
                return {};
            }
        }
    }

private:
    // The members are made in key order, then filled in field order through each field's rank.
    // The ranks of all open objects share one buffer, each object's at its end while it is written.
    Status write_object(Value& out, const ObjectNode& o) {
        const std::size_t count = o.fields.size();
        const std::size_t base = ranks_.size();
        ranks_.resize(base + 2 * count);
        const auto order = ranks_.begin() + static_cast<std::ptrdiff_t>(base);
        for (std::size_t i = 0; i < count; ++i) order[static_cast<std::ptrdiff_t>(i)] = static_cast<NodeId>(i);
        std::sort(order, order + static_cast<std::ptrdiff_t>(count),
                  [&](NodeId a, NodeId b) { return o.fields[a].first < o.fields[b].first; });
        auto& object = out.node().emplace<Value::Object>();
        object.reserve(count);
        for (std::size_t k = 0; k < count; ++k) {
            const NodeId field = ranks_[base + k];
            object.append(o.fields[field].first);
            ranks_[base + count + field] = static_cast<NodeId>(k);
        }
        Status status;
        for (std::size_t i = 0; i < count && status; ++i)
            status = write((object.begin() + ranks_[base + count + i])->second, o.fields[i].second);
        ranks_.resize(base);
        return status;
    }

    const Tree& t_;
    std::vector<NodeId> ranks_;
};

class Resolver {
public:
    explicit Resolver(const Tree& tree) : t_(tree), memo_(tree.nodes.size()) {}

    std::expected<Value, Error> run() {
        Result root = resolve(t_.root);
        if (!root) {
            if (root.error()->cycle) return std::unexpected(Error("the configuration holds a cycle of substitutions"));
            return std::unexpected(std::move(root.error()->error));
        }
        // The result is made in place: a document of no fields resolves to an empty object.
        std::expected<Value, Error> result(std::in_place);
        if (*root)
            to_value_into(*result, **root);
        else
            result->node().emplace<Value::Object>();
        return result;
    }

private:
    struct Memo {
        enum class State : std::uint8_t { Open, Busy, Done };
        State state = State::Open;
        std::uint32_t trace_mark = 0;  // while busy: substitutions already open when it started
        std::uint32_t value = 0;       // when done: 1 + index in values_, or 0 for undefined
    };

    // A place where a lookup has arrived: a node (for a merge stack, without its `hidden`
    // newest elements) or a value already resolved.
    struct Slot {
        NodeId id;
        std::size_t hidden;
    };
    using Layer = std::variant<Slot, RV>;

    const Tree& t_;
    std::vector<Memo> memo_;                                // whole nodes
    std::map<std::pair<NodeId, std::size_t>, Memo> rest_;  // merge stacks without their newest elements
    std::vector<RV> values_;                                // memoised values
    std::deque<std::string> texts_;                         // strings made by resolution
    // While an element of a merge stack is resolved, lookups see that stack without the
    // element and everything newer: that is how a field refers to its own earlier value.
    std::vector<std::pair<NodeId, std::size_t>> overrides_;
    std::vector<NodeId> trace_;  // substitutions being resolved, outermost first
    std::size_t depth_ = 0;
    std::size_t produced_ = 0;  // bytes made so far, as the budget counts them

    const Node& node(NodeId id) const { return t_.nodes[id]; }

    // A string made by resolution; its text must have been charged.
    std::string_view own(std::string text) { return texts_.emplace_back(std::move(text)); }

    // Counts bytes that a step makes. Counting every container and string made, not only what
    // the result keeps, keeps repeated copies and discarded intermediate values in view too.
    std::expected<void, Failure> charge(std::size_t bytes, const SourceLocation& where) {
        produced_ += bytes;
        if (produced_ > t_.byte_budget) return fail_budget(where);
        return {};
    }

    // ---- values

    std::expected<RV, Failure> make_array(std::vector<RV> items, const SourceLocation& where) {
        auto array = std::make_shared<RArray>();
        for (const RV& item : items) {
            array->bytes += bytes_of(item);
            array->depth = std::max(array->depth, depth_of(item) + 1);
        }
        if (auto r = check_bounds(array->bytes, array->depth, items.size(), where); !r)
            return std::unexpected(std::move(r.error()));
        array->items = std::move(items);
        return RV{std::shared_ptr<const RArray>(std::move(array))};
    }

    // The members must be sorted by key.
    std::expected<RV, Failure> make_object(Members members, const SourceLocation& where) {
        auto object = std::make_shared<RObject>();
        for (const auto& [key, member] : members) {
            object->bytes += key.size() + bytes_of(member);
            object->depth = std::max(object->depth, depth_of(member) + 1);
        }
        if (auto r = check_bounds(object->bytes, object->depth, members.size(), where); !r)
            return std::unexpected(std::move(r.error()));
        object->members = std::move(members);
        return RV{std::shared_ptr<const RObject>(std::move(object))};
    }

    // A container of `count` elements or members, whose whole tree (shared parts counted at
    // every place, as the finished document holds them) has the given bytes and depth. Only
    // its own storage is made here: its elements are shared with the values they came from.
    std::expected<void, Failure> check_bounds(std::size_t bytes, std::size_t depth, std::size_t count,
                                              const SourceLocation& where) {
        if (depth > max_value_depth)
            return fail_at(where, {"the resolved value nests deeper than the limit of ", std::to_string(max_value_depth), " levels"});
        if (auto r = charge(bytes_per_value * (1 + count), where); !r) return r;
        if (bytes > t_.byte_budget) return fail_budget(where);
        return {};
    }

    // `top` written over `bottom`: objects merge key by key, anything else hides what is below.
    std::expected<RV, Failure> merge(const RV& top, const RV& bottom, const SourceLocation& where) {
        if (!top.is_object() || !bottom.is_object()) return top;
        const Members& a = top.object().members;
        const Members& b = bottom.object().members;
        Members members;
        members.reserve(a.size() + b.size());
        std::size_t i = 0, j = 0;
        while (i < a.size() || j < b.size()) {
            if (j == b.size() || (i < a.size() && a[i].first < b[j].first)) {
                members.push_back(a[i++]);
            } else if (i == a.size() || b[j].first < a[i].first) {
                members.push_back(b[j++]);
            } else {
                auto merged = merge(a[i].second, b[j].second, where);
                if (!merged) return merged;
                members.emplace_back(a[i].first, std::move(*merged));
                ++i;
                ++j;
            }
        }
        return make_object(std::move(members), where);
    }

    // ---- the memoised step

    Result resolve(NodeId id, std::size_t hidden = 0) {
        const Node& n = node(id);
        // Scalars depend on nothing; they are not worth remembering.
        if (n.kind() == Node::Kind::Scalar) return scalar(std::get<ScalarNode>(n.v), *n.where, true);
        Memo& memo = hidden == 0 ? memo_[id] : rest_[{id, hidden}];
        if (memo.state == Memo::State::Done) {
            if (memo.value == 0) return std::nullopt;
            return values_[memo.value - 1];
        }
        if (memo.state == Memo::State::Busy)
            return fail_cycle(trace_, memo.trace_mark,
                              n.kind() == Node::Kind::Object || n.kind() == Node::Kind::Array);
        if (depth_ >= max_resolve_depth)
            return fail_at(*n.where, {"substitutions and nested values go deeper than the limit of ", std::to_string(max_resolve_depth),
                                     " steps"});
        ++depth_;
        memo.state = Memo::State::Busy;
        memo.trace_mark = static_cast<std::uint32_t>(trace_.size());
        Result result = compute(id, hidden);
        --depth_;
        if (result) {
            memo.state = Memo::State::Done;
            if (*result) {
                values_.push_back(**result);
                memo.value = static_cast<std::uint32_t>(values_.size());
            }
        } else {
            memo.state = Memo::State::Open;
        }
        return result;
    }

    Result compute(NodeId id, std::size_t hidden) {
        const Node& n = node(id);
        switch (n.kind()) {
            case Node::Kind::Scalar: return scalar(std::get<ScalarNode>(n.v), *n.where, true);
            case Node::Kind::Object: return resolve_object(std::get<ObjectNode>(n.v), *n.where);
            case Node::Kind::Array: return resolve_array(std::get<ArrayNode>(n.v), *n.where);
            case Node::Kind::Subst: return resolve_subst(id);
            case Node::Kind::Concat: return resolve_concat(std::get<ConcatNode>(n.v), *n.where);
            case Node::Kind::Append: return resolve_append(std::get<AppendNode>(n.v), *n.where);
            case Node::Kind::Merge: return resolve_merge(id, hidden);
        }
        return fail_at(*n.where, {"unknown kind of value"});
    }

    [[gnu::noinline]] Result resolve_object(const ObjectNode& o, const SourceLocation& where) {
        Members members;
        members.reserve(o.fields.size());
        for (const auto& [key, child] : o.fields) {
            Result r = resolve(child);
            if (!r) return r;
            if (*r) members.emplace_back(key, std::move(**r));
        }
        std::sort(members.begin(), members.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        return make_object(std::move(members), where);
    }

    [[gnu::noinline]] Result resolve_array(const ArrayNode& a, const SourceLocation& where) {
        std::vector<RV> items;
        items.reserve(a.elements.size());
        for (NodeId element : a.elements) {
            Result r = resolve(element);
            if (!r) return r;
            if (*r) items.push_back(std::move(**r));
        }
        return make_array(std::move(items), where);
    }

    // ---- substitutions

    [[gnu::noinline]] Result resolve_subst(NodeId id) {
        const Node& n = node(id);
        const SubstNode& s = std::get<SubstNode>(n.v);
        trace_.push_back(id);
        Result found = lookup_with_fallbacks(s, *n.where);
        trace_.pop_back();
        if (!found) {
            if (!found.error()->cycle) return found;
            if (s.optional) return std::nullopt;
            return fail_unresolved(id, found.error().get());
        }
        if (*found) return found;
        if (s.optional) return std::nullopt;
        return fail_unresolved(id, nullptr);
    }

    // A required substitution that found nothing, or that is part of the given cycle. A cycle
    // of the substitution alone is either a field that refers to itself without an earlier
    // value, which reads as undefined, or a reference to an object or array that holds it.
    [[gnu::noinline, gnu::cold]] std::unexpected<Failure> fail_unresolved(NodeId id, const Problem* cycle) {
        const Node& n = node(id);
        const std::string written = describe(std::get<SubstNode>(n.v));
        if (cycle && cycle->substitutions.size() <= 1 && cycle->through_container)
            return fail_at(*n.where, {"could not resolve substitution ", written,
                                     ": it refers to an object or array that contains it"});
        if (!cycle || cycle->substitutions.size() <= 1)
            return fail_at(*n.where, {"could not resolve substitution to a value: ", written});
        std::string loop;
        for (NodeId member : cycle->substitutions) loop += describe(std::get<SubstNode>(node(member).v)) + " -> ";
        loop += describe(std::get<SubstNode>(node(cycle->substitutions.front()).v));
        return fail_at(*n.where, {"could not resolve substitution ", written, ": it is part of a cycle ", loop});
    }

    [[gnu::noinline, gnu::cold]] std::unexpected<Failure> fail_budget(const SourceLocation& where) const {
        return fail_at(where, {"the resolved configuration grows beyond ", std::to_string(t_.byte_budget), " bytes"});
    }

    // The path under the include's prefix, then as written, then the environment variable of
    // that name. A field that refers to itself with no earlier value to look back at is
    // undefined there, like a path that is not in the document, so the next place is tried;
    // when none has it, the cycle is what gets reported. A reference to an object or array
    // that contains it has no way out.
    [[gnu::noinline]] Result lookup_with_fallbacks(const SubstNode& s, const SourceLocation& where) {
        Result miss = std::nullopt;
        auto settled = [&](Result& found) {
            if (found && *found) return true;
            if (!found) {
                if (!found.error()->cycle || found.error()->through_container) return true;
                if (miss.has_value()) miss = std::move(found);  // the first cycle met is the one told
            }
            return false;
        };
        Result found = lookup(s.path, 0);
        if (settled(found)) return found;
        if (s.prefix > 0) {
            found = lookup(s.path, s.prefix);
            if (settled(found)) return found;
        }
        found = environment(s, where);
        if (settled(found)) return found;
        return miss;
    }

    // The variable named by the path as written, segments joined by "."; only a string.
    [[gnu::noinline]] Result environment(const SubstNode& s, const SourceLocation& where) {
        std::string name;
        for (std::size_t i = s.prefix; i < s.path.size(); ++i) {
            if (i > s.prefix) name += '.';
            name += s.path[i];
        }
        if (name.empty() || name.find('\0') != std::string::npos || name.find('=') != std::string::npos)
            return std::nullopt;
        const char* env = std::getenv(name.c_str());
        if (!env) return std::nullopt;
        std::string value(env);
        if (text::find_invalid_utf8(value))
            return fail_at(where, {"the environment variable ", text::printable(name), " is not valid UTF-8"});
        if (auto r = charge(value.size(), where); !r) return std::unexpected(std::move(r.error()));
        return RV{own(std::move(value))};
    }

    // Where a lookup enters a node: a merge stack that is being resolved shows only its older
    // elements; one with none left is not there at all.
    std::optional<Slot> enter(NodeId id) const {
        if (node(id).kind() != Node::Kind::Merge) return Slot{id, 0};
        std::size_t hidden = 0;
        for (auto it = overrides_.rbegin(); it != overrides_.rend(); ++it) {
            if (it->first == id) {
                hidden = it->second;
                break;
            }
        }
        if (hidden >= std::get<MergeNode>(node(id).v).stack.size()) return std::nullopt;
        return Slot{id, hidden};
    }

    // The value at the absolute path made of path[from..]. Only what lies on the path is
    // resolved: objects are walked through, and a value whose kind is unknown is resolved to
    // see whether it is an object. The layers are the values that merge at the current step,
    // newest first.
    [[gnu::noinline]] Result lookup(const std::vector<std::string_view>& path, std::size_t from) {
        std::vector<Layer> layers{Slot{t_.root, 0}};
        std::vector<Layer> next;
        std::optional<NodeId> busy;
        for (std::size_t k = from; k < path.size(); ++k) {
            next.clear();
            for (const Layer& layer : layers) {
                auto go_on = children(layer, path[k], next, busy);
                if (!go_on) return std::unexpected(std::move(go_on.error()));
                if (!*go_on) break;
            }
            if (next.empty()) return nothing_or_cycle(busy);
            layers.swap(next);
        }
        Result found = fold(layers);
        if (found && !*found) return nothing_or_cycle(busy);
        return found;
    }

    // A lookup that found nothing after passing over a field being resolved ran into a cycle.
    Result nothing_or_cycle(const std::optional<NodeId>& busy) {
        if (!busy) return std::nullopt;
        return fail_cycle(trace_, memo_[*busy].trace_mark, false);
    }

    // Adds the child of an object to the layers. A substitution, concatenation or append that
    // is being resolved right now is a field referring to itself (perhaps through others): it
    // is passed over, so the lookup sees what older values of the field there are, as it does
    // for the elements of a merge stack. That also holds when the field sits in an object that
    // a later substitution's value separates from the older objects of its parent:
    // o { a += 1 }, o = ${p}, o { a += 2 }.
    void add_child(NodeId child, std::vector<Layer>& out, std::optional<NodeId>& busy) const {
        if (node(child).unmergeable() && memo_[child].state == Memo::State::Busy) {
            if (!busy) busy = child;
            return;
        }
        if (auto entered = enter(child)) out.emplace_back(*entered);
    }

    // Adds what a layer holds under key. False when the layer is not an object, which hides
    // every older layer.
    [[gnu::noinline]] std::expected<bool, Failure> children(const Layer& layer, std::string_view key,
                                                             std::vector<Layer>& out, std::optional<NodeId>& busy) {
        if (const RV* value = std::get_if<RV>(&layer)) return value_child(*value, key, out);
        const Slot slot = std::get<Slot>(layer);
        const Node& n = node(slot.id);
        switch (n.kind()) {
            case Node::Kind::Object: {
                if (const NodeId* child = std::get<ObjectNode>(n.v).find(key)) add_child(*child, out, busy);
                return true;
            }
            case Node::Kind::Scalar:
            case Node::Kind::Array:
                return false;
            case Node::Kind::Merge: {
                const auto& stack = std::get<MergeNode>(n.v).stack;
                for (std::size_t i = slot.hidden; i < stack.size(); ++i) {
                    const NodeId element = stack[stack.size() - 1 - i];
                    const Node& e = node(element);
                    if (e.kind() == Node::Kind::Object) {
                        if (const NodeId* child = std::get<ObjectNode>(e.v).find(key)) add_child(*child, out, busy);
                        continue;
                    }
                    if (e.plain()) return false;
                    Result r = resolve_element(slot.id, i, element);
                    if (!r) return std::unexpected(std::move(r.error()));
                    if (!*r) continue;
                    auto go_on = value_child(**r, key, out);
                    if (!go_on || !*go_on) return go_on;
                }
                return true;
            }
            default: {
                Result r = resolve(slot.id);
                if (!r) return std::unexpected(std::move(r.error()));
                if (!*r) return true;
                return value_child(**r, key, out);
            }
        }
    }

    static std::expected<bool, Failure> value_child(const RV& value, std::string_view key, std::vector<Layer>& out) {
        if (!value.is_object()) return false;
        if (const RV* member = value.object().find(key)) out.emplace_back(*member);
        return true;
    }

    // The merge of layers, newest first, stopping at the first value that is not an object.
    [[gnu::noinline]] Result fold(const std::vector<Layer>& layers) {
        std::vector<RV> values;
        for (const Layer& layer : layers) {
            if (const RV* v = std::get_if<RV>(&layer)) {
                values.push_back(*v);
            } else {
                const Slot slot = std::get<Slot>(layer);
                Result r = resolve(slot.id, slot.hidden);
                if (!r) return r;
                if (!*r) continue;
                values.push_back(std::move(**r));
            }
            if (!values.back().is_object()) break;
        }
        return merge_stack(values, {});
    }

    // Values written for one key, newest first, the oldest of them the first that is not an
    // object (or the last): merged from the oldest up, each newer one over what is below it.
    // Going the other way would let {x:{q:2}} over {x:5} over {x:{p:1}} meet p again.
    Result merge_stack(const std::vector<RV>& newest_first, const SourceLocation& where) {
        if (newest_first.empty()) return std::nullopt;
        RV merged = newest_first.back();
        for (std::size_t i = newest_first.size() - 1; i-- > 0;) {
            auto m = merge(newest_first[i], merged, where);
            if (!m) return std::unexpected(std::move(m.error()));
            merged = std::move(*m);
        }
        return merged;
    }

    // ---- merge stacks

    // Element i (counted from the newest) of a merge stack, seeing the stack below it in place
    // of the field.
    [[gnu::noinline]] Result resolve_element(NodeId merge_id, std::size_t i, NodeId element) {
        overrides_.emplace_back(merge_id, i + 1);
        Result r = resolve(element);
        overrides_.pop_back();
        return r;
    }

    [[gnu::noinline]] Result resolve_merge(NodeId id, std::size_t hidden) {
        const Node& n = node(id);
        const auto& stack = std::get<MergeNode>(n.v).stack;
        auto element_at = [&](std::size_t i) { return stack[stack.size() - 1 - i]; };

        const Node& newest = node(element_at(hidden));
        if (newest.kind() == Node::Kind::Append && std::get<AppendNode>(newest.v).direct)
            return resolve_appends(id, hidden);

        // Newest first, as far as the first value that is not an object: it hides everything
        // older, which is then never evaluated.
        std::vector<RV> values;
        for (std::size_t i = hidden; i < stack.size(); ++i) {
            const NodeId element = element_at(i);
            Result r = node(element).unmergeable() ? resolve_element(id, i, element) : resolve(element);
            if (!r) return r;
            if (!*r) continue;
            values.push_back(std::move(**r));
            if (!values.back().is_object()) break;
        }
        return merge_stack(values, *n.where);
    }

    // A run of "+=" fields on one key, each appending to the one before. Resolving them one
    // inside the other would nest as deeply as the run is long and copy the array at every
    // step; instead the oldest is resolved as usual and the newer ones append their elements.
    [[gnu::noinline]] Result resolve_appends(NodeId id, std::size_t hidden) {
        const Node& n = node(id);
        const auto& stack = std::get<MergeNode>(n.v).stack;
        auto element_at = [&](std::size_t i) { return stack[stack.size() - 1 - i]; };
        std::size_t end = hidden;
        while (end < stack.size()) {
            const Node& e = node(element_at(end));
            if (e.kind() != Node::Kind::Append || !std::get<AppendNode>(e.v).direct) break;
            ++end;
        }
        Result base = resolve_element(id, end - 1, element_at(end - 1));
        if (!base) return base;
        std::vector<RV> items;
        if (*base && (*base)->is_array()) items = (*base)->array().items;
        for (std::size_t i = end - 1; i-- > hidden;) {
            const AppendNode& append = std::get<AppendNode>(node(element_at(i)).v);
            overrides_.emplace_back(id, i + 1);
            Result added = resolve(append.array);
            overrides_.pop_back();
            if (!added) return added;
            if (*added && (*added)->is_array()) {
                const auto& more = (*added)->array().items;
                items.insert(items.end(), more.begin(), more.end());
            }
        }
        auto array = make_array(std::move(items), *n.where);
        if (!array) return std::unexpected(std::move(array.error()));
        return std::move(*array);
    }

    [[gnu::noinline]] Result resolve_append(const AppendNode& append, const SourceLocation& where) {
        Result previous = resolve(append.subst);
        if (!previous) return previous;
        Result added = resolve(append.array);
        if (!added) return added;
        if (!*previous) return added;
        if (!(*previous)->is_array())
            return fail_at(where, {"'+=' appends to an array, but the field holds ", kind_name(**previous)});
        std::vector<RV> items = (*previous)->array().items;
        const auto& more = (*added)->array().items;
        items.insert(items.end(), more.begin(), more.end());
        auto array = make_array(std::move(items), where);
        if (!array) return std::unexpected(std::move(array.error()));
        return std::move(*array);
    }

    // ---- concatenations

    [[gnu::noinline]] Result resolve_concat(const ConcatNode& c, const SourceLocation& where) {
        std::vector<std::optional<RV>> parts;
        parts.reserve(c.parts.size());
        bool any_array = false, any_object = false, any_simple = false;
        std::size_t defined = 0;
        for (NodeId part : c.parts) {
            const Node& p = node(part);
            Result r = p.kind() == Node::Kind::Scalar ? scalar(std::get<ScalarNode>(p.v), *p.where, false)
                                                      : resolve(part);
            if (!r) return r;
            if (*r) {
                ++defined;
                if ((*r)->is_array())
                    any_array = true;
                else if ((*r)->is_object())
                    any_object = true;
                else
                    any_simple = true;
            }
            parts.push_back(std::move(*r));
        }
        // Whitespace written between parts belongs to a string concatenation, so only parts
        // that touch each other vanish when none is defined: ${?a}${?b} is not there at all,
        // ${?a} ${?b} is " ".
        bool separated = false;
        for (const std::string& sep : c.separators) separated = separated || !sep.empty();
        if (defined == 0 && !separated) return std::nullopt;

        if (any_array || any_object) {
            // Between arrays and objects the whitespace separators do not count.
            if (any_simple || (any_array && any_object)) {
                const RV* first = nullptr;
                const RV* clash = nullptr;
                for (const auto& part : parts) {
                    if (!part) continue;
                    if (!first)
                        first = &*part;
                    else if (!clash && (part->is_array() != first->is_array() || part->is_object() != first->is_object()))
                        clash = &*part;
                }
                return fail_at(where, {"cannot concatenate ", kind_name(*first), " with ", kind_name(*clash)});
            }
            if (any_array) {
                std::vector<RV> items;
                for (const auto& part : parts)
                    if (part) items.insert(items.end(), part->array().items.begin(), part->array().items.end());
                auto array = make_array(std::move(items), where);
                if (!array) return std::unexpected(std::move(array.error()));
                return std::move(*array);
            }
            std::optional<RV> merged;
            for (const auto& part : parts) {
                if (!part) continue;
                if (!merged) {
                    merged = *part;
                    continue;
                }
                auto m = merge(*part, *merged, where);
                if (!m) return std::unexpected(std::move(m.error()));
                merged = std::move(*m);
            }
            return merged;
        }

        // A single value with nothing written around it keeps its kind: ${?a}${b}.
        if (defined == 1 && !separated) {
            for (auto& part : parts)
                if (part) return std::move(*part);
        }
        // Charged before it is made: doubling a string at every step is the cheapest way to ask
        // for an exponential amount of memory.
        std::size_t length = 0;
        for (std::size_t i = 0; i < parts.size(); ++i)
            length += (i > 0 ? c.separators[i - 1].size() : 0) + (parts[i] ? text_of(*parts[i]).size() : 0);
        if (auto r = charge(length, where); !r) return std::unexpected(std::move(r.error()));
        std::string out;
        out.reserve(length);
        for (std::size_t i = 0; i < parts.size(); ++i) {
            if (i > 0) out += c.separators[i - 1];
            if (parts[i]) out += text_of(*parts[i]);
        }
        return RV{own(std::move(out))};
    }
};

// The merged tree measured as the byte budget measures what resolution makes: each node, and
// the text of each scalar and key.
std::size_t tree_bytes(const Tree& tree) {
    std::size_t bytes = 0;
    for (const Node& node : tree.nodes) {
        bytes += bytes_per_value;
        if (const auto* scalar = std::get_if<ScalarNode>(&node.v)) {
            bytes += scalar->text.size();
        } else if (const auto* object = std::get_if<ObjectNode>(&node.v)) {
            for (const auto& [key, child] : object->fields) bytes += key.size();
        }
    }
    return bytes;
}

}  // namespace

std::expected<std::shared_ptr<const Tree>, Error> build_tree(RawObject root, const ConfigOptions& options) {
    auto tree = std::make_shared<Tree>();
    tree->fields = std::move(root);
    Builder builder(*tree);
    NodeId document = builder.new_object(tree->nowhere);
    if (auto r = builder.fields_into(document, tree->fields, Builder::Scope{}); !r)
        return std::unexpected(std::move(r.error()));
    if (options.use_environment()) {
        NodeId environment = builder.environment_object();
        tree->root = builder.merge(document, environment);
    } else {
        tree->root = document;
    }
    if (builder.has_appends()) {
        std::vector<std::string_view> path;
        builder.mark_direct_appends(tree->root, path);
    }
    tree->byte_budget = std::max(min_byte_budget, budget_factor * tree_bytes(*tree));
    tree->plain = std::all_of(tree->nodes.begin(), tree->nodes.end(), [](const Node& node) {
        return node.kind() == Node::Kind::Scalar || node.kind() == Node::Kind::Object || node.kind() == Node::Kind::Array;
    });
    return std::shared_ptr<const Tree>(std::move(tree));
}

std::expected<Value, Error> resolve_tree(const Tree& tree) {
    if (!tree.plain) return Resolver(tree).run();
    std::expected<Value, Error> result(std::in_place);
    if (auto r = PlainWriter(tree).write(*result, tree.root); !r) return std::unexpected(std::move(r.error()));
    return result;
}

}  // namespace hocon::detail
