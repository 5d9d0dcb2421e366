// Rendering of every text node kind, and the uniform, weighted and unique choices.
#include "render/nodes.hpp"

#include <type_traits>
#include <utility>

#include "render/ruleset.hpp"

namespace veskora::render {

// The kinds a ruleset holds by the hundred thousand leave the arena nothing to destroy.
static_assert(std::is_trivially_destructible_v<LiteralNode> && std::is_trivially_destructible_v<VecNode> &&
              std::is_trivially_destructible_v<RuleCallNode> && std::is_trivially_destructible_v<ChoiceNode> &&
              std::is_trivially_destructible_v<ProcessorPipelineNode> && std::is_trivially_destructible_v<BindNode> &&
              std::is_trivially_destructible_v<ForEachNode> && std::is_trivially_destructible_v<TemplateRefNode>);

namespace {

// Errors are built out of line: the frames of the node renders stay small, which matters
// because they repeat once per level of nested rules.
[[gnu::cold, gnu::noinline]] Result<void> pass(RenderError&& error) { return std::unexpected(std::move(error)); }

[[gnu::cold, gnu::noinline]] Result<void> immutable_binding(std::string_view name) {
    return std::unexpected(RenderError::immutable_loop_binding(std::string(name)));
}

[[gnu::cold, gnu::noinline]] Result<void> unknown_rule(std::string_view name) {
    return std::unexpected(RenderError::unknown_rule(std::string(name)));
}

[[gnu::noinline]] void cache_tail(RenderState& state, std::string_view name, const std::string& out,
                                  std::size_t start) {
    state.cache_context_default(name, out.substr(start));
}

// Positions below `count` not yet used under the key, in ascending order.
std::vector<std::size_t> available_positions(const RenderState& state, std::string_view key,
                                             std::size_t count) {
    const std::set<std::uint64_t>* used = state.unique_choice_indices(key);
    std::vector<std::size_t> available;
    available.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (used == nullptr || !used->contains(i)) available.push_back(i);
    }
    return available;
}

void link_all(NodeList& nodes, Linker& linker) {
    for (const auto& node : nodes) node->link(linker);
}

}  // namespace

void TextGeneratorNode::link(Linker&) {}

Result<void> TextGeneratorNode::generate_unique_text(std::string_view key, RenderState&,
                                                     std::string&) const {
    return std::unexpected(RenderError::not_a_choice(std::string(key)));
}

Result<std::string> TextGeneratorNode::generate_text(RenderState& state) const {
    std::string out;
    if (auto r = generate_text(state, out); !r) return std::unexpected(std::move(r.error()));
    return out;
}

Result<void> LiteralNode::generate_text(RenderState&, std::string& out) const {
    out.append(text.view());
    return {};
}

Result<void> VecNode::generate_text(RenderState& state, std::string& out) const {
    if (literal_ != nullptr) {
        out.append(literal_->view());
        return {};
    }
    for (const auto& child : children) {
        if (auto r = child->generate_text(state, out); !r) return r;
    }
    return {};
}

void VecNode::link(Linker& linker) {
    link_all(children, linker);
    const auto* literal = children.size() == 1 ? dynamic_cast<const LiteralNode*>(children[0].get()) : nullptr;
    literal_ = literal != nullptr ? &literal->text : nullptr;
}

Result<void> RuleCallNode::generate_text(RenderState& state, std::string& out) const {
    // Loop names, bindings and context values first, then a context default, then a rule.
    Result<bool> found = state.append_bound_text(name, out);
    if (!found) return pass(std::move(found.error()));
    if (*found) return {};

    Targets targets;
    if (!linked_) {
        targets = state.ruleset->targets(name);
    } else {
        (targets_default_ ? targets.context_default : targets.rule) = target_;
    }
    // The map's own key goes on the rule stack, so the stack never outlives its names.
    if (const auto* entry = targets.context_default) {
        const std::size_t start = out.size();
        auto done = state.ruleset->render_node_with_state(entry->first, *entry->second, state, false, out);
        if (!done) return done;
        // Later references in this call take the same text from the context map.
        cache_tail(state, name, out, start);
        return {};
    }
    if (const auto* entry = targets.rule) {
        return state.ruleset->render_node_with_state(entry->first, *entry->second, state, unique, out);
    }
    return unknown_rule(name);
}

void RuleCallNode::link(Linker& linker) { linker.add(*this); }

void RuleCallNode::link_to(const Targets& targets) {
    targets_default_ = targets.context_default != nullptr;
    target_ = targets_default_ ? targets.context_default : targets.rule;
    linked_ = true;
}

Result<void> ProcessorPipelineNode::generate_text(RenderState& state, std::string& out) const {
    std::string text;
    if (auto r = inner->generate_text(state, text); !r) return r;
    for (std::size_t i = 0; i < processors.size(); ++i) {
        const Processor* processor =
            linked_ == nullptr ? state.ruleset->find_processor(processors[i]) : linked_[i];
        if (auto r = RuleSet::process(processor, processors[i], text); !r) return r;
    }
    out.append(text);
    return {};
}

void ProcessorPipelineNode::link(Linker& linker) {
    inner->link(linker);
    linked_ = linker.arena().allocate_array<const Processor*>(processors.size());
    for (std::size_t i = 0; i < processors.size(); ++i) {
        linked_[i] = linker.ruleset().find_processor(processors[i]);
    }
}

Result<void> BindNode::generate_text(RenderState& state, std::string&) const {
    if (overwrite) {
        if (state.is_immutable_loop_name(name)) return immutable_binding(name);
    } else {
        // ":" only fills a name that has no value yet; context defaults and rules don't count.
        auto has = state.has_scoped_value(name);
        if (!has) return pass(std::move(has.error()));
        if (*has) return {};
    }
    std::string text;
    if (auto r = node->generate_text(state, text); !r) return r;
    return state.bind(name, std::move(text), overwrite);
}

void BindNode::link(Linker& linker) { node->link(linker); }

Result<LoopElements> ArrayIterationSource::elements(RenderState& state) const {
    return state.iterable_elements(source);
}

Result<void> ForEachNode::generate_text(RenderState& state, std::string& out) const {
    auto elements = source->elements(state);
    if (!elements) return pass(std::move(elements.error()));
    return state.iterate(variable, std::move(*elements), [&]() -> Result<void> {
        if (pieces_ == nullptr) return body->generate_text(state, out);
        for (const auto& piece : *pieces_) {
            if (auto r = piece->generate_text(state, out); !r) return r;
        }
        return {};
    });
}

void ForEachNode::link(Linker& linker) {
    body->link(linker);
    const auto* sequence = dynamic_cast<const VecNode*>(body.get());
    pieces_ = sequence != nullptr ? &sequence->children : nullptr;
}

namespace {

// The templates of a TreeChoiceNode's elements, read as a list of options.
struct TreeTemplates {
    std::span<const StructuredArrayEntry> elements;

    std::size_t size() const { return elements.size(); }
    bool empty() const { return elements.empty(); }
    const TextGeneratorNode* operator[](std::size_t i) const { return template_of(*elements[i].value_node()); }

    static const TextGeneratorNode* template_of(const StructuredNode& node) {
        return std::get<StructuredNode::Text>(node.data).get();
    }
};

// The "value" templates of a TreeWeightedChoiceNode's elements. Each element has exactly the
// members value and weight, so its value is the first in key order.
struct TreeValueTemplates {
    std::span<const StructuredArrayEntry> elements;

    std::size_t size() const { return elements.size(); }
    bool empty() const { return elements.empty(); }
    const TextGeneratorNode* operator[](std::size_t i) const {
        const auto& members = std::get<StructuredNode::Object>(elements[i].value_node()->data);
        return TreeTemplates::template_of(members.begin()->second);
    }
};

// The uniform choice over a list of options.
template <class Options>
Result<void> uniform_choice(const Options& choices, RenderState& state, std::string& out) {
    if (choices.empty()) return std::unexpected(RenderError::empty_choice());
    const auto index = static_cast<std::size_t>(state.rng().uniform_index(choices.size()));
    return choices[index]->generate_text(state, out);
}

template <class Options>
Result<void> unique_uniform_choice(const Options& choices, std::string_view key, RenderState& state,
                                   std::string& out) {
    if (choices.empty()) return std::unexpected(RenderError::empty_choice());
    const std::vector<std::size_t> available = available_positions(state, key, choices.size());
    if (available.empty()) return std::unexpected(RenderError::unique_choice_exhausted(std::string(key)));
    const std::size_t position = available[state.rng().uniform_index(available.size())];
    // Marked before rendering: a failed option stays used, and a nested reference to the same
    // key cannot draw it again.
    state.mark_unique_choice_index(key, position);
    return choices[position]->generate_text(state, out);
}

Result<support::WeightedIndex> weighted_index(const std::vector<double>& weights) {
    auto distribution = support::WeightedIndex::create(weights);
    if (!distribution) return std::unexpected(RenderError::invalid_weighted_choice(distribution.error()));
    return std::move(*distribution);
}

template <class Options>
Result<void> weighted_choice(const Options& choices, const support::WeightedIndex& distribution,
                             RenderState& state, std::string& out) {
    if (choices.empty()) return std::unexpected(RenderError::empty_choice());
    return choices[distribution.sample(state.rng())]->generate_text(state, out);
}

template <class Options>
Result<void> unique_weighted_choice(const Options& choices, const std::vector<double>& weights,
                                    std::string_view key, RenderState& state, std::string& out) {
    if (choices.empty()) return std::unexpected(RenderError::empty_choice());
    const std::vector<std::size_t> available = available_positions(state, key, choices.size());
    if (available.empty()) return std::unexpected(RenderError::unique_choice_exhausted(std::string(key)));
    std::vector<double> remaining;
    remaining.reserve(available.size());
    for (std::size_t position : available) remaining.push_back(weights[position]);
    // Only weight-0 options left: the choice is as exhausted as if none were left.
    auto distribution = support::WeightedIndex::create(remaining);
    if (!distribution) return std::unexpected(RenderError::unique_choice_exhausted(std::string(key)));
    const std::size_t position = available[distribution->sample(state.rng())];
    state.mark_unique_choice_index(key, position);
    return choices[position]->generate_text(state, out);
}

}  // namespace

Result<void> ChoiceNode::generate_text(RenderState& state, std::string& out) const {
    return uniform_choice(choices, state, out);
}

Result<void> ChoiceNode::generate_unique_text(std::string_view key, RenderState& state,
                                              std::string& out) const {
    return unique_uniform_choice(choices, key, state, out);
}

void ChoiceNode::link(Linker& linker) { link_all(choices, linker); }

Result<void> TreeChoiceNode::generate_text(RenderState& state, std::string& out) const {
    return uniform_choice(TreeTemplates{elements}, state, out);
}

Result<void> TreeChoiceNode::generate_unique_text(std::string_view key, RenderState& state,
                                                  std::string& out) const {
    return unique_uniform_choice(TreeTemplates{elements}, key, state, out);
}

WeightedChoiceNode::WeightedChoiceNode(NodeList choices, std::vector<double> weights,
                                       support::WeightedIndex distribution)
    : choices_(std::move(choices)), weights_(std::move(weights)), distribution_(std::move(distribution)) {}

Result<support::ArenaPtr<WeightedChoiceNode>> WeightedChoiceNode::create(
    support::Arena& arena, std::vector<std::pair<NodePtr, double>> pairs) {
    NodeList choices(arena);
    std::vector<double> weights;
    choices.reserve(pairs.size());
    weights.reserve(pairs.size());
    for (auto& [node, weight] : pairs) {
        choices.push_back(node);
        weights.push_back(weight);
    }
    auto distribution = weighted_index(weights);
    if (!distribution) return std::unexpected(std::move(distribution.error()));
    return arena.make<WeightedChoiceNode>(std::move(choices), std::move(weights), std::move(*distribution));
}

Result<void> WeightedChoiceNode::generate_text(RenderState& state, std::string& out) const {
    return weighted_choice(choices_, distribution_, state, out);
}

Result<void> WeightedChoiceNode::generate_unique_text(std::string_view key, RenderState& state,
                                                      std::string& out) const {
    return unique_weighted_choice(choices_, weights_, key, state, out);
}

void WeightedChoiceNode::link(Linker& linker) { link_all(choices_, linker); }

Result<support::ArenaPtr<TreeWeightedChoiceNode>> TreeWeightedChoiceNode::create(
    support::Arena& arena, std::span<const StructuredArrayEntry> elements, std::vector<double> weights) {
    auto distribution = weighted_index(weights);
    if (!distribution) return std::unexpected(std::move(distribution.error()));
    return arena.make<TreeWeightedChoiceNode>(elements, std::move(weights), std::move(*distribution));
}

Result<void> TreeWeightedChoiceNode::generate_text(RenderState& state, std::string& out) const {
    return weighted_choice(TreeValueTemplates{elements_}, distribution_, state, out);
}

Result<void> TreeWeightedChoiceNode::generate_unique_text(std::string_view key, RenderState& state,
                                                          std::string& out) const {
    return unique_weighted_choice(TreeValueTemplates{elements_}, weights_, key, state, out);
}

Result<void> UnsupportedValueNode::generate_text(RenderState&, std::string&) const {
    return std::unexpected(RenderError::unsupported_value(std::string(kind.view())));
}

Result<void> TemplateRefNode::generate_text(RenderState& state, std::string& out) const {
    return target.generate_text(state, out);
}

Result<void> TemplateRefNode::generate_unique_text(std::string_view key, RenderState& state,
                                                   std::string& out) const {
    return target.generate_unique_text(key, state, out);
}

}  // namespace veskora::render
