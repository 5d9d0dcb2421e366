#include "hocon/resolve.hpp"

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
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

using NodeId = std::uint32_t;

struct ScalarNode {
    enum class Kind { Null, Boolean, Number, String };
    Kind kind = Kind::Null;
    bool boolean = false;
    std::string text;  // a string's text, a number's literal
};

struct ObjectNode {
    std::vector<std::pair<std::string, NodeId>> fields;  // in the order keys first appeared
    std::unordered_map<std::string, std::size_t> index;  // key -> position in fields

    const NodeId* find(const std::string& key) const {
        auto it = index.find(key);
        return it == index.end() ? nullptr : &fields[it->second].second;
    }
};

struct ArrayNode {
    std::vector<NodeId> elements;
};

// ${path} or ${?path}. Inside included content the path is already prefixed with where the
// include sits; the first `prefix` segments are that prefix, and without them the path reads
// as written, relative to the root.
struct SubstNode {
    std::vector<std::string> path;
    std::size_t prefix = 0;
    bool optional = false;
};

struct ConcatNode {
    std::vector<NodeId> parts;
    std::vector<std::string> separators;
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
    SourceLocation where;

    Kind kind() const { return static_cast<Kind>(v.index()); }
    // Substitutions, concatenations and appends: only resolution tells what kind of value they are.
    bool unmergeable() const {
        Kind k = kind();
        return k == Kind::Subst || k == Kind::Concat || k == Kind::Append;
    }
    bool plain() const { return kind() == Kind::Scalar || kind() == Kind::Array; }
};

struct Tree {
    std::deque<Node> nodes;  // a deque: references stay valid while nodes are added
    NodeId root = 0;
    std::size_t value_budget = min_value_budget;
};

namespace {

using Status = std::expected<void, Error>;

std::string path_text(const std::vector<std::string>& path) { return RawString::path_expression(path).text(); }

std::string describe(const SubstNode& s) {
    std::vector<std::string> written(s.path.begin() + static_cast<std::ptrdiff_t>(s.prefix), s.path.end());
    return std::string(s.optional ? "${?" : "${") + path_text(written) + "}";
}

class Builder {
public:
    explicit Builder(Tree& tree) : t_(tree) {}

    // Where fields are being added: the path of the object from the root, how many leading
    // segments of it are the prefix of the include being read, and how deeply it nests.
    struct Scope {
        std::vector<std::string> path;
        std::size_t prefix = 0;
        std::size_t depth = 1;
    };

    NodeId add(Node::Variant v, SourceLocation where) {
        t_.nodes.push_back(Node{std::move(v), std::move(where)});
        return static_cast<NodeId>(t_.nodes.size() - 1);
    }
    Node& at(NodeId id) { return t_.nodes[id]; }
    ObjectNode& object(NodeId id) { return std::get<ObjectNode>(at(id).v); }

    NodeId new_object(SourceLocation where) { return add(ObjectNode{}, std::move(where)); }

    Status fields_into(NodeId target, const RawObject& raw, const Scope& scope) {
        for (const ObjectField& field : raw.fields) {
            if (const KeyValueField* kv = field.as_key_value()) {
                if (auto r = key_value_into(target, *kv, scope); !r) return r;
            } else if (const InclusionField* inc = field.as_inclusion()) {
                // The included fields stand where the statement stands; their substitutions are
                // looked up under the including object first.
                if (!inc->inclusion.loaded) continue;
                Scope included{scope.path, scope.path.size(), scope.depth};
                if (auto r = fields_into(target, *inc->inclusion.loaded, included); !r) return r;
            }
        }
        return {};
    }

    Status key_value_into(NodeId target, const KeyValueField& kv, const Scope& scope) {
        std::vector<std::string> key = kv.key.as_path();
        if (key.empty()) return std::unexpected(Error(kv.location, "a key must have at least one path segment"));
        const std::size_t parent_depth = scope.depth + key.size() - 1;
        if (parent_depth > max_value_depth)
            return std::unexpected(Error(kv.location, "the key '" + kv.key.text() + "' nests deeper than the limit of " +
                                                          std::to_string(max_value_depth) + " levels"));
        Scope inner{scope.path, scope.prefix, parent_depth};
        inner.path.insert(inner.path.end(), key.begin(), key.end());

        NodeId value = 0;
        if (const Append* append = kv.value.as_append()) {
            auto element = convert(*append->value, inner, kv.location);
            if (!element) return std::unexpected(element.error());
            NodeId subst = add(SubstNode{inner.path, scope.prefix, true}, kv.location);
            NodeId array = add(ArrayNode{{*element}}, kv.location);
            value = add(AppendNode{subst, array, false}, kv.location);
        } else {
            auto converted = convert(kv.value, inner, kv.location);
            if (!converted) return std::unexpected(converted.error());
            value = *converted;
        }

        NodeId current = target;
        for (std::size_t i = 0; i + 1 < key.size(); ++i) current = object_for_write(current, key[i], kv.location);
        set(current, key.back(), value);
        return {};
    }

    // The object that fields written under obj.key go into, creating or stacking one as the
    // merge rules say: an existing object is reused, a plain value is hidden, and a value of
    // unknown kind gets the new object stacked on top of it.
    NodeId object_for_write(NodeId obj, const std::string& key, const SourceLocation& where) {
        const NodeId* existing = object(obj).find(key);
        if (!existing) {
            NodeId fresh = new_object(where);
            append_field(obj, key, fresh);
            return fresh;
        }
        const NodeId old = *existing;
        Node& node = at(old);
        switch (node.kind()) {
            case Node::Kind::Object:
                return old;
            case Node::Kind::Scalar:
            case Node::Kind::Array: {
                NodeId fresh = new_object(where);
                replace_field(obj, key, fresh);
                return fresh;
            }
            case Node::Kind::Merge: {
                auto& stack = std::get<MergeNode>(node.v).stack;
                if (at(stack.back()).kind() == Node::Kind::Object) return stack.back();
                NodeId fresh = new_object(where);
                std::get<MergeNode>(at(old).v).stack.push_back(fresh);
                return fresh;
            }
            default: {
                NodeId fresh = new_object(where);
                NodeId merge = add(MergeNode{{old, fresh}}, where);
                replace_field(obj, key, merge);
                return fresh;
            }
        }
    }

    void append_field(NodeId obj, const std::string& key, NodeId value) {
        ObjectNode& o = object(obj);
        o.index.emplace(key, o.fields.size());
        o.fields.emplace_back(key, value);
    }
    void replace_field(NodeId obj, const std::string& key, NodeId value) {
        ObjectNode& o = object(obj);
        o.fields[o.index.at(key)].second = value;
    }

    void set(NodeId obj, const std::string& key, NodeId value) {
        const NodeId* existing = object(obj).find(key);
        if (!existing) {
            append_field(obj, key, value);
            return;
        }
        const NodeId old = *existing;
        NodeId merged = merge(value, old);
        if (merged != old) replace_field(obj, key, merged);
    }

    // The value of a key written as `newer` after `older`. Objects are merged into the older
    // node in place, so a key written many times costs only its own fields.
    NodeId merge(NodeId newer, NodeId older) {
        const Node::Kind nk = at(newer).kind();
        const Node::Kind ok = at(older).kind();
        if (at(newer).plain()) return newer;
        if (nk == Node::Kind::Object) {
            if (ok == Node::Kind::Object) {
                // Copy the list: setting fields may add nodes, and the newer object is consumed.
                auto fields = std::move(object(newer).fields);
                for (auto& [key, value] : fields) set(older, key, value);
                return older;
            }
            if (at(older).plain()) return newer;
            if (ok == Node::Kind::Merge) {
                NodeId top = std::get<MergeNode>(at(older).v).stack.back();
                if (at(top).kind() == Node::Kind::Object) {
                    merge(newer, top);
                } else {
                    std::get<MergeNode>(at(older).v).stack.push_back(newer);
                }
                return older;
            }
            return add(MergeNode{{older, newer}}, at(newer).where);
        }
        if (nk == Node::Kind::Merge) {
            auto stack = std::get<MergeNode>(at(newer).v).stack;
            // A plain value at the bottom of the newer stack hides everything older.
            if (at(stack.front()).plain()) return newer;
            if (ok == Node::Kind::Merge) {
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
        return add(MergeNode{{older, newer}}, at(newer).where);
    }

    std::expected<NodeId, Error> convert(const RawValue& raw, const Scope& scope, const SourceLocation& where) {
        auto deeper = [&]() -> std::optional<Error> {
            if (scope.depth + 1 > max_value_depth)
                return Error(where, "objects and arrays nest deeper than the limit of " +
                                        std::to_string(max_value_depth) + " levels");
            return std::nullopt;
        };
        switch (raw.kind()) {
            case RawValue::Kind::Object: {
                if (auto e = deeper()) return std::unexpected(*e);
                NodeId obj = new_object(where);
                Scope inner{scope.path, scope.prefix, scope.depth + 1};
                if (auto r = fields_into(obj, *raw.as_object(), inner); !r) return std::unexpected(r.error());
                return obj;
            }
            case RawValue::Kind::Array: {
                if (auto e = deeper()) return std::unexpected(*e);
                Scope inner{scope.path, scope.prefix, scope.depth + 1};
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
                std::vector<std::string> path(scope.path.begin(),
                                              scope.path.begin() + static_cast<std::ptrdiff_t>(scope.prefix));
                path.insert(path.end(), sub.path.begin(), sub.path.end());
                SourceLocation at_sub = sub.location.line != 0 || sub.location.file ? sub.location : where;
                return add(SubstNode{std::move(path), scope.prefix, sub.optional}, std::move(at_sub));
            }
            case RawValue::Kind::Concatenation: {
                const Concatenation& concat = *raw.as_concatenation();
                ConcatNode node;
                node.separators = concat.separators();
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
        NodeId root = new_object({});
        for (char** entry = environ; entry && *entry; ++entry) {
            std::string_view line(*entry);
            std::size_t eq = line.find('=');
            if (eq == std::string_view::npos || eq == 0) continue;
            if (text::find_invalid_utf8(line)) continue;
            std::vector<std::string> path;
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
            for (std::size_t i = 0; i + 1 < path.size(); ++i) current = object_for_write(current, path[i], {});
            if (const NodeId* existing = object(current).find(path.back()))
                if (at(*existing).kind() == Node::Kind::Object) continue;
            NodeId value = add(ScalarNode{ScalarNode::Kind::String, false, std::string(line.substr(eq + 1))}, {});
            set(current, path.back(), value);
        }
        return root;
    }

    // Marks the appends whose substitution names their own merge stack, walking from the root
    // through plain objects (the only route on which the path leads to that stack alone).
    void mark_direct_appends(NodeId id, std::vector<std::string>& path) {
        Node& node = at(id);
        if (node.kind() == Node::Kind::Object) {
            for (auto& [key, child] : std::get<ObjectNode>(node.v).fields) {
                path.push_back(key);
                mark_direct_appends(child, path);
                path.pop_back();
            }
        } else if (node.kind() == Node::Kind::Merge) {
            for (NodeId element : std::get<MergeNode>(node.v).stack) {
                if (at(element).kind() != Node::Kind::Append) continue;
                auto& append = std::get<AppendNode>(at(element).v);
                append.direct = std::get<SubstNode>(at(append.subst).v).path == path;
            }
        }
    }

private:
    Tree& t_;
};

// ---------------------------------------------------------------------------------------------
// Resolved values
//
// Resolution works on values that share their subtrees, so that a substitution copies a
// pointer rather than a tree. Numbers keep the literal they were written as, which is what a
// string concatenation uses. Every container knows its depth and its number of values, which
// bounds both without walking them again.

struct RArray;
struct RObject;

struct RNumber {
    Number value;
    std::string text;
};

struct RV {
    std::variant<std::monostate, bool, RNumber, std::string, std::shared_ptr<const RArray>,
                 std::shared_ptr<const RObject>>
        v;

    bool is_object() const { return v.index() == 5; }
    bool is_array() const { return v.index() == 4; }
    const RObject& object() const { return *std::get<5>(v); }
    const RArray& array() const { return *std::get<4>(v); }
};

struct RArray {
    std::vector<RV> items;
    std::size_t size = 1;
    std::size_t depth = 1;
};

struct RObject {
    std::map<std::string, RV, std::less<>> members;
    std::size_t size = 1;
    std::size_t depth = 1;
};

std::size_t size_of(const RV& v) {
    if (v.is_array()) return v.array().size;
    if (v.is_object()) return v.object().size;
    return 1;
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
std::string text_of(const RV& v) {
    switch (v.v.index()) {
        case 0: return "null";
        case 1: return std::get<1>(v.v) ? "true" : "false";
        case 2: return std::get<2>(v.v).text;
        default: return std::get<3>(v.v);
    }
}

Value to_value(const RV& v) {
    switch (v.v.index()) {
        case 0: return Value();
        case 1: return Value::boolean(std::get<1>(v.v));
        case 2: return Value(std::get<2>(v.v).value);
        case 3: return Value(std::get<3>(v.v));
        case 4: {
            Value::Array out;
            out.reserve(v.array().items.size());
            for (const RV& item : v.array().items) out.push_back(to_value(item));
            return Value(std::move(out));
        }
        default: {
            Value::Object out;
            for (const auto& [key, member] : v.object().members) out.emplace_hint(out.end(), key, to_value(member));
            return Value(std::move(out));
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Resolution

// A failed step. A cycle travels up without a message until the innermost substitution on
// the way takes it: an optional one reads it as undefined, a required one reports it.
struct Failure {
    Error error;
    bool cycle = false;
    std::vector<NodeId> substitutions;  // of the cycle, in the order they were entered
};

// A value, or nothing for a value that is undefined (an optional substitution that found
// nothing, or a concatenation of only such).
using Result = std::expected<std::optional<RV>, Failure>;

std::unexpected<Failure> fail(Error error) { return std::unexpected(Failure{std::move(error), false, {}}); }

class Resolver {
public:
    explicit Resolver(const Tree& tree) : t_(tree), memo_(tree.nodes.size()) {}

    std::expected<Value, Error> run() {
        Result root = resolve(t_.root);
        if (!root) {
            if (root.error().cycle) return std::unexpected(Error("the configuration holds a cycle of substitutions"));
            return std::unexpected(std::move(root.error().error));
        }
        if (!*root) return Value(Value::Object{});
        return to_value(**root);
    }

private:
    struct Memo {
        enum class State : std::uint8_t { Open, Busy, Done };
        State state = State::Open;
        std::optional<RV> value;
        std::size_t trace_mark = 0;  // substitutions already open when this one started
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
    // While an element of a merge stack is resolved, lookups see that stack without the
    // element and everything newer: that is how a field refers to its own earlier value.
    std::vector<std::pair<NodeId, std::size_t>> overrides_;
    std::vector<NodeId> trace_;  // substitutions being resolved, outermost first
    std::size_t depth_ = 0;
    std::size_t produced_ = 0;

    const Node& node(NodeId id) const { return t_.nodes[id]; }

    // ---- values

    std::expected<RV, Failure> make_array(std::vector<RV> items, const SourceLocation& where) {
        auto array = std::make_shared<RArray>();
        for (const RV& item : items) {
            array->size += size_of(item);
            array->depth = std::max(array->depth, depth_of(item) + 1);
        }
        array->items = std::move(items);
        if (auto r = check_bounds(array->size, array->depth, where); !r) return std::unexpected(r.error());
        return RV{std::shared_ptr<const RArray>(std::move(array))};
    }

    std::expected<RV, Failure> make_object(std::map<std::string, RV, std::less<>> members, const SourceLocation& where) {
        auto object = std::make_shared<RObject>();
        for (const auto& [key, member] : members) {
            object->size += size_of(member);
            object->depth = std::max(object->depth, depth_of(member) + 1);
        }
        object->members = std::move(members);
        if (auto r = check_bounds(object->size, object->depth, where); !r) return std::unexpected(r.error());
        return RV{std::shared_ptr<const RObject>(std::move(object))};
    }

    std::expected<void, Failure> check_bounds(std::size_t size, std::size_t depth, const SourceLocation& where) {
        if (depth > max_value_depth)
            return fail(Error(where, "the resolved value nests deeper than the limit of " +
                                         std::to_string(max_value_depth) + " levels"));
        // Counting what every container holds keeps repeated copies of one subtree in view.
        produced_ += 1;
        if (size > t_.value_budget || produced_ > t_.value_budget)
            return fail(Error(where, "the resolved configuration grows beyond " + std::to_string(t_.value_budget) +
                                         " values"));
        return {};
    }

    // `top` written over `bottom`: objects merge key by key, anything else hides what is below.
    std::expected<RV, Failure> merge(const RV& top, const RV& bottom, const SourceLocation& where) {
        if (!top.is_object() || !bottom.is_object()) return top;
        std::map<std::string, RV, std::less<>> members = bottom.object().members;
        for (const auto& [key, value] : top.object().members) {
            auto it = members.find(key);
            if (it == members.end()) {
                members.emplace(key, value);
            } else {
                auto merged = merge(value, it->second, where);
                if (!merged) return merged;
                it->second = std::move(*merged);
            }
        }
        return make_object(std::move(members), where);
    }

    // ---- the memoised step

    Result resolve(NodeId id, std::size_t hidden = 0) {
        Memo& memo = hidden == 0 ? memo_[id] : rest_[{id, hidden}];
        if (memo.state == Memo::State::Done) return memo.value;
        if (memo.state == Memo::State::Busy) {
            Failure cycle{Error(), true, {}};
            cycle.substitutions.assign(trace_.begin() + static_cast<std::ptrdiff_t>(memo.trace_mark), trace_.end());
            return std::unexpected(std::move(cycle));
        }
        if (depth_ >= max_resolve_depth)
            return fail(Error(node(id).where, "substitutions and nested values go deeper than the limit of " +
                                                  std::to_string(max_resolve_depth) + " steps"));
        ++depth_;
        memo.state = Memo::State::Busy;
        memo.trace_mark = trace_.size();
        Result result = compute(id, hidden);
        --depth_;
        if (result) {
            memo.state = Memo::State::Done;
            memo.value = *result;
        } else {
            memo.state = Memo::State::Open;
        }
        return result;
    }

    Result compute(NodeId id, std::size_t hidden) {
        const Node& n = node(id);
        switch (n.kind()) {
            case Node::Kind::Scalar: return scalar(std::get<ScalarNode>(n.v), n.where, true);
            case Node::Kind::Object: return resolve_object(std::get<ObjectNode>(n.v), n.where);
            case Node::Kind::Array: return resolve_array(std::get<ArrayNode>(n.v), n.where);
            case Node::Kind::Subst: return resolve_subst(id);
            case Node::Kind::Concat: return resolve_concat(std::get<ConcatNode>(n.v), n.where);
            case Node::Kind::Append: return resolve_append(std::get<AppendNode>(n.v), n.where);
            case Node::Kind::Merge: return resolve_merge(id, hidden);
        }
        return fail(Error(n.where, "unknown kind of value"));
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
                return fail(Error(where, "the number " + s.text + " is out of range"));
            }
        }
        return RV{};
    }

    Result resolve_object(const ObjectNode& o, const SourceLocation& where) {
        std::map<std::string, RV, std::less<>> members;
        for (const auto& [key, child] : o.fields) {
            Result r = resolve(child);
            if (!r) return r;
            if (*r) members.emplace(key, std::move(**r));
        }
        return make_object(std::move(members), where);
    }

    Result resolve_array(const ArrayNode& a, const SourceLocation& where) {
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

    Result resolve_subst(NodeId id) {
        const Node& n = node(id);
        const SubstNode& s = std::get<SubstNode>(n.v);
        trace_.push_back(id);
        Result found = lookup_with_fallbacks(s, n.where);
        trace_.pop_back();
        if (!found) {
            if (!found.error().cycle) return found;
            if (s.optional) return std::nullopt;
            const auto& chain = found.error().substitutions;
            if (chain.size() <= 1) return fail(Error(n.where, "could not resolve substitution to a value: " + describe(s)));
            std::string loop;
            for (NodeId member : chain) loop += describe(std::get<SubstNode>(node(member).v)) + " -> ";
            loop += describe(std::get<SubstNode>(node(chain.front()).v));
            return fail(Error(n.where, "could not resolve substitution " + describe(s) +
                                           ": it is part of a cycle " + loop));
        }
        if (*found) return found;
        if (s.optional) return std::nullopt;
        return fail(Error(n.where, "could not resolve substitution to a value: " + describe(s)));
    }

    // The path under the include's prefix, then as written, then the environment variable of
    // that name.
    Result lookup_with_fallbacks(const SubstNode& s, const SourceLocation& where) {
        Result found = lookup(s.path);
        if (!found || *found) return found;
        std::vector<std::string> written(s.path.begin() + static_cast<std::ptrdiff_t>(s.prefix), s.path.end());
        if (s.prefix > 0) {
            found = lookup(written);
            if (!found || *found) return found;
        }
        std::string name;
        for (std::size_t i = 0; i < written.size(); ++i) name += (i ? "." : "") + written[i];
        if (name.empty() || name.find('\0') != std::string::npos || name.find('=') != std::string::npos)
            return std::nullopt;
        const char* env = std::getenv(name.c_str());
        if (!env) return std::nullopt;
        std::string value(env);
        if (text::find_invalid_utf8(value))
            return fail(Error(where, "the environment variable " + name + " is not valid UTF-8"));
        return RV{std::move(value)};
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

    // The value at an absolute path. Only what lies on the path is resolved: objects are
    // walked through, and a value whose kind is unknown is resolved to see whether it is an
    // object. The layers are the values that merge at the current step, newest first.
    Result lookup(const std::vector<std::string>& path) {
        std::vector<Layer> layers{Slot{t_.root, 0}};
        for (const std::string& key : path) {
            std::vector<Layer> next;
            for (const Layer& layer : layers) {
                auto go_on = children(layer, key, next);
                if (!go_on) return std::unexpected(std::move(go_on.error()));
                if (!*go_on) break;
            }
            if (next.empty()) return std::nullopt;
            layers = std::move(next);
        }
        return fold(layers);
    }

    // Adds what a layer holds under key. False when the layer is not an object, which hides
    // every older layer.
    std::expected<bool, Failure> children(const Layer& layer, const std::string& key, std::vector<Layer>& out) {
        if (const RV* value = std::get_if<RV>(&layer)) return value_child(*value, key, out);
        const Slot slot = std::get<Slot>(layer);
        const Node& n = node(slot.id);
        switch (n.kind()) {
            case Node::Kind::Object: {
                if (const NodeId* child = std::get<ObjectNode>(n.v).find(key))
                    if (auto entered = enter(*child)) out.emplace_back(*entered);
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
                        if (const NodeId* child = std::get<ObjectNode>(e.v).find(key))
                            if (auto entered = enter(*child)) out.emplace_back(*entered);
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

    static std::expected<bool, Failure> value_child(const RV& value, const std::string& key, std::vector<Layer>& out) {
        if (!value.is_object()) return false;
        const auto& members = value.object().members;
        if (auto it = members.find(key); it != members.end()) out.emplace_back(it->second);
        return true;
    }

    // The merge of layers, newest first, stopping at the first value that is not an object.
    Result fold(const std::vector<Layer>& layers) {
        std::optional<RV> merged;
        for (const Layer& layer : layers) {
            if (merged && !merged->is_object()) break;
            std::optional<RV> value;
            if (const RV* v = std::get_if<RV>(&layer)) {
                value = *v;
            } else {
                const Slot slot = std::get<Slot>(layer);
                Result r = resolve(slot.id, slot.hidden);
                if (!r) return r;
                value = std::move(*r);
            }
            if (!value) continue;
            if (!merged) {
                merged = std::move(value);
            } else {
                auto m = merge(*merged, *value, {});
                if (!m) return std::unexpected(std::move(m.error()));
                merged = std::move(*m);
            }
        }
        return merged;
    }

    // ---- merge stacks

    // Element i (counted from the newest) of a merge stack, seeing the stack below it in place
    // of the field.
    Result resolve_element(NodeId merge_id, std::size_t i, NodeId element) {
        overrides_.emplace_back(merge_id, i + 1);
        Result r = resolve(element);
        overrides_.pop_back();
        return r;
    }

    Result resolve_merge(NodeId id, std::size_t hidden) {
        const Node& n = node(id);
        const auto& stack = std::get<MergeNode>(n.v).stack;
        auto element_at = [&](std::size_t i) { return stack[stack.size() - 1 - i]; };
        auto direct_append = [&](std::size_t i) {
            const Node& e = node(element_at(i));
            return e.kind() == Node::Kind::Append && std::get<AppendNode>(e.v).direct;
        };

        if (hidden < stack.size() && direct_append(hidden)) return resolve_appends(id, hidden);

        std::optional<RV> merged;
        for (std::size_t i = hidden; i < stack.size(); ++i) {
            if (merged && !merged->is_object()) break;
            const NodeId element = element_at(i);
            Result r = node(element).unmergeable() ? resolve_element(id, i, element) : resolve(element);
            if (!r) return r;
            if (!*r) continue;
            if (!merged) {
                merged = std::move(*r);
            } else {
                auto m = merge(*merged, **r, n.where);
                if (!m) return std::unexpected(std::move(m.error()));
                merged = std::move(*m);
            }
        }
        return merged;
    }

    // A run of "+=" fields on one key, each appending to the one before. Resolving them one
    // inside the other would nest as deeply as the run is long and copy the array at every
    // step; instead the oldest is resolved as usual and the newer ones append their elements.
    Result resolve_appends(NodeId id, std::size_t hidden) {
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
        std::vector<RV> items = (*base)->array().items;
        for (std::size_t i = end - 1; i-- > hidden;) {
            const AppendNode& append = std::get<AppendNode>(node(element_at(i)).v);
            overrides_.emplace_back(id, i + 1);
            Result added = resolve(append.array);
            overrides_.pop_back();
            if (!added) return added;
            const auto& more = (*added)->array().items;
            items.insert(items.end(), more.begin(), more.end());
        }
        auto array = make_array(std::move(items), n.where);
        if (!array) return std::unexpected(std::move(array.error()));
        return std::move(*array);
    }

    Result resolve_append(const AppendNode& append, const SourceLocation& where) {
        Result previous = resolve(append.subst);
        if (!previous) return previous;
        Result added = resolve(append.array);
        if (!added) return added;
        if (!*previous) return added;
        if (!(*previous)->is_array())
            return fail(Error(where, std::string("'+=' appends to an array, but the field holds ") +
                                         kind_name(**previous)));
        std::vector<RV> items = (*previous)->array().items;
        const auto& more = (*added)->array().items;
        items.insert(items.end(), more.begin(), more.end());
        auto array = make_array(std::move(items), where);
        if (!array) return std::unexpected(std::move(array.error()));
        return std::move(*array);
    }

    // ---- concatenations

    Result resolve_concat(const ConcatNode& c, const SourceLocation& where) {
        std::vector<std::optional<RV>> parts;
        parts.reserve(c.parts.size());
        bool any_array = false, any_object = false, any_simple = false;
        std::size_t defined = 0;
        for (NodeId part : c.parts) {
            const Node& p = node(part);
            Result r = p.kind() == Node::Kind::Scalar ? scalar(std::get<ScalarNode>(p.v), p.where, false)
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
        if (defined == 0) return std::nullopt;

        if (any_array || any_object) {
            // Between arrays and objects the whitespace separators do not count.
            if (any_simple || (any_array && any_object)) {
                const RV* first = nullptr;
                const RV* clash = nullptr;
                for (const auto& part : parts) {
                    if (!part) continue;
                    if (!first)
                        first = &*part;
                    else if (part->v.index() != first->v.index() && !clash)
                        clash = &*part;
                }
                return fail(Error(where, std::string("cannot concatenate ") + kind_name(*first) + " with " +
                                             kind_name(*clash)));
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
        bool separated = false;
        for (const std::string& sep : c.separators) separated = separated || !sep.empty();
        if (defined == 1 && !separated) {
            for (auto& part : parts)
                if (part) return std::move(*part);
        }
        std::string out;
        for (std::size_t i = 0; i < parts.size(); ++i) {
            if (i > 0) out += c.separators[i - 1];
            if (parts[i]) out += text_of(*parts[i]);
        }
        return RV{std::move(out)};
    }
};

}  // namespace

std::expected<std::shared_ptr<const Tree>, Error> build_tree(const RawObject& root, const ConfigOptions& options) {
    auto tree = std::make_shared<Tree>();
    Builder builder(*tree);
    NodeId document = builder.new_object({});
    if (auto r = builder.fields_into(document, root, Builder::Scope{}); !r) return std::unexpected(r.error());
    if (options.use_environment()) {
        NodeId environment = builder.environment_object();
        tree->root = builder.merge(document, environment);
    } else {
        tree->root = document;
    }
    std::vector<std::string> path;
    builder.mark_direct_appends(tree->root, path);
    tree->value_budget = std::max(min_value_budget, 16 * tree->nodes.size());
    return std::shared_ptr<const Tree>(std::move(tree));
}

std::expected<Value, Error> resolve_tree(const Tree& tree) { return Resolver(tree).run(); }

}  // namespace hocon::detail
