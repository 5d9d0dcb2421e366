#include "render/compile.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "render/template.hpp"
#include "support/inline_stack.hpp"

namespace veskora::render::compile {
namespace {

constexpr std::string_view kValueMember = "value";
constexpr std::string_view kWeightMember = "weight";

// A structured loop body is compiled once for every place its marker stands in, so markers
// copied by substitutions into bodies of other blocks multiply the work. This bounds the values
// compiled from loop bodies within one top-level value.
constexpr std::size_t kMaxLoopBodyValues = std::size_t{1} << 20;

RenderError too_deep() {
    return RenderError::unsupported_value("values nest deeper than the limit of " +
                                          std::to_string(kMaxValueNesting) + " levels");
}

bool is_container(const hocon::Value& value) { return value.is_array() || value.is_object(); }

// An object that marks its array as weighted: it has a "value" or a "weight" member.
bool is_weighted_entry(const hocon::Value& value) {
    const auto* object = value.as_object();
    return object != nullptr &&
           (object->contains(kValueMember) || object->contains(kWeightMember));
}

NodePtr placeholder(support::Arena& arena, std::string_view kind) { return arena.make<UnsupportedValueNode>(arena, kind); }

// ---- text nodes ----

// What the text side compiles with: the arena its nodes are made in, the processors, and the
// templates the structured tree has compiled from the same values (null when none are to be
// reused).
struct TextContext {
    support::Arena& arena;
    const ProcessorMap& processors;
    const CompiledTexts* compiled = nullptr;
};

Result<NodePtr> text_node(const hocon::Value& value, const TextContext& context, std::size_t depth);

// The elements the structured tree compiled from the array value; none when it compiled none.
std::optional<CompiledTexts::Elements> tree_elements(const hocon::Value& array, const TextContext& context) {
    return context.compiled != nullptr ? context.compiled->find_elements(array) : std::nullopt;
}

// Whether every element is a string that the tree compiled to a template (not a loop marker).
bool all_templates(const hocon::Value::Array& elements, CompiledTexts::Elements tree) {
    return std::ranges::all_of(elements, &hocon::Value::is_string) &&
           std::ranges::all_of(tree, &StructuredArrayEntry::value_node);
}

// The weight of an object entry of a weighted array, checked to be exactly {value, weight}
// with a finite, non-negative numeric weight.
Result<double> entry_weight(const hocon::Value::Object& object) {
    const auto value_it = object.find(kValueMember);
    const auto weight_it = object.find(kWeightMember);
    if (value_it == object.end() && weight_it == object.end()) {
        return std::unexpected(RenderError::invalid_weighted_choice(
            "object entries in weighted arrays must use value and weight"));
    }
    if (value_it == object.end() || weight_it == object.end() || object.size() != 2) {
        return std::unexpected(RenderError::invalid_weighted_choice(
            "weighted entries must contain only value and weight"));
    }

    const auto* number = weight_it->second.as_number();
    if (number == nullptr) {
        return std::unexpected(RenderError::invalid_weighted_choice("weight must be numeric"));
    }
    const double weight = std::visit([](auto n) { return static_cast<double>(n); }, *number);
    if (!std::isfinite(weight) || weight < 0.0) {
        return std::unexpected(
            RenderError::invalid_weighted_choice("weight must be finite and non-negative"));
    }
    return weight;
}

Result<WeightedEntry> weighted_entry(const hocon::Value& element, const TextContext& context,
                                     std::size_t depth) {
    const auto* object = element.as_object();
    if (object == nullptr) {
        auto node = text_node(element, context, depth);
        if (!node) return std::unexpected(std::move(node.error()));
        return WeightedEntry{std::move(*node), 1.0};
    }
    if (depth >= kMaxValueNesting) return std::unexpected(too_deep());
    auto weight = entry_weight(*object);
    if (!weight) return std::unexpected(std::move(weight.error()));
    auto node = text_node(object->find(kValueMember)->second, context, depth + 1);
    if (!node) return std::unexpected(std::move(node.error()));
    return WeightedEntry{std::move(*node), *weight};
}

// Whether every element is an object with a string value, which the tree compiled to a
// template: the choice can then draw among the tree's templates. Values compile without fault
// there, since the tree compiled them first, so only each entry's shape and weight are left to
// check, as entry_weight checks them for either kind of choice.
bool all_weighted_templates(const hocon::Value::Array& elements, std::size_t depth) {
    return depth < kMaxValueNesting && std::ranges::all_of(elements, [](const hocon::Value& element) {
               const auto* object = element.as_object();
               if (object == nullptr) return false;
               const auto value_it = object->find(kValueMember);
               return value_it != object->end() && value_it->second.is_string();
           });
}

Result<NodePtr> tree_weighted_node(support::Arena& arena, const hocon::Value::Array& elements,
                                   CompiledTexts::Elements tree) {
    std::vector<double> weights;
    weights.reserve(elements.size());
    for (const auto& element : elements) {
        auto weight = entry_weight(*element.as_object());
        if (!weight) return std::unexpected(std::move(weight.error()));
        weights.push_back(*weight);
    }
    auto node = TreeWeightedChoiceNode::create(arena, tree, std::move(weights));
    if (!node) return std::unexpected(std::move(node.error()));
    return NodePtr(*node);
}

Result<NodePtr> weighted_node(const hocon::Value::Array& elements, const TextContext& context,
                              std::size_t depth) {
    std::vector<WeightedEntry> entries;
    entries.reserve(elements.size());
    for (const auto& element : elements) {
        auto entry = weighted_entry(element, context, depth);
        if (!entry) return std::unexpected(std::move(entry.error()));
        entries.push_back(std::move(*entry));
    }
    auto node = WeightedChoiceNode::create(context.arena, std::move(entries));
    if (!node) return std::unexpected(std::move(node.error()));
    return NodePtr(*node);
}

// `depth` counts the arrays and objects around the value.
Result<NodePtr> text_node(const hocon::Value& value, const TextContext& context, std::size_t depth) {
    if (is_container(value) && depth >= kMaxValueNesting) return std::unexpected(too_deep());
    switch (value.kind()) {
        case hocon::Value::Kind::String:
            if (context.compiled != nullptr) {
                if (const TextGeneratorNode* compiled = context.compiled->find(value)) {
                    return NodePtr(context.arena.make<TemplateRefNode>(*compiled));
                }
            }
            return templates::template_to_node(context.arena, *value.as_string(), context.processors);
        case hocon::Value::Kind::Object:
            return placeholder(context.arena, "object");
        case hocon::Value::Kind::Boolean:
            return NodePtr(context.arena.make<LiteralNode>(context.arena, *value.as_boolean() ? "true" : "false"));
        case hocon::Value::Kind::Null:
            return NodePtr(context.arena.make<LiteralNode>(context.arena, "null"));
        case hocon::Value::Kind::Unresolved:  // a loaded document holds none
            break;
        case hocon::Value::Kind::Number: {
            auto number = document_number(*value.as_number());
            if (!number) return std::unexpected(std::move(number.error()));
            return NodePtr(context.arena.make<LiteralNode>(context.arena, number_text(*number)));
        }
        case hocon::Value::Kind::Array: {
            const auto& elements = *value.as_array();
            bool weighted = false;
            for (const auto& element : elements) {
                if (is_weighted_entry(element)) {
                    weighted = true;
                    break;
                }
            }
            const auto tree = tree_elements(value, context);
            if (weighted) {
                if (tree && all_weighted_templates(elements, depth + 1)) {
                    return tree_weighted_node(context.arena, elements, *tree);
                }
                return weighted_node(elements, context, depth + 1);
            }
            if (tree && all_templates(elements, *tree)) return NodePtr(context.arena.make<TreeChoiceNode>(*tree));
            NodeList choices(context.arena);
            choices.reserve(elements.size());
            for (const auto& element : elements) {
                auto node = text_node(element, context, depth + 1);
                if (!node) return std::unexpected(std::move(node.error()));
                choices.push_back(*node);
            }
            return NodePtr(context.arena.make<ChoiceNode>(std::move(choices)));
        }
    }
    return std::unexpected(RenderError::unsupported_value("unknown value kind"));
}

// ---- registration ----

// The registering functions below list each name with its node, in order, and take the name of
// the value at hand in a buffer that they lengthen by ".key" for each member and shorten again:
// the list copies each name, so a value's members take no string of their own.

void add(NamedNodes& out, std::string_view name, NodePtr node) {
    out.emplace_back(support::CompactText(out.arena(), name), node);
}

Result<void> insert_child(NamedNodes& out, std::string& name, const hocon::Value& value,
                          const TextContext& context, const LoopMarkerIndex& loops,
                          std::size_t depth);

// Every member under its dotted name, then the "object" placeholder under the name.
template <class InsertMember>
Result<void> insert_object(NamedNodes& out, std::string& name, const hocon::Value::Object& members,
                           std::size_t depth, InsertMember insert_member) {
    if (depth >= kMaxValueNesting) return std::unexpected(too_deep());
    const std::size_t length = name.size();
    for (const auto& [key, member] : members) {
        name += '.';
        name += key;
        auto inserted = insert_member(name, member, depth + 1);
        name.resize(length);
        if (!inserted) return inserted;
    }
    add(out, name, placeholder(out.arena(), "object"));
    return {};
}

Result<void> insert_compiled(NamedNodes& out, std::string_view name, const hocon::Value& value,
                             const TextContext& context, std::size_t depth) {
    auto node = text_node(value, context, depth);
    if (!node) return std::unexpected(std::move(node.error()));
    add(out, name, std::move(*node));
    return {};
}

Result<void> insert_child(NamedNodes& out, std::string& name, const hocon::Value& value,
                          const TextContext& context, const LoopMarkerIndex& loops,
                          std::size_t depth) {
    if (const auto* members = value.as_object()) {
        return insert_object(out, name, *members, depth,
                             [&](std::string& member_name, const hocon::Value& member, std::size_t d) {
                                 return insert_child(out, member_name, member, context, loops, d);
                             });
    }
    if (value.is_array()) {
        if (contains_template_loop(value, loops)) {
            add(out, name, placeholder(out.arena(), "array"));
            return {};
        }
        auto node = text_node(value, context, depth);
        if (!node) {
            if (node.error().kind() != RenderError::Kind::InvalidWeightedChoice) {
                return std::unexpected(std::move(node.error()));
            }
            // A member array that cannot be a text rule is kept as a placeholder: the member is
            // still reachable in the structured tree.
            add(out, name, placeholder(out.arena(), "array"));
            return {};
        }
        add(out, name, std::move(*node));
        return {};
    }
    return insert_compiled(out, name, value, context, depth);
}

Result<void> insert_context(NamedNodes& out, std::string& name, const hocon::Value& value,
                            const TextContext& context, std::size_t depth) {
    if (const auto* members = value.as_object()) {
        return insert_object(out, name, *members, depth,
                             [&](std::string& member_name, const hocon::Value& member, std::size_t d) {
                                 return insert_context(out, member_name, member, context, d);
                             });
    }
    return insert_compiled(out, name, value, context, depth);
}

// ---- structured nodes ----

class StructuredCompiler {
public:
    // The tree and its templates are made in `arena`. Each template compiled for the document
    // itself (not for a loop body) is noted in `compiled`, when given, for the text rules of the
    // same value.
    StructuredCompiler(support::Arena& arena, const ProcessorMap& processors, const LoopMarkerIndex& loops,
                       CompiledTexts* compiled = nullptr)
        : arena_(arena), processors_(processors), loops_(loops), compiled_(compiled) {}

    // Values are only read: the text rules are compiled from the same value afterwards.
    Result<StructuredNode> node(const hocon::Value& value, std::size_t depth) {
        if (body_depth_ > 0 && ++body_values_ > kMaxLoopBodyValues) {
            return std::unexpected(RenderError::invalid_template(
                "structured loop bodies expand to more than " +
                std::to_string(kMaxLoopBodyValues) + " values"));
        }
        if (is_container(value) && depth >= kMaxValueNesting) return std::unexpected(too_deep());
        switch (value.kind()) {
            case hocon::Value::Kind::Object: {
                StructuredNode::Object members(arena_);
                members.reserve(value.as_object()->size());
                for (auto& [key, member] : *value.as_object()) {
                    auto compiled = node(member, depth + 1);
                    if (!compiled) return std::unexpected(std::move(compiled.error()));
                    members.emplace(key, std::move(*compiled));
                }
                return StructuredNode(std::move(members));
            }
            case hocon::Value::Kind::Array: {
                auto& elements = *value.as_array();
                StructuredNode::Array entries(arena_);
                entries.reserve(elements.size());
                for (auto& element : elements) {
                    auto compiled = entry(element, depth + 1);
                    if (!compiled) return std::unexpected(std::move(compiled.error()));
                    entries.push_back(std::move(*compiled));
                }
                StructuredNode array(std::move(entries));
                if (compiled_ != nullptr && body_depth_ == 0) {
                    compiled_->add(value, std::get<StructuredNode::Array>(array.data));
                }
                return array;
            }
            case hocon::Value::Kind::String: {
                const std::string& text = *value.as_string();
                if (loops_.block(text) != nullptr) {
                    return std::unexpected(
                        RenderError::invalid_template("structured loop blocks must be array entries"));
                }
                if (loops_.found_in(text)) {
                    return std::unexpected(RenderError::invalid_template(
                        "structured loop blocks must occupy one array entry"));
                }
                auto compiled = templates::text_to_node(arena_, text, processors_);
                if (!compiled) return std::unexpected(std::move(compiled.error()));
                if (compiled_ != nullptr && body_depth_ == 0) compiled_->add(value, **compiled);
                return StructuredNode(StructuredNode::Text(*compiled));
            }
            case hocon::Value::Kind::Number: {
                auto number = document_number(*value.as_number());
                if (!number) return std::unexpected(std::move(number.error()));
                return StructuredNode(*number);
            }
            case hocon::Value::Kind::Boolean:
                return StructuredNode(*value.as_boolean());
            case hocon::Value::Kind::Null:
                return StructuredNode(nullptr);
            case hocon::Value::Kind::Unresolved:  // a loaded document holds none
                break;
        }
        return std::unexpected(RenderError::unsupported_value("unknown value kind"));
    }

    // `depth` is that of the element itself.
    Result<StructuredArrayEntry> entry(const hocon::Value& element, std::size_t depth) {
        if (const auto* text = element.as_string()) {
            if (const StructuredLoopTemplate* block = loops_.block(*text)) {
                ++body_depth_;
                auto body = node(block->body, depth);
                --body_depth_;
                if (!body) return std::unexpected(std::move(body.error()));
                return StructuredArrayEntry(
                    arena_.make<ForEachStructuredArrayEntry>(arena_, block->variable, block->source, std::move(*body)));
            }
            if (loops_.found_in(*text)) {
                return std::unexpected(RenderError::invalid_template(
                    "structured loop blocks must occupy one array entry"));
            }
        }
        auto compiled = node(element, depth);
        if (!compiled) return std::unexpected(std::move(compiled.error()));
        return StructuredArrayEntry(std::move(*compiled));
    }

private:
    support::Arena& arena_;
    const ProcessorMap& processors_;
    const LoopMarkerIndex& loops_;
    CompiledTexts* compiled_;
    std::size_t body_depth_ = 0;   // loop bodies being compiled around the current value
    std::size_t body_values_ = 0;  // values compiled inside loop bodies so far
};

}  // namespace

Result<VeskoraNumber> document_number(const hocon::Number& number) {
    if (const auto* u = std::get_if<std::uint64_t>(&number)) {
        if (*u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return VeskoraNumber(static_cast<std::int64_t>(*u));
        }
        return VeskoraNumber(*u);
    }
    if (const auto* i = std::get_if<std::int64_t>(&number)) return VeskoraNumber(*i);
    const double f = std::get<double>(number);
    if (!std::isfinite(f)) return std::unexpected(RenderError::unsupported_value("number must be finite"));
    return VeskoraNumber(f);
}

Result<NodePtr> value_to_node(support::Arena& arena, hocon::Value value, const ProcessorMap& processors) {
    return text_node(value, TextContext{arena, processors}, 0);
}

Result<NodePtr> weighted_choice_node(support::Arena& arena, hocon::Value::Array elements,
                                     const ProcessorMap& processors) {
    return weighted_node(elements, TextContext{arena, processors}, 1);
}

Result<WeightedEntry> weighted_choice_entry(support::Arena& arena, hocon::Value element,
                                            const ProcessorMap& processors) {
    return weighted_entry(element, TextContext{arena, processors}, 1);
}

LoopMarkerIndex::LoopMarkerIndex(const LoopMap& loops) : loops_(&loops) {
    bool first = true;
    for (const auto& [marker, block] : loops) {
        if (first) {
            prefix_ = marker;
            first = false;
        } else {
            std::size_t shared = 0;
            const std::size_t limit = std::min(prefix_.size(), marker.size());
            while (shared < limit && prefix_[shared] == marker[shared]) ++shared;
            prefix_.resize(shared);
        }
        if (std::find(lengths_.begin(), lengths_.end(), marker.size()) == lengths_.end()) {
            lengths_.push_back(marker.size());
        }
    }
}

bool LoopMarkerIndex::found_in(std::string_view text) const {
    if (loops_->empty()) return false;
    // Every key starts with the shared prefix, so a key can only begin where the prefix does.
    // With no shared prefix every position is a candidate (an empty key matches at once).
    const auto matches_at = [&](std::size_t pos) {
        for (const std::size_t length : lengths_) {
            if (length <= text.size() - pos && loops_->contains(text.substr(pos, length))) return true;
        }
        return false;
    };
    if (prefix_.empty()) {
        for (std::size_t pos = 0; pos <= text.size(); ++pos) {
            if (matches_at(pos)) return true;
        }
        return false;
    }
    for (auto pos = text.find(prefix_); pos != std::string_view::npos; pos = text.find(prefix_, pos + 1)) {
        if (matches_at(pos)) return true;
    }
    return false;
}

const StructuredLoopTemplate* LoopMarkerIndex::block(std::string_view text) const {
    // Every string of the tree is asked: the shared prefix turns nearly all away unhashed.
    if (loops_->empty() || !text.starts_with(prefix_)) return nullptr;
    const auto it = loops_->find(text);
    return it == loops_->end() ? nullptr : &it->second;
}

namespace {

Result<void> insert_named(NamedNodes& out, std::string& name, const hocon::Value& value,
                          const TextContext& context, const LoopMarkerIndex& loops) {
    if (const auto* members = value.as_object()) {
        return insert_object(out, name, *members, 0,
                             [&](std::string& member_name, const hocon::Value& member, std::size_t d) {
                                 return insert_child(out, member_name, member, context, loops, d);
                             });
    }
    // A top-level array fails on every error, InvalidWeightedChoice included.
    return insert_compiled(out, name, value, context, 0);
}

// Registers into a list, then adds the list to the map in order, failed or not: the map then has
// what was registered before a failure, as when the names went into it one by one.
template <class Register>
Result<void> insert_into(NodeMap& map, Register register_names) {
    NamedNodes named(map.arena());
    auto registered = register_names(named);
    for (auto& [name, node] : named) map.insert_or_assign(name, node);
    return registered;
}

}  // namespace

Result<void> insert_named_text_nodes(NodeMap& map, std::string name, hocon::Value value,
                                     const ProcessorMap& processors, const LoopMarkerIndex& loops) {
    return insert_into(map, [&](NamedNodes& out) {
        return insert_named(out, name, value, TextContext{out.arena(), processors}, loops);
    });
}

Result<void> append_named_text_nodes(NamedNodes& out, std::string name, const hocon::Value& value,
                                     const ProcessorMap& processors, const LoopMarkerIndex& loops,
                                     const CompiledTexts& compiled) {
    return insert_named(out, name, value, TextContext{out.arena(), processors, &compiled}, loops);
}

Result<void> insert_named_text_nodes(NodeMap& map, std::string name, hocon::Value value,
                                     const ProcessorMap& processors, const LoopMap& loops) {
    return insert_named_text_nodes(map, std::move(name), std::move(value), processors,
                                   LoopMarkerIndex(loops));
}

Result<void> insert_structured_child_text_nodes(NodeMap& map, std::string name, hocon::Value value,
                                                const ProcessorMap& processors,
                                                const LoopMap& loops) {
    return insert_into(map, [&](NamedNodes& out) {
        return insert_child(out, name, value, TextContext{out.arena(), processors}, LoopMarkerIndex(loops), 0);
    });
}

Result<void> insert_context_text_nodes(NodeMap& map, std::string name, hocon::Value value,
                                       const ProcessorMap& processors) {
    return insert_into(map, [&](NamedNodes& out) {
        return insert_context(out, name, value, TextContext{out.arena(), processors}, 0);
    });
}

Result<void> append_context_text_nodes(NamedNodes& out, std::string name, const hocon::Value& value,
                                       const ProcessorMap& processors, const CompiledTexts& compiled) {
    return insert_context(out, name, value, TextContext{out.arena(), processors, &compiled}, 0);
}

std::size_t registered_names(const hocon::Value& value) {
    if (!value.is_object()) return 1;  // most top-level values
    std::size_t count = 0;
    // An explicit stack, since the value may nest arbitrarily deep, kept inline for the usual
    // object of a few members.
    support::InlineStack<const hocon::Value*, 16> pending;
    pending.push_back(&value);
    while (!pending.empty()) {
        const hocon::Value* current = *(pending.end() - 1);
        pending.pop_back();
        ++count;
        if (const auto* members = current->as_object()) {
            for (const auto& [key, member] : *members) pending.push_back(&member);
        }
    }
    return count;
}

bool contains_template_loop(const hocon::Value& value, const LoopMarkerIndex& loops) {
    if (loops.loops().empty()) return false;
    // An explicit stack: the value may nest arbitrarily deep.
    std::vector<const hocon::Value*> pending{&value};
    while (!pending.empty()) {
        const hocon::Value* current = pending.back();
        pending.pop_back();
        if (const auto* text = current->as_string()) {
            if (loops.found_in(*text)) return true;
        } else if (const auto* elements = current->as_array()) {
            // Reversed, so elements are tested in order.
            for (auto it = elements->rbegin(); it != elements->rend(); ++it) pending.push_back(&*it);
        } else if (const auto* members = current->as_object()) {
            for (auto it = members->rbegin(); it != members->rend(); ++it) pending.push_back(&it->second);
        }
    }
    return false;
}

bool contains_template_loop(const hocon::Value& value, const LoopMap& loops) {
    return contains_template_loop(value, LoopMarkerIndex(loops));
}

bool contains_loop_marker(std::string_view text, const LoopMap& loops) {
    return LoopMarkerIndex(loops).found_in(text);
}

Result<StructuredNode> value_to_structured_template_node(support::Arena& arena, const hocon::Value& value,
                                                         const ProcessorMap& processors,
                                                         const LoopMarkerIndex& loops) {
    return StructuredCompiler(arena, processors, loops).node(value, 0);
}

Result<StructuredNode> value_to_structured_template_node(support::Arena& arena, const hocon::Value& value,
                                                         const ProcessorMap& processors,
                                                         const LoopMarkerIndex& loops,
                                                         CompiledTexts& compiled) {
    compiled.clear();
    auto node = StructuredCompiler(arena, processors, loops, &compiled).node(value, 0);
    compiled.index();
    return node;
}

namespace {

// Entries keyed by the address of a document value: sorted, and looked up by it.
template <class Entries>
void sort_by_value(Entries& entries) {
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
}

template <class Entries>
auto find_by_value(const Entries& entries, const hocon::Value& value) {
    const auto it = std::lower_bound(entries.begin(), entries.end(), &value,
                                     [](const auto& entry, const hocon::Value* key) { return entry.first < key; });
    return it != entries.end() && it->first == &value ? it : entries.end();
}

}  // namespace

void CompiledTexts::index() {
    sort_by_value(texts_);
    sort_by_value(arrays_);
}

const TextGeneratorNode* CompiledTexts::find(const hocon::Value& text) const {
    const auto it = find_by_value(texts_, text);
    return it != texts_.end() ? it->second : nullptr;
}

std::optional<CompiledTexts::Elements> CompiledTexts::find_elements(const hocon::Value& array) const {
    const auto it = find_by_value(arrays_, array);
    if (it == arrays_.end()) return std::nullopt;
    return it->second;
}

Result<StructuredNode> value_to_structured_template_node(support::Arena& arena, const hocon::Value& value,
                                                         const ProcessorMap& processors,
                                                         const LoopMap& loops) {
    return value_to_structured_template_node(arena, value, processors, LoopMarkerIndex(loops));
}

Result<StructuredArrayEntry> template_array_entry(support::Arena& arena, const hocon::Value& element,
                                                  const ProcessorMap& processors, const LoopMap& loops) {
    const LoopMarkerIndex index(loops);
    return StructuredCompiler(arena, processors, index).entry(element, 1);
}

}  // namespace veskora::render::compile
