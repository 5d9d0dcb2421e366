#include "hocon/resolve.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "hocon/parser.hpp"
#include "hocon/text.hpp"
#include "hocon/tree.hpp"

extern char** environ;

namespace hocon {

namespace {

using detail::AppendNode;
using detail::bytes_per_value;
using detail::ConcatenationNode;
using detail::ContainerNode;
using detail::max_value_depth;
using detail::MergeNode;
using detail::Node;
using detail::node_of;
using detail::object_of;
using detail::NodeKind;
using detail::NumberNode;
using detail::SubstitutionNode;

// ---------------------------------------------------------------------------------------------
// Resolved values
//
// Resolution works on values that share their subtrees, so that a substitution copies a
// pointer rather than a tree, and whose strings and keys are views of text the document (or the
// resolver, for texts it makes) owns. A value of the document that needs no resolution is one of
// them as it stands, and so is an object or array of the document once its unresolved members are
// resolved. Every container knows its depth and its size in bytes as the budget counts them
// (shared subtrees counted at every place), which bounds both without walking them again.

struct RArray;
struct RObject;

struct RNumber {
    Number value;
    std::string_view text;  // as written, for a concatenation; empty for an integer
};

// An object or array of the document, final as it stands.
struct Final {
    const Value* value;
};

// An object or array of the document whose unresolved members are resolved: its members are its
// final ones as they stand and the values of the others.
struct Held {
    const ContainerNode* node;
    std::size_t bytes;
    std::size_t depth;
};

// The alternatives of RV::v, by index: undefined (nothing), then the kinds in their order there.
enum RVKind : std::size_t { kNothing, kBoolean, kNumber, kString, kArray, kObject, kFinal, kHeld };

struct RV {
    std::variant<std::monostate, bool, RNumber, std::string_view, std::shared_ptr<const RArray>,
                 std::shared_ptr<const RObject>, Final, Held>
        v;

    bool is_object() const;
    bool is_array() const;
};

struct RArray {
    std::vector<RV> items;
    std::size_t bytes = bytes_per_value;
    std::size_t depth = 1;
};

using Members = std::vector<std::pair<std::string_view, RV>>;

// Members sorted by key, byte order, keys unique.
struct RObject {
    Members members;
    std::size_t bytes = bytes_per_value;
    std::size_t depth = 1;
};

bool RV::is_object() const {
    switch (v.index()) {
        case kObject: return true;
        case kFinal: return std::get<kFinal>(v).value->is_object();
        case kHeld: return std::get<kHeld>(v).node->kind == NodeKind::Object;
        default: return false;
    }
}

bool RV::is_array() const {
    switch (v.index()) {
        case kArray: return true;
        case kFinal: return std::get<kFinal>(v).value->is_array();
        case kHeld: return std::get<kHeld>(v).node->kind == NodeKind::Array;
        default: return false;
    }
}

// The value of a resolved node: 1 + its index in the resolver's list, or 0 for undefined.
const RV* memo_value(const Node& node, const std::vector<RV>& values) {
    return node.resolved == 0 ? nullptr : &values[node.resolved - 1];
}

// A final value as a resolved one.
RV final_value(const Value& value) {
    switch (value.kind()) {
        case Value::Kind::Boolean: return RV{*value.as_boolean()};
        case Value::Kind::Number: {
            const NumberValue& number = *value.as_number_value();
            return RV{RNumber{number.number, number.written()}};
        }
        case Value::Kind::String: return RV{std::string_view(*value.as_string())};
        case Value::Kind::Array:
        case Value::Kind::Object: return RV{Final{&value}};
        default: return RV{};
    }
}

// The members of an object value, in key order, each as a resolved value; undefined members of a
// held object are not there.
template <class Visit>
void for_each_member(const RV& object, const std::vector<RV>& values, Visit&& visit) {
    switch (object.v.index()) {
        case kObject:
            for (const auto& [key, member] : std::get<kObject>(object.v)->members) visit(key, member);
            return;
        case kFinal:
            for (const auto& [key, member] : *std::get<kFinal>(object.v).value->as_object())
                visit(std::string_view(key), final_value(member));
            return;
        case kHeld:
            for (const auto& [key, member] : *std::get<kHeld>(object.v).node->value.as_object()) {
                if (const Node* node = node_of(member)) {
                    if (const RV* resolved = memo_value(*node, values)) visit(std::string_view(key), *resolved);
                } else {
                    visit(std::string_view(key), final_value(member));
                }
            }
            return;
        default:
            return;
    }
}

// The elements of an array value, in order.
template <class Visit>
void for_each_item(const RV& array, const std::vector<RV>& values, Visit&& visit) {
    switch (array.v.index()) {
        case kArray:
            for (const RV& item : std::get<kArray>(array.v)->items) visit(item);
            return;
        case kFinal:
            for (const Value& element : *std::get<kFinal>(array.v).value->as_array()) visit(final_value(element));
            return;
        case kHeld:
            for (const Value& element : *std::get<kHeld>(array.v).node->value.as_array()) {
                if (const Node* node = node_of(element)) {
                    if (const RV* resolved = memo_value(*node, values)) visit(*resolved);
                } else {
                    visit(final_value(element));
                }
            }
            return;
        default:
            return;
    }
}

const char* kind_name(const RV& v) {
    if (v.is_object()) return "an object";
    if (v.is_array()) return "an array";
    switch (v.v.index()) {
        case kNothing: return "null";
        case kBoolean: return "a boolean";
        case kNumber: return "a number";
        default: return "a string";
    }
}

// ---------------------------------------------------------------------------------------------
// Resolution

// A failed step. A cycle travels up without a message until the innermost substitution on
// the way takes it: an optional one reads it as undefined, a required one reports it.
struct Problem {
    Error error;
    bool cycle = false;
    std::vector<const SubstitutionNode*> substitutions;  // of the cycle, in the order they were entered
    bool through_container = false;                      // the cycle closed at an object or array holding it
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

[[gnu::noinline, gnu::cold]] std::unexpected<Failure> fail_cycle(const std::vector<const SubstitutionNode*>& trace,
                                                                  std::size_t from, bool through_container) {
    return std::unexpected(std::make_unique<Problem>(
        Problem{Error(), true,
                std::vector<const SubstitutionNode*>(trace.begin() + static_cast<std::ptrdiff_t>(from), trace.end()),
                through_container}));
}

std::string describe(const SubstitutionNode& s) {
    std::vector<std::string> written(s.path.begin() + static_cast<std::ptrdiff_t>(s.prefix), s.path.end());
    return std::string(s.optional ? "${?" : "${") + detail::Key(std::move(written)).text() + "}";
}

class Resolver {
public:
    Resolver(Value& root, std::size_t byte_budget)
        : root_(root), memory_(detail::memory_of(root)), byte_budget_(byte_budget) {}

    std::expected<void, Error> run() {
        Result root = resolve(root_);
        if (!root) {
            if (root.error()->cycle) return std::unexpected(Error("the configuration holds a cycle of substitutions"));
            return std::unexpected(std::move(root.error()->error));
        }
        // Each unresolved value gives way to what it stands for. The nodes replaced are kept
        // until every place is done: a copy made later may read the values they hold.
        std::vector<Value> replaced;
        put_in_place(root_, replaced);
        settle(root_);
        return {};
    }

private:
    struct Memo {
        Node::State state = Node::State::Open;
        std::uint32_t trace_mark = 0;
        std::uint32_t value = 0;
    };

    // A place where a lookup has arrived: a value of the document (for a merge stack, without
    // its `hidden` newest elements) or a value already resolved.
    struct Slot {
        const Value* value;
        std::size_t hidden;
    };
    using Layer = std::variant<Slot, RV>;

    Value& root_;
    TreeMemory* memory_;  // the document's, which what resolution puts in it is made from
    std::size_t byte_budget_;
    std::vector<RV> values_;                                    // values of resolved nodes
    std::map<std::pair<const Node*, std::size_t>, Memo> rest_;  // merge stacks without their newest elements
    std::deque<std::string> texts_;                             // strings made by resolution
    // While an element of a merge stack is resolved, lookups see that stack without the
    // element and everything newer: that is how a field refers to its own earlier value.
    std::vector<std::pair<const Node*, std::size_t>> overrides_;
    std::vector<const SubstitutionNode*> trace_;  // substitutions being resolved, outermost first
    std::vector<std::optional<RV>> concat_parts_;  // the parts of the concatenations being resolved
    std::size_t depth_ = 0;
    std::size_t produced_ = 0;  // bytes made so far, as the budget counts them
    // The measure of the document's final objects and arrays that resolution met.
    std::unordered_map<const Value*, std::pair<std::size_t, std::size_t>> measures_;

    // A string made by resolution; its text must have been charged.
    std::string_view own(std::string text) { return texts_.emplace_back(std::move(text)); }

    // The text a simple value contributes to a string concatenation.
    std::string_view text_of(const RV& v) {
        switch (v.v.index()) {
            case kNothing: return "null";
            case kBoolean: return std::get<kBoolean>(v.v) ? "true" : "false";
            case kNumber: {
                // A number read from a text keeps its literal; an integer is its digits.
                const RNumber& number = std::get<kNumber>(v.v);
                if (!number.text.empty()) return number.text;
                if (const double* d = std::get_if<double>(&number.value)) {
                    char buffer[32];
                    const auto end = std::to_chars(buffer, buffer + sizeof buffer, *d).ptr;
                    return own(std::string(buffer, end));
                }
                return own(std::visit([](auto n) { return std::to_string(n); }, number.value));
            }
            default: return std::get<kString>(v.v);
        }
    }

    // The bytes and depth of a final object or array, as the budget counts them. One that a
    // substitution reached may be reached again, and is walked once; one that stands in a
    // resolved container is met only there, and is walked without keeping the figure.
    std::pair<std::size_t, std::size_t> measure(const Value& value) {
        if (auto it = measures_.find(&value); it != measures_.end()) return it->second;
        return measures_[&value] = measure_once(value);
    }

    static std::pair<std::size_t, std::size_t> measure_once(const Value& value) {
        std::size_t bytes = bytes_per_value;
        std::size_t depth = 1;
        auto add = [&](const Value& member) {
            const auto [b, d] = measure_member(member);
            bytes += b;
            depth = std::max(depth, d + 1);
        };
        if (const Value::Array* elements = value.as_array()) {
            for (const Value& element : *elements) add(element);
        } else {
            for (const auto& [key, member] : *value.as_object()) {
                bytes += key.size();
                add(member);
            }
        }
        return {bytes, depth};
    }

    // The bytes and depth of a final value: 0 deep for a scalar.
    static std::pair<std::size_t, std::size_t> measure_member(const Value& member) {
        if (member.is_array() || member.is_object()) return measure_once(member);
        return {bytes_per_value + (member.is_string() ? member.as_string()->size() : 0), 0};
    }

    // The bytes and depth of a member of a resolved container, if it is defined.
    std::optional<std::pair<std::size_t, std::size_t>> measure_in_place(const Value& member) {
        const Node* node = node_of(member);
        if (node == nullptr) return measure_member(member);
        const RV* resolved = memo_value(*node, values_);
        if (resolved == nullptr) return std::nullopt;
        return std::pair{bytes_of(*resolved), depth_of(*resolved)};
    }

    std::size_t bytes_of(const RV& v) {
        switch (v.v.index()) {
            case kString: return bytes_per_value + std::get<kString>(v.v).size();
            case kArray: return std::get<kArray>(v.v)->bytes;
            case kObject: return std::get<kObject>(v.v)->bytes;
            case kFinal: return measure(*std::get<kFinal>(v.v).value).first;
            case kHeld: return std::get<kHeld>(v.v).bytes;
            default: return bytes_per_value;
        }
    }

    std::size_t depth_of(const RV& v) {
        switch (v.v.index()) {
            case kArray: return std::get<kArray>(v.v)->depth;
            case kObject: return std::get<kObject>(v.v)->depth;
            case kFinal: return measure(*std::get<kFinal>(v.v).value).second;
            case kHeld: return std::get<kHeld>(v.v).depth;
            default: return 0;
        }
    }

    // The member of an object value under `key`, if it has one.
    std::optional<RV> member_of(const RV& object, std::string_view key) {
        switch (object.v.index()) {
            case kObject: {
                const Members& members = std::get<kObject>(object.v)->members;
                auto it = std::lower_bound(members.begin(), members.end(), key,
                                           [](const auto& member, std::string_view k) { return member.first < k; });
                if (it != members.end() && it->first == key) return it->second;
                return std::nullopt;
            }
            case kFinal: {
                const Value::Object& members = *std::get<kFinal>(object.v).value->as_object();
                auto it = members.find(key);
                if (it == members.end()) return std::nullopt;
                return final_value(it->second);
            }
            case kHeld: {
                const Value::Object& members = *std::get<kHeld>(object.v).node->value.as_object();
                auto it = members.find(key);
                if (it == members.end()) return std::nullopt;
                if (const Node* node = node_of(it->second)) {
                    if (const RV* resolved = memo_value(*node, values_)) return *resolved;
                    return std::nullopt;
                }
                return final_value(it->second);
            }
            default:
                return std::nullopt;
        }
    }

    // Counts bytes that a step makes. Counting every container and string made, not only what
    // the result keeps, keeps repeated copies and discarded intermediate values in view too.
    std::expected<void, Failure> charge(std::size_t bytes, const SourceLocation& where) {
        produced_ += bytes;
        if (produced_ > byte_budget_) return fail_budget(where);
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
        if (bytes > byte_budget_) return fail_budget(where);
        return {};
    }

    // `top` written over `bottom`: objects merge key by key, anything else hides what is below.
    std::expected<RV, Failure> merge(const RV& top, const RV& bottom, const SourceLocation& where) {
        if (!top.is_object() || !bottom.is_object()) return top;
        Members a, b;
        for_each_member(top, values_, [&](std::string_view key, const RV& member) { a.emplace_back(key, member); });
        for_each_member(bottom, values_, [&](std::string_view key, const RV& member) { b.emplace_back(key, member); });
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

    Result resolve(const Value& value, std::size_t hidden = 0) {
        Node* node = node_of(value);
        if (node == nullptr) return final_value(value);
        return resolve_node(*node, hidden);
    }

    Result resolve_node(Node& n, std::size_t hidden = 0) {
        // A merge stack without its newest elements is recorded apart from the node (a map's
        // records stay where they are as it grows).
        Memo* rest = hidden != 0 ? &rest_[{&n, hidden}] : nullptr;
        Node::State& state = rest ? rest->state : n.state;
        std::uint32_t& trace_mark = rest ? rest->trace_mark : n.trace_mark;
        std::uint32_t& stored = rest ? rest->value : n.resolved;
        if (state == Node::State::Done) {
            if (stored == 0) return std::nullopt;
            return values_[stored - 1];
        }
        if (state == Node::State::Busy)
            return fail_cycle(trace_, trace_mark, n.kind == NodeKind::Object || n.kind == NodeKind::Array);
        if (depth_ >= max_resolve_depth)
            return fail_at(n.where, {"substitutions and nested values go deeper than the limit of ",
                                     std::to_string(max_resolve_depth), " steps"});
        ++depth_;
        state = Node::State::Busy;
        trace_mark = static_cast<std::uint32_t>(trace_.size());
        Result result = compute(n, hidden);
        --depth_;
        if (result) {
            state = Node::State::Done;
            if (*result) {
                values_.push_back(**result);
                stored = static_cast<std::uint32_t>(values_.size());
            }
        } else {
            state = Node::State::Open;
        }
        return result;
    }

    // A number that is no finite double stays text where the literal is all that counts (inside
    // a concatenation) and is an error as a value of its own.
    Result number(const NumberNode& n, bool standalone) {
        if (n.number) return RV{RNumber{*n.number, n.literal}};
        if (!standalone) return RV{std::string_view(n.literal)};
        return fail_at(n.where, {"the number ", n.literal, " is out of range"});
    }

    Result compute(Node& n, std::size_t hidden) {
        switch (n.kind) {
            case NodeKind::Object: return resolve_object(static_cast<const ContainerNode&>(n));
            case NodeKind::Array: return resolve_array(static_cast<const ContainerNode&>(n));
            case NodeKind::Substitution: return resolve_subst(static_cast<const SubstitutionNode&>(n));
            case NodeKind::Concatenation: return resolve_concat(static_cast<const ConcatenationNode&>(n));
            case NodeKind::Append: return resolve_append(static_cast<AppendNode&>(n));
            case NodeKind::Merge: return resolve_merge(n, hidden);
            case NodeKind::Number: return number(static_cast<const NumberNode&>(n), true);
        }
        return fail_at(n.where, {"unknown kind of value"});
    }

    // The members that need it are resolved in the order they were first written; the object is
    // then what it holds: its final members as they stand and their values.
    [[gnu::noinline]] Result resolve_object(const ContainerNode& c) {
        const Value::Object& object = *c.value.as_object();
        for (std::uint32_t index : c.pending) {
            Result r = resolve((object.begin() + index)->second);
            if (!r) return r;
        }
        std::size_t bytes = bytes_per_value;
        std::size_t depth = 1;
        std::size_t count = 0;
        for (const auto& [key, member] : object) {
            const auto measured = measure_in_place(member);
            if (!measured) continue;
            ++count;
            bytes += key.size() + measured->first;
            depth = std::max(depth, measured->second + 1);
        }
        if (auto r = check_bounds(bytes, depth, count, c.where); !r) return std::unexpected(std::move(r.error()));
        return RV{Held{&c, bytes, depth}};
    }

    [[gnu::noinline]] Result resolve_array(const ContainerNode& c) {
        std::size_t bytes = bytes_per_value;
        std::size_t depth = 1;
        std::size_t count = 0;
        for (const Value& element : *c.value.as_array()) {
            if (Result r = resolve(element); !r) return r;
            const auto measured = measure_in_place(element);
            if (!measured) continue;
            ++count;
            bytes += measured->first;
            depth = std::max(depth, measured->second + 1);
        }
        if (auto r = check_bounds(bytes, depth, count, c.where); !r) return std::unexpected(std::move(r.error()));
        return RV{Held{&c, bytes, depth}};
    }

    // ---- substitutions

    [[gnu::noinline]] Result resolve_subst(const SubstitutionNode& s) {
        trace_.push_back(&s);
        Result found = lookup_with_fallbacks(s);
        trace_.pop_back();
        if (!found) {
            if (!found.error()->cycle) return found;
            if (s.optional) return std::nullopt;
            return fail_unresolved(s, found.error().get());
        }
        if (*found) return found;
        if (s.optional) return std::nullopt;
        return fail_unresolved(s, nullptr);
    }

    // A required substitution that found nothing, or that is part of the given cycle. A cycle
    // of the substitution alone is either a field that refers to itself without an earlier
    // value, which reads as undefined, or a reference to an object or array that holds it.
    [[gnu::noinline, gnu::cold]] std::unexpected<Failure> fail_unresolved(const SubstitutionNode& s,
                                                                         const Problem* cycle) {
        const std::string written = describe(s);
        if (cycle && cycle->substitutions.size() <= 1 && cycle->through_container)
            return fail_at(s.where, {"could not resolve substitution ", written,
                                     ": it refers to an object or array that contains it"});
        if (!cycle || cycle->substitutions.size() <= 1)
            return fail_at(s.where, {"could not resolve substitution to a value: ", written});
        std::string loop;
        for (const SubstitutionNode* member : cycle->substitutions) loop += describe(*member) + " -> ";
        loop += describe(*cycle->substitutions.front());
        return fail_at(s.where, {"could not resolve substitution ", written, ": it is part of a cycle ", loop});
    }

    [[gnu::noinline, gnu::cold]] std::unexpected<Failure> fail_budget(const SourceLocation& where) const {
        return fail_at(where, {"the resolved configuration grows beyond ", std::to_string(byte_budget_), " bytes"});
    }

    // The path under the include's prefix, then as written, then the environment variable of
    // that name. A field that refers to itself with no earlier value to look back at is
    // undefined there, like a path that is not in the document, so the next place is tried;
    // when none has it, the cycle is what gets reported. A reference to an object or array
    // that contains it has no way out.
    [[gnu::noinline]] Result lookup_with_fallbacks(const SubstitutionNode& s) {
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
        found = environment(s);
        if (settled(found)) return found;
        return miss;
    }

    // The variable named by the path as written, segments joined by "."; only a string.
    [[gnu::noinline]] Result environment(const SubstitutionNode& s) {
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
            return fail_at(s.where, {"the environment variable ", text::printable(name), " is not valid UTF-8"});
        if (auto r = charge(value.size(), s.where); !r) return std::unexpected(std::move(r.error()));
        return RV{own(std::move(value))};
    }

    // Where a lookup enters a value: a merge stack that is being resolved shows only its older
    // elements; one with none left is not there at all.
    std::optional<Slot> enter(const Value& value) const {
        const Node* node = node_of(value);
        if (node == nullptr || node->kind != NodeKind::Merge) return Slot{&value, 0};
        std::size_t hidden = 0;
        for (auto it = overrides_.rbegin(); it != overrides_.rend(); ++it) {
            if (it->first == node) {
                hidden = it->second;
                break;
            }
        }
        if (hidden >= static_cast<const MergeNode*>(node)->stack.size()) return std::nullopt;
        return Slot{&value, hidden};
    }

    // The value at the absolute path made of path[from..]. Only what lies on the path is
    // resolved: objects are walked through, and a value whose kind is unknown is resolved to
    // see whether it is an object.
    [[gnu::noinline]] Result lookup(const detail::Path& path, std::size_t from) {
        // Most paths lead through objects alone, one value at each step: walked without layers.
        const Value* at = &root_;
        for (std::size_t k = from; at != nullptr && k < path.size(); ++k) {
            const Value::Object* object = object_of(*at);
            if (object == nullptr) {
                const Node* node = node_of(*at);
                if (node == nullptr || node->kind == NodeKind::Array || node->kind == NodeKind::Number)
                    return std::nullopt;
                at = nullptr;
                break;
            }
            const auto it = object->find(path[k]);
            if (it == object->end()) return std::nullopt;
            const Node* child = node_of(it->second);
            const bool plain_step = child == nullptr || !(child->kind == NodeKind::Merge ||
                                                          (unmergeable(child) && child->state == Node::State::Busy));
            at = plain_step ? &it->second : nullptr;
        }
        if (at != nullptr) return resolve(*at);
        return lookup_in_layers(path, from);
    }

    // The lookup of any path: the layers are the values that merge at the current step, newest
    // first.
    [[gnu::noinline]] Result lookup_in_layers(const detail::Path& path, std::size_t from) {
        std::vector<Layer> layers{Slot{&root_, 0}};
        std::vector<Layer> next;
        const Node* busy = nullptr;
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
    Result nothing_or_cycle(const Node* busy) {
        if (busy == nullptr) return std::nullopt;
        return fail_cycle(trace_, busy->trace_mark, false);
    }

    static bool unmergeable(const Node* node) {
        return node != nullptr && (node->kind == NodeKind::Substitution || node->kind == NodeKind::Concatenation ||
                                   node->kind == NodeKind::Append);
    }

    // Adds the child of an object to the layers. A substitution, concatenation or append that
    // is being resolved right now is a field referring to itself (perhaps through others): it
    // is passed over, so the lookup sees what older values of the field there are, as it does
    // for the elements of a merge stack. That also holds when the field sits in an object that
    // a later substitution's value separates from the older objects of its parent:
    // o { a += 1 }, o = ${p}, o { a += 2 }.
    void add_child(const Value& child, std::vector<Layer>& out, const Node*& busy) const {
        const Node* node = node_of(child);
        if (unmergeable(node) && node->state == Node::State::Busy) {
            if (busy == nullptr) busy = node;
            return;
        }
        if (auto entered = enter(child)) out.emplace_back(*entered);
    }

    // Adds what a layer holds under key. False when the layer is not an object, which hides
    // every older layer.
    [[gnu::noinline]] std::expected<bool, Failure> children(const Layer& layer, std::string_view key,
                                                             std::vector<Layer>& out, const Node*& busy) {
        if (const RV* value = std::get_if<RV>(&layer)) return value_child(*value, key, out);
        const Slot slot = std::get<Slot>(layer);
        const Value& value = *slot.value;
        if (const Value::Object* object = object_of(value)) {
            if (auto it = object->find(key); it != object->end()) add_child(it->second, out, busy);
            return true;
        }
        const Node* node = node_of(value);
        if (node == nullptr || node->kind == NodeKind::Array || node->kind == NodeKind::Number) return false;
        if (node->kind == NodeKind::Merge) {
            const auto& stack = static_cast<const MergeNode*>(node)->stack;
            for (std::size_t i = slot.hidden; i < stack.size(); ++i) {
                const Value& element = stack[stack.size() - 1 - i];
                if (const Value::Object* object = object_of(element)) {
                    if (auto it = object->find(key); it != object->end()) add_child(it->second, out, busy);
                    continue;
                }
                if (!unmergeable(node_of(element))) return false;
                Result r = resolve_element(*node, i, element);
                if (!r) return std::unexpected(std::move(r.error()));
                if (!*r) continue;
                auto go_on = value_child(**r, key, out);
                if (!go_on || !*go_on) return go_on;
            }
            return true;
        }
        Result r = resolve(value);
        if (!r) return std::unexpected(std::move(r.error()));
        if (!*r) return true;
        return value_child(**r, key, out);
    }

    std::expected<bool, Failure> value_child(const RV& value, std::string_view key, std::vector<Layer>& out) {
        if (!value.is_object()) return false;
        if (auto member = member_of(value, key)) out.emplace_back(std::move(*member));
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
                Result r = resolve(*slot.value, slot.hidden);
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
    [[gnu::noinline]] Result resolve_element(const Node& merge_node, std::size_t i, const Value& element) {
        overrides_.emplace_back(&merge_node, i + 1);
        Result r = resolve(element);
        overrides_.pop_back();
        return r;
    }

    [[gnu::noinline]] Result resolve_merge(const Node& n, std::size_t hidden) {
        const auto& stack = static_cast<const MergeNode&>(n).stack;
        auto element_at = [&](std::size_t i) -> const Value& { return stack[stack.size() - 1 - i]; };

        const Node* newest = node_of(element_at(hidden));
        if (newest != nullptr && newest->kind == NodeKind::Append && newest->direct) return resolve_appends(n, hidden);

        // Newest first, as far as the first value that is not an object: it hides everything
        // older, which is then never evaluated.
        std::vector<RV> values;
        for (std::size_t i = hidden; i < stack.size(); ++i) {
            const Value& element = element_at(i);
            Result r = unmergeable(node_of(element)) ? resolve_element(n, i, element) : resolve(element);
            if (!r) return r;
            if (!*r) continue;
            values.push_back(std::move(**r));
            if (!values.back().is_object()) break;
        }
        return merge_stack(values, n.where);
    }

    // A run of "+=" fields on one key, each appending to the one before. Resolving them one
    // inside the other would nest as deeply as the run is long and copy the array at every
    // step; instead the oldest is resolved as usual and the newer ones append their elements.
    [[gnu::noinline]] Result resolve_appends(const Node& n, std::size_t hidden) {
        const auto& stack = static_cast<const MergeNode&>(n).stack;
        auto element_at = [&](std::size_t i) -> const Value& { return stack[stack.size() - 1 - i]; };
        std::size_t end = hidden;
        while (end < stack.size()) {
            const Node* e = node_of(element_at(end));
            if (e == nullptr || e->kind != NodeKind::Append || !e->direct) break;
            ++end;
        }
        Result base = resolve_element(n, end - 1, element_at(end - 1));
        if (!base) return base;
        std::vector<RV> items;
        if (*base && (*base)->is_array()) for_each_item(**base, values_, [&](const RV& item) { items.push_back(item); });
        for (std::size_t i = end - 1; i-- > hidden;) {
            const AppendNode& append = static_cast<const AppendNode&>(*node_of(element_at(i)));
            overrides_.emplace_back(&n, i + 1);
            Result added = resolve(append.array);
            overrides_.pop_back();
            if (!added) return added;
            if (*added && (*added)->is_array())
                for_each_item(**added, values_, [&](const RV& item) { items.push_back(item); });
        }
        auto array = make_array(std::move(items), n.where);
        if (!array) return std::unexpected(std::move(array.error()));
        return std::move(*array);
    }

    [[gnu::noinline]] Result resolve_append(AppendNode& append) {
        Result previous = resolve_node(append.previous);
        if (!previous) return previous;
        Result added = resolve(append.array);
        if (!added) return added;
        if (!*previous) return added;
        if (!(*previous)->is_array())
            return fail_at(append.where, {"'+=' appends to an array, but the field holds ", kind_name(**previous)});
        std::vector<RV> items;
        for_each_item(**previous, values_, [&](const RV& item) { items.push_back(item); });
        for_each_item(**added, values_, [&](const RV& item) { items.push_back(item); });
        auto array = make_array(std::move(items), append.where);
        if (!array) return std::unexpected(std::move(array.error()));
        return std::move(*array);
    }

    // ---- concatenations

    [[gnu::noinline]] Result resolve_concat(const ConcatenationNode& c) {
        const SourceLocation& where = c.where;
        // The parts' values go on a list shared by the concatenations open inside each other.
        const std::size_t base = concat_parts_.size();
        struct Restore {
            std::vector<std::optional<RV>>& parts;
            std::size_t size;
            ~Restore() { parts.resize(size); }
        } restore{concat_parts_, base};
        bool any_array = false, any_object = false, any_simple = false;
        std::size_t defined = 0;
        for (const Value& part : c.parts) {
            const Node* node = node_of(part);
            Result r = node != nullptr && node->kind == NodeKind::Number
                           ? number(static_cast<const NumberNode&>(*node), false)
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
            concat_parts_.push_back(std::move(*r));
        }
        const std::span<const std::optional<RV>> parts(concat_parts_.data() + base, c.parts.size());
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
                    if (part) for_each_item(*part, values_, [&](const RV& item) { items.push_back(item); });
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

    // ---- the resolved document

    // A resolved value as a value of the document, made in out (which must be null).
    void to_value_into(Value& out, const RV& v) {
        switch (v.v.index()) {
            case kNothing: return;
            case kBoolean: out.node().emplace<bool>(std::get<kBoolean>(v.v)); return;
            case kNumber: out.node().emplace<NumberValue>(NumberValue{std::get<kNumber>(v.v).value}); return;
            case kString: out.node().emplace<std::string>(std::get<kString>(v.v)); return;
            case kFinal: out = *std::get<kFinal>(v.v).value; return;
            default:
                break;
        }
        if (v.is_array()) {
            std::size_t count = 0;
            for_each_item(v, values_, [&](const RV&) { ++count; });
            auto& array = out.node().emplace<Value::Array>(TreeAllocator<Value>(memory_));
            array.reserve(count);
            for_each_item(v, values_, [&](const RV& item) { to_value_into(array.emplace_back(), item); });
            return;
        }
        auto& object = out.node().emplace<Value::Object>(memory_);
        for_each_member(v, values_, [&](std::string_view key, const RV& member) { to_value_into(object.append(key), member); });
    }

    // Puts in the unresolved places of `value` (an object or array of the document, as it stands
    // or held) the values they stand for; the nodes they held go to `replaced`. The document's own
    // objects and arrays that hold unresolved places are kept, and only those places change.
    void put_in_place(Value& value, std::vector<Value>& replaced) {
        Node* node = node_of(value);
        if (node == nullptr) return;
        if (node->kind != NodeKind::Object && node->kind != NodeKind::Array) {
            if (const RV* resolved = memo_value(*node, values_)) {
                Value made;
                to_value_into(made, *resolved);
                replaced.push_back(std::exchange(value, std::move(made)));
            }
            return;
        }
        Value& held = static_cast<ContainerNode*>(node)->value;
        if (Value::Array* elements = held.as_array()) {
            for (Value& element : *elements) put_in_place(element, replaced);
        } else {
            for (auto& member : *held.as_object()) put_in_place(member.second, replaced);
        }
    }

    // Takes the held objects and arrays out of their nodes, without the places whose values are
    // undefined (which are unresolved still).
    void settle(Value& value) {
        Node* node = node_of(value);
        if (node == nullptr || (node->kind != NodeKind::Object && node->kind != NodeKind::Array)) return;
        Value held = std::move(static_cast<ContainerNode*>(node)->value);
        if (Value::Array* elements = held.as_array()) {
            for (Value& element : *elements) settle(element);
            std::erase_if(*elements, [](const Value& element) { return element.is_unresolved(); });
        } else {
            Value::Object& object = *held.as_object();
            bool undefined = false;
            for (auto& member : object) {
                settle(member.second);
                undefined = undefined || member.second.is_unresolved();
            }
            if (undefined) {
                Value::Object kept(memory_);
                kept.reserve(object.size());
                for (auto& [key, member] : object)
                    if (!member.is_unresolved()) kept.append(key, std::move(member));
                object = std::move(kept);
            }
        }
        value = std::move(held);
    }
};

// Marks the appends whose substitution names their own merge stack, walking from the root
// through objects (the only route on which the path leads to that stack alone).
void mark_direct_appends(const Value& value, std::vector<std::string_view>& path) {
    const Node* node = node_of(value);
    if (node == nullptr) return;
    if (node->kind == NodeKind::Object) {
        for (const auto& [key, child] : *static_cast<const ContainerNode*>(node)->value.as_object()) {
            const Node* child_node = node_of(child);
            if (child_node == nullptr || (child_node->kind != NodeKind::Object && child_node->kind != NodeKind::Merge))
                continue;
            path.push_back(key);
            mark_direct_appends(child, path);
            path.pop_back();
        }
    } else if (node->kind == NodeKind::Merge) {
        for (const Value& element : static_cast<const MergeNode*>(node)->stack) {
            Node* element_node = node_of(element);
            if (element_node == nullptr || element_node->kind != NodeKind::Append) continue;
            const auto& target = static_cast<AppendNode*>(element_node)->previous.path;
            element_node->direct = std::equal(target.begin(), target.end(), path.begin(), path.end());
        }
    }
}

// The environment as an object: each variable's name split on "." like a properties key,
// every value a string, and where a name is both a value and the parent of others the
// object wins. Variables that are not UTF-8 cannot be strings and are left out.
Value environment_object(TreeMemory* memory, std::size_t& measure) {
    // Written as fields, shorter names first: a parent's own value then comes before the names
    // below it, whose object hides it.
    std::vector<std::pair<std::vector<std::string>, std::string_view>> variables;
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
        measure += 2 * bytes_per_value + line.size();
        variables.emplace_back(std::move(path), line.substr(eq + 1));
    }
    std::stable_sort(variables.begin(), variables.end(),
                     [](const auto& a, const auto& b) { return a.first.size() < b.first.size(); });
    ObjectBuilder root(memory);
    for (auto& [path, value] : variables) {
        detail::Field& field = root.add();
        field.key = path.size() == 1 ? detail::Key(std::move(path.front())) : detail::Key(std::move(path));
        field.value = Value(std::string(value));
    }
    return root.close(SourceLocation{});
}

}  // namespace

std::expected<Value, Error> resolve(Document document, const ConfigOptions& options) {
    Value& root = document.root;
    std::size_t measure = document.stats.measure;
    if (options.use_environment()) {
        TreeMemory* memory = detail::memory_of(root);
        root = detail::merge(memory, environment_object(memory, measure), std::move(root), SourceLocation{});
    }
    if (!root.is_unresolved()) return std::move(root);
    if (document.stats.appends) {
        std::vector<std::string_view> path;
        mark_direct_appends(root, path);
    }
    Resolver resolver(root, std::max(detail::min_byte_budget, detail::budget_factor * measure));
    if (auto r = resolver.run(); !r) return std::unexpected(std::move(r.error()));
    return std::move(root);
}

std::expected<Value, Error> load(const std::string& path, const ConfigOptions& options) {
    auto document = parse_file(path, options);
    if (!document) return std::unexpected(std::move(document.error()));
    return resolve(std::move(*document), options);
}

}  // namespace hocon
