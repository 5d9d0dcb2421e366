// RenderState: everything one render call changes (loop scopes and their bindings, the names and
// bound structured nodes being rendered, the context map, unique-choice marks, the thread's
// generator), and name resolution through loops, bindings and the context.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "render/error.hpp"
#include "render/node_text.hpp"
#include "render/value.hpp"
#include "support/hash.hpp"
#include "support/inline_stack.hpp"
#include "support/random.hpp"

namespace veskora::render {

class RuleSet;

// The caller's context values for one call; bindings outside loops and rendered context
// defaults are added to it during the call.
using ContextMap = support::StringMap<std::string>;

// One context value as a host passed it.
struct ContextEntry {
    std::string_view key;
    std::string_view value;
};

// A host's context for one call. The entries' text is copied (the host may change its strings
// while its callbacks run) into one block, with no allocation per entry. As in a map built from
// the entries in order, a later entry of a key wins. A short list is searched from the back; a
// longer one is sorted by key once and binary-searched, which no choice of keys can slow down.
class HostContext {
public:
    HostContext() = default;
    // The views may point anywhere; their text is copied. Most renders have no context: then
    // nothing is taken, with no call.
    explicit HostContext(std::vector<ContextEntry>&& entries) {
        if (!entries.empty()) take(std::move(entries));
    }

    // The value of the last entry of `key`; null when there is none.
    const std::string_view* find(std::string_view key) const;
    bool empty() const { return entries_.empty(); }

private:
    void take(std::vector<ContextEntry>&& entries);

    std::vector<ContextEntry> entries_;  // views into text_; sorted by key when long
    std::unique_ptr<char[]> text_;
};

// How deeply one call may nest: guarded renders (rules, context defaults, bound structured
// nodes) plus active loop scopes, checked whenever a guarded render starts. Reaching it fails
// with CircularReference over the active names instead of exhausting the stack. Loops count
// because a single template may nest many of them between two guarded renders.
//
// Measured on a 1 MiB thread with two chains: every level a rule that loops over one element,
// binds the piped text of the next rule and renders the binding (two units per level), and the
// same without the loop (one unit per level). Under AddressSanitizer and
// UndefinedBehaviorSanitizer at -O2 a unit took 2.6 KiB and 3.8 KiB of stack, so a render at
// the bound needed 317 KiB and 474 KiB, leaving more than half of the stack for the loops that
// one template may still nest and for the processors and callbacks at the deepest level.
// Without sanitizers a unit took 0.6 KiB and 0.9 KiB (76 KiB and 113 KiB at the bound).
inline constexpr std::size_t kMaxRenderDepth = 128;

// How many guarded renders the state keeps in place before its stacks move to the heap.
inline constexpr std::size_t kUsualDepth = 8;

// One loop element: an owned runtime value, or a node of the ruleset's structured tree.
struct IterationValue {
    std::variant<VeskoraValue, const StructuredNode*> value;
};

// Replaces a loop's element with the next. The elements of one loop are all of one kind, and
// nodes of the structured tree are taken by a plain copy of the pointer rather than through
// the variant's assignment, which visits both sides.
inline void refill(IterationValue& element, IterationValue&& next) {
    auto* node = std::get_if<const StructuredNode*>(&element.value);
    const auto* next_node = std::get_if<const StructuredNode*>(&next.value);
    if (node != nullptr && next_node != nullptr) {
        *node = *next_node;
    } else {
        element = std::move(next);
    }
}

// The elements a loop walks: the entries of an array of the structured tree, read where they
// are, or copies of a runtime array's values.
class LoopElements {
public:
    explicit LoopElements(const StructuredNode::Array& entries) : entries_(&entries) {}
    explicit LoopElements(std::vector<IterationValue> values) : values_(std::move(values)) {}

    std::uint64_t size() const { return entries_ != nullptr ? entries_->size() : values_.size(); }
    // The element at `i`; each is taken once.
    IterationValue take(std::size_t i) {
        if (entries_ != nullptr) return IterationValue{(*entries_)[i].value_node()};
        return std::move(values_[i]);
    }

private:
    const StructuredNode::Array* entries_ = nullptr;
    std::vector<IterationValue> values_;
};

struct IterationScope {
    std::string_view variable;  // owned by the loop's node
    IterationValue element;
    // Made by the first binding in the iteration.
    std::optional<ContextMap> bindings;
    std::uint64_t index = 0;
    std::uint64_t length = 0;
};

// The result of resolving a name: bound text, a structured element (or member), a runtime
// element (or member, or a "loop." value), or the bare name "loop".
struct ScopedValue {
    struct Loop {};
    std::variant<std::string, const StructuredNode*, VeskoraValue, Loop> value;
};

class RenderState {
public:
    static RenderState with_context_and_options(const RuleSet& ruleset, ContextMap context,
                                                std::uint64_t options);
    // The state of a host's render, taking its context entries as a HostContext. Inline, with
    // the state's own making: a short render costs little more than making its state.
    static RenderState with_host_context_and_options(const RuleSet& ruleset,
                                                     std::vector<ContextEntry>&& context,
                                                     std::uint64_t options) {
        return RenderState(ruleset, std::move(context), options);
    }

    // Loop scopes, loop names, member paths, bindings, then the context map and the host's
    // context; none when nothing answers. Errors: UnknownRule for a missing member or an unknown "loop." name.
    Result<std::optional<ScopedValue>> scoped_value(std::string_view name) const;
    // Whether scoped_value would find a value, without copying it.
    Result<bool> has_scoped_value(std::string_view name) const;

    // The text a template reference gets from the scoped value, appended to `out`; false when
    // the name is not bound. Structured nodes render under the re-entry check on node identity.
    Result<bool> append_bound_text(std::string_view name, std::string& out);
    // What append_bound_text gives for `name` when it is the variable of the loop `outward`
    // scopes out from the innermost, the answer known when the template was compiled.
    Result<void> append_loop_element(std::size_t outward, std::string_view name, std::string& out);
    Result<std::optional<std::string>> resolve_bound_text(std::string_view name);

    Result<LoopElements> iterable_elements(std::string_view source);

    Result<void> bind(std::string_view name, std::string text, bool check);
    bool is_immutable_loop_name(std::string_view name) const;
    void cache_context_default(std::string_view name, std::string text);

    void mark_unique_choice_index(std::string_view key, std::uint64_t index);
    // The indices used under a key in this call; null when the key was never marked.
    const std::set<std::uint64_t>* unique_choice_indices(std::string_view key) const;

    // `variable` must outlive the scope (the loop's node owns it).
    void push_iteration_scope(std::string_view variable, IterationValue element,
                              std::uint64_t index, std::uint64_t length);
    void pop_iteration_scope();

    // Calls `body` once per element, in order, with that element's scope innermost; stops at the
    // first failure. One scope serves the whole loop: each element refills it, with no
    // bindings, which is the same as a scope of its own.
    template <class Body>
    Result<void> iterate(std::string_view variable, LoopElements elements, Body&& body) {
        const std::uint64_t length = elements.size();
        if (length == 0) return {};
        push_iteration_scope(variable, elements.take(0), 0, length);
        // By position: loops inside the body push and pop scopes of their own.
        const std::size_t innermost = scopes.size() - 1;
        Result<void> result;
        for (std::uint64_t i = 0; i < length && result; ++i) {
            if (i > 0) {
                IterationScope& scope = scopes[innermost];
                refill(scope.element, elements.take(i));
                scope.index = i;
                scope.bindings.reset();
            }
            result = body();
        }
        pop_iteration_scope();
        return result;
    }

    // The thread's generator, taken on the first draw.
    support::Rng& rng() {
        if (rng_ == nullptr) rng_ = &support::thread_rng();
        return *rng_;
    }

    std::vector<IterationScope> scopes;
    // Views of names owned by the ruleset's nodes or by the caller of the render. Renders that
    // nest no deeper than a few rules keep them in place.
    support::InlineStack<std::string_view, kUsualDepth> rule_stack;
    support::InlineStack<const StructuredNode*, kUsualDepth> node_stack;
    const RuleSet* ruleset;
    // The caller's map of with_context_and_options, then bindings outside loops and rendered
    // context defaults; it answers before the host's context, which nothing changes.
    ContextMap context_map;
    HostContext host_context;
    std::uint64_t recursion_limit;
    // Guarded renders currently nested.
    std::size_t depth = 0;

    // Whether no name is bound at all: no loop scope, no context value, binding or rendered
    // context default.
    bool binds_nothing() const { return scopes.empty() && context_map.empty() && host_context.empty(); }

    // The names on the rule stack, then `name`: the cycle a CircularReference reports.
    std::vector<std::string> active_names_and(std::string_view name) const;

    // Whether one more guarded render would nest too deeply (see kMaxRenderDepth).
    bool at_nesting_bound() const { return depth + scopes.size() >= kMaxRenderDepth; }

private:
    // Each context is made in its place: the state is the first thing a render writes, and
    // moving freshly written members into it costs more than the rest of a short render.
    RenderState(const RuleSet& ruleset, ContextMap context, std::uint64_t options);
    RenderState(const RuleSet& ruleset, std::vector<ContextEntry>&& context, std::uint64_t options)
        : ruleset(&ruleset), host_context(std::move(context)), recursion_limit(options) {}
    // The guarded render of a structured node reached through `name`.
    Result<bool> append_structured_text(const StructuredNode* node, std::string_view name,
                                        std::string& out) {
        // Literal text reaches nothing else, so it needs no re-entry check.
        if (const NodeText* literal = node->literal(); literal != nullptr && !at_nesting_bound()) {
            out.append(literal->view());
            return true;
        }
        return append_guarded_structured_text(node, name, out);
    }
    Result<bool> append_guarded_structured_text(const StructuredNode* node, std::string_view name,
                                                std::string& out);

    support::Rng* rng_ = nullptr;
    // Made by the first unique draw.
    std::optional<support::StringMap<std::set<std::uint64_t>>> unique_choices_;
};

// "object" / "array" / "string" / "number" / "boolean" / "null" of a resolved value, as used in
// NotIterable errors ("string" for bound text, "object" for the name loop).
const char* kind_text(const ScopedValue& value);

}  // namespace veskora::render
