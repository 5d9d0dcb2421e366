// RenderState: everything one render call changes (loop scopes and their bindings, the names and
// bound structured nodes being rendered, the context map, unique-choice marks, the thread's
// generator), and name resolution through loops, bindings and the context.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "render/error.hpp"
#include "render/value.hpp"
#include "support/hash.hpp"
#include "support/random.hpp"

namespace veskora::render {

class RuleSet;

// The caller's context values for one call; bindings outside loops and rendered context
// defaults are added to it during the call.
using ContextMap = support::StringMap<std::string>;

// How many guarded renders (rules, context defaults, bound structured nodes) may nest in one
// call. Deeper nesting fails with CircularReference over the active names instead of exhausting
// the stack; a render at this depth fits in a 1 MiB thread stack.
inline constexpr std::size_t kMaxRenderDepth = 256;

// One loop element: an owned runtime value, or a node of the ruleset's structured tree.
struct IterationValue {
    std::variant<VeskoraValue, const StructuredNode*> value;
};

struct IterationScope {
    std::string variable;
    IterationValue element;
    support::StringMap<std::string> bindings;
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

    // Loop scopes, loop names, member paths, bindings, then the context map; none when nothing
    // answers. Errors: UnknownRule for a missing member or an unknown "loop." name.
    Result<std::optional<ScopedValue>> scoped_value(std::string_view name) const;

    // The text a template reference gets from the scoped value, appended to `out`; false when
    // the name is not bound. Structured nodes render under the re-entry check on node identity.
    Result<bool> append_bound_text(std::string_view name, std::string& out);
    Result<std::optional<std::string>> resolve_bound_text(std::string_view name);

    Result<std::vector<IterationValue>> iterable_elements(std::string_view source);

    Result<void> bind(std::string_view name, std::string text, bool check);
    bool is_immutable_loop_name(std::string_view name) const;
    void cache_context_default(std::string_view name, std::string text);

    void mark_unique_choice_index(std::string_view key, std::uint64_t index);
    // The indices used under a key in this call; null when the key was never marked.
    const std::set<std::uint64_t>* unique_choice_indices(std::string_view key) const;

    void push_iteration_scope(std::string_view variable, IterationValue element,
                              std::uint64_t index, std::uint64_t length);
    void pop_iteration_scope();

    std::vector<IterationScope> scopes;
    // Views of names owned by the ruleset's nodes or by the caller of the render.
    std::vector<std::string_view> rule_stack;
    std::vector<const StructuredNode*> node_stack;
    const RuleSet* ruleset;
    ContextMap context_map;
    support::StringMap<std::set<std::uint64_t>> unique_choices;
    support::Rng* rng;
    std::uint64_t recursion_limit;
    // Guarded renders currently nested, bounded by kMaxRenderDepth.
    std::size_t depth = 0;

private:
    RenderState(const RuleSet& ruleset, ContextMap context, std::uint64_t options);
};

// "object" / "array" / "string" / "number" / "boolean" / "null" of a resolved value, as used in
// NotIterable errors ("string" for bound text, "object" for the name loop).
const char* kind_text(const ScopedValue& value);

}  // namespace veskora::render
