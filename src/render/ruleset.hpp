// RuleSet: the compiled, immutable ruleset and the start of every render: lookups by name and by
// dotted path, the re-entry check under the recursion allowance, the text, unique, context-default,
// inferred and structured renders, and the processor call used by pipelines.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "render/error.hpp"
#include "render/nodes.hpp"
#include "render/processor.hpp"
#include "render/state.hpp"
#include "render/value.hpp"
#include "support/arena.hpp"
#include "support/hash.hpp"

namespace veskora::render {

struct TemplateConfig;

class RuleSet {
public:
    // The ruleset of the tree, rules and context defaults made in `arena`, which it takes (or in
    // an arena that outlives the ruleset). `structured` must be an Object node. Links every node (rules, context defaults, the
    // structured tree) to the names it refers to here.
    RuleSet(std::unique_ptr<support::Arena> arena, StructuredNode structured, NodeMap rules,
            NodeMap context_defaults, ProcessorMap processors);

    // Builds the ruleset of a loaded document: checks that the root is an object, merges the
    // host processors over the built-ins, compiles every top-level key into the structured tree
    // and into text rules or context defaults.
    static Result<RuleSet> from_template_config(TemplateConfig config, ProcessorMap host_processors);

    RuleSet(RuleSet&&) noexcept = default;
    RuleSet& operator=(RuleSet&&) noexcept = default;

    const StructuredNode& structured() const { return contents_->structured; }
    const NodeMap& rules() const { return contents_->rules; }
    const NodeMap& context_defaults() const { return contents_->context_defaults; }
    const ProcessorMap& processors() const { return processors_; }

    // The rule and the context default of a name (null where it has none).
    RuleCallNode::Targets targets(std::string_view name) const {
        return {entry(context_defaults(), name), entry(rules(), name)};
    }

    // Walks a dotted path from the root; UnknownRule(path) for an empty segment, a step through
    // a non-object or a missing member.
    Result<const StructuredNode*> structured_node(std::string_view path) const;
    // Walks a dotted path below the member "context"; null when anything is missing.
    const StructuredNode* structured_context_node(std::string_view path) const;

    // The re-entry check around one node: CircularReference when `name` is active and the
    // allowance is 0, empty text when it is active more often than the allowance.
    Result<void> render_node_with_state(std::string_view name, const TextGeneratorNode& node,
                                        RenderState& state, bool unique, std::string& out) const;

    // A rule, else a context default, by name.
    Result<void> render_rule_with_state(std::string_view name, RenderState& state,
                                        std::string& out) const;
    Result<std::string> render_rule_with_state(std::string_view name, RenderState& state) const;
    // A rule on the unique-choice path.
    Result<void> render_unique_rule_with_state(std::string_view name, RenderState& state,
                                               std::string& out) const;
    // A context default; false (nothing appended) when the name is not one.
    Result<bool> render_context_default_with_state(std::string_view name, RenderState& state,
                                                   std::string& out) const;

    // Tab-indented JSON when the name reaches an object of the structured tree, else text.
    Result<std::string> render_rule_inferred_with_context_and_options(
        std::string_view name, ContextMap context, std::uint64_t options) const;
    // The same into `out`, which must be empty; on error it holds partial text.
    Result<void> render_rule_inferred_with_state(std::string_view name, RenderState& state,
                                                 std::string& out) const;
    Result<VeskoraValue> render_rule_structured_with_context_and_options(
        std::string_view name, ContextMap context, std::uint64_t options) const;
    Result<VeskoraValue> render_rule_structured_with_state(std::string_view name,
                                                           RenderState& state) const;
    // The JSON text of the structured render, written into `out` (which must be empty) as the
    // tree is walked: compact, or indented as to_formatted_json writes it when `pretty`.
    Result<void> render_rule_json_with_state(std::string_view name, RenderState& state, bool pretty,
                                             std::string& out) const;

    Result<std::string> process(std::string_view processor, std::string_view input) const;
    // The processor of a name; null when there is none.
    const Processor* find_processor(std::string_view name) const;
    // Replaces `text` with the output of a processor found under `name`: UnknownProcessor when
    // it is null, ProcessorFailed with its message when it fails.
    static Result<void> process(const Processor* processor, std::string_view name, std::string& text);

private:
    // The entry of `name` in one of the maps; null when it has none.
    static const NodeMap::value_type* entry(const NodeMap& map, std::string_view name) {
        const auto found = map.find(name);
        return found == map.end() ? nullptr : &*found;
    }

    // The node of a structured render: UnknownRule, or StructuredTargetNotObject.
    Result<const StructuredNode*> structured_object(std::string_view name) const;

    // What the ruleset compiled: made in its arena, as every node, list and text they hold is.
    struct Contents {
        StructuredNode structured;
        NodeMap rules;
        NodeMap context_defaults;
    };

    // Owns the contents and what linking keeps. Hundreds of thousands of small nodes share a few
    // blocks and regions instead of taking one allocation each, and go with them; the arena
    // stays in place when the ruleset moves, as the lists made in it require.
    std::unique_ptr<support::Arena> arena_;
    support::ArenaPtr<const Contents> contents_;
    // The processors that linked pipelines point to, on the heap.
    ProcessorMap processors_;
};

}  // namespace veskora::render
