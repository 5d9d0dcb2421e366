// Linking, path walks over the structured tree, the guarded render with the recursion allowance
// and the nesting bound, and the render entry points.
#include "render/ruleset.hpp"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

namespace veskora::render {

namespace {

// Follows the point-separated segments of `path` (the empty path being one empty segment)
// through object members. Empty segments are refused when `allow_empty` is false.
const StructuredNode* walk(const StructuredNode& start, std::string_view path, bool allow_empty) {
    const StructuredNode* current = &start;
    std::size_t pos = 0;
    while (true) {
        const std::size_t dot = path.find('.', pos);
        const std::string_view segment =
            path.substr(pos, dot == std::string_view::npos ? std::string_view::npos : dot - pos);
        if (segment.empty() && !allow_empty) return nullptr;
        const auto* object = std::get_if<StructuredNode::Object>(&current->data);
        if (object == nullptr) return nullptr;
        const auto it = object->find(segment);
        if (it == object->end()) return nullptr;
        current = &it->second;
        if (dot == std::string_view::npos) return current;
        pos = dot + 1;
    }
}

// Out of line, so the frames that repeat per nesting level carry no error temporaries.
[[gnu::cold, gnu::noinline]] Result<void> circular(const RenderState& state, std::string_view name) {
    return std::unexpected(RenderError::circular_reference(state.active_names_and(name)));
}

[[gnu::cold, gnu::noinline]] Result<void> unknown_rule(std::string_view name) {
    return std::unexpected(RenderError::unknown_rule(std::string(name)));
}

}  // namespace

RuleSet::RuleSet(std::unique_ptr<support::Arena> arena, StructuredNode structured, NodeMap rules,
                 NodeMap context_defaults, ProcessorMap processors)
    : arena_(std::move(arena)), processors_(std::move(processors)) {
    const auto made = arena_->make<Contents>(std::move(structured), std::move(rules), std::move(context_defaults));
    contents_ = made;
    // The maps and the tree keep their entries in place when the ruleset moves, and nothing is
    // added to them later, so the links stay valid for the ruleset's whole life.
    Linker linker(*this, *arena_);
    Contents& contents = *made;
    // A top-level value's member of the tree and its rules were compiled one after the other,
    // and lie side by side in the arena: they are linked together, in one walk of the arena, so
    // that a large ruleset is read from memory once rather than once for the rules and once
    // for the tree. The rules of a value come in a run, in the order of the tree's members;
    // whatever the walk does not meet that way is linked after it.
    auto rule = contents.rules.begin();
    const auto belongs = [](std::string_view name, std::string_view key) {
        return name.starts_with(key) && (name.size() == key.size() || name[key.size()] == '.');
    };
    if (auto* root = std::get_if<StructuredNode::Object>(&contents.structured.data)) {
        for (auto& [key, member] : *root) {
            member.link(linker);
            for (; rule != contents.rules.end() && belongs(rule->first.view(), key.view()); ++rule) {
                rule->second->link(linker);
            }
        }
    } else {
        contents.structured.link(linker);
    }
    for (; rule != contents.rules.end(); ++rule) rule->second->link(linker);
    for (auto& [name, node] : contents.context_defaults) node->link(linker);
    linker.finish();
    // Nothing is allocated in the arena from here on: the unused part of its last region, up
    // to 2 MiB, would be held for nothing.
    arena_->release_unused();
}

void Linker::add(RuleCallNode& call) {
    calls_.push_back(&call);
    names_.append(call.name.view());
    name_ends_.push_back(names_.size());
    if (calls_.size() == kBatch) finish();
}

void Linker::finish() {
    std::array<RuleCallNode::Targets, kBatch> targets{};
    const auto name = [&](std::size_t i) {
        const std::size_t start = i == 0 ? 0 : name_ends_[i - 1];
        return std::string_view(names_).substr(start, name_ends_[i] - start);
    };
    using Entry = NodeMap::value_type;
    ruleset_.context_defaults().find_each(calls_.size(), name, [&](std::size_t i, const Entry* entry) {
        targets[i].context_default = entry;
    });
    ruleset_.rules().find_each(calls_.size(), name, [&](std::size_t i, const Entry* entry) {
        targets[i].rule = entry;
    });
    for (std::size_t i = 0; i < calls_.size(); ++i) calls_[i]->link_to(targets[i]);
    calls_.clear();
    names_.clear();
    name_ends_.clear();
}

Result<const StructuredNode*> RuleSet::structured_node(std::string_view path) const {
    const StructuredNode* node = walk(structured(), path, false);
    if (node == nullptr) return std::unexpected(RenderError::unknown_rule(std::string(path)));
    return node;
}

const StructuredNode* RuleSet::structured_context_node(std::string_view path) const {
    const auto* root = std::get_if<StructuredNode::Object>(&structured().data);
    if (root == nullptr) return nullptr;
    const auto context = root->find(std::string_view("context"));
    if (context == root->end() || !context->second.is_object()) return nullptr;
    return walk(context->second, path, true);
}

Result<void> RuleSet::render_node_with_state(std::string_view name, const TextGeneratorNode& node,
                                             RenderState& state, bool unique,
                                             std::string& out) const {
    const auto& stack = state.rule_stack;
    // Names of rules are views of the map's keys, so the same rule is mostly the same view.
    const auto active = static_cast<std::uint64_t>(std::count_if(stack.begin(), stack.end(), [&](std::string_view other) {
        return other.data() == name.data() ? other.size() == name.size() : support::same_name(other, name);
    }));
    if (active > 0 && state.recursion_limit == 0) return circular(state, name);
    // Beyond the allowance a reference quietly renders as nothing.
    if (active > state.recursion_limit) return {};
    if (state.at_nesting_bound()) return circular(state, name);
    state.rule_stack.push_back(name);
    ++state.depth;
    auto result = unique ? node.generate_unique_text(name, state, out) : node.generate_text(state, out);
    --state.depth;
    state.rule_stack.pop_back();
    return result;
}

Result<void> RuleSet::render_rule_with_state(std::string_view name, RenderState& state,
                                             std::string& out) const {
    // The map's own key goes on the rule stack, so the stack never outlives its names.
    const auto* found = entry(rules(), name);
    if (found == nullptr) found = entry(context_defaults(), name);
    if (found == nullptr) return unknown_rule(name);
    return render_node_with_state(found->first, *found->second, state, false, out);
}

Result<std::string> RuleSet::render_rule_with_state(std::string_view name, RenderState& state) const {
    std::string out;
    if (auto r = render_rule_with_state(name, state, out); !r) return std::unexpected(std::move(r.error()));
    return out;
}

Result<void> RuleSet::render_unique_rule_with_state(std::string_view name, RenderState& state,
                                                    std::string& out) const {
    const auto* rule = entry(rules(), name);
    if (rule == nullptr) return unknown_rule(name);
    return render_node_with_state(rule->first, *rule->second, state, true, out);
}

Result<bool> RuleSet::render_context_default_with_state(std::string_view name, RenderState& state,
                                                        std::string& out) const {
    const auto* context_default = entry(context_defaults(), name);
    if (context_default == nullptr) return false;
    const auto& [key, node] = *context_default;
    if (auto r = render_node_with_state(key, *node, state, false, out); !r) {
        return std::unexpected(std::move(r.error()));
    }
    return true;
}

Result<std::string> RuleSet::render_rule_inferred_with_context_and_options(
    std::string_view name, ContextMap context, std::uint64_t options) const {
    auto state = RenderState::with_context_and_options(*this, std::move(context), options);
    std::string out;
    if (auto r = render_rule_inferred_with_state(name, state, out); !r) return std::unexpected(std::move(r.error()));
    return out;
}

Result<void> RuleSet::render_rule_inferred_with_state(std::string_view name, RenderState& state,
                                                      std::string& out) const {
    if (auto node = structured_node(name); node && (*node)->is_object()) {
        return (*node)->write_json(state, true, out);
    }
    return render_rule_with_state(name, state, out);
}

Result<VeskoraValue> RuleSet::render_rule_structured_with_context_and_options(
    std::string_view name, ContextMap context, std::uint64_t options) const {
    auto state = RenderState::with_context_and_options(*this, std::move(context), options);
    return render_rule_structured_with_state(name, state);
}

Result<VeskoraValue> RuleSet::render_rule_structured_with_state(std::string_view name,
                                                                RenderState& state) const {
    auto node = structured_object(name);
    if (!node) return std::unexpected(std::move(node.error()));
    return (*node)->generate_value(state);
}

Result<void> RuleSet::render_rule_json_with_state(std::string_view name, RenderState& state,
                                                  bool pretty, std::string& out) const {
    auto node = structured_object(name);
    if (!node) return std::unexpected(std::move(node.error()));
    return (*node)->write_json(state, pretty, out);
}

Result<const StructuredNode*> RuleSet::structured_object(std::string_view name) const {
    auto node = structured_node(name);
    if (node && !(*node)->is_object()) {
        return std::unexpected(RenderError::structured_target_not_object(std::string(name)));
    }
    return node;
}

Result<std::string> RuleSet::process(std::string_view processor, std::string_view input) const {
    std::string text(input);
    if (auto r = process(find_processor(processor), processor, text); !r) return std::unexpected(std::move(r.error()));
    return text;
}

const Processor* RuleSet::find_processor(std::string_view name) const {
    const auto it = processors_.find(name);
    return it == processors_.end() ? nullptr : it->second.get();
}

Result<void> RuleSet::process(const Processor* processor, std::string_view name, std::string& text) {
    if (processor == nullptr) return std::unexpected(RenderError::unknown_processor(std::string(name)));
    auto result = processor->process(text);
    if (!result) return std::unexpected(RenderError::processor_failed(std::string(name), std::move(result.error())));
    text = std::move(*result);
    return {};
}

}  // namespace veskora::render
