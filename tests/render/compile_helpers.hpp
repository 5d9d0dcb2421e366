// Builders for resolved document values and small render helpers shared by the compile,
// ruleset build and loading tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "hocon/value.hpp"
#include "render/nodes.hpp"
#include "render/ruleset.hpp"
#include "render/state.hpp"
#include "render/value.hpp"
#include "support/arena.hpp"
#include "test_arena.hpp"

namespace veskora::compile_test {

using hocon::Value;
using test::test_arena;

inline Value S(std::string text) { return Value(std::move(text)); }
inline Value U(std::uint64_t n) { return Value(hocon::Number(n)); }
inline Value I(std::int64_t n) { return Value(hocon::Number(n)); }
inline Value F(double n) { return Value(hocon::Number(n)); }
inline Value B(bool b) { return Value::boolean(b); }
inline Value N() { return Value(); }
inline Value A(std::initializer_list<Value> elements) { return Value(Value::Array(elements)); }
inline Value O(std::initializer_list<std::pair<const std::string, Value>> members) {
    return Value(Value::Object(members));
}

inline render::RuleSet empty_ruleset() {
    auto arena = std::make_unique<support::Arena>();
    support::Arena& memory = *arena;
    return render::RuleSet(std::move(arena), render::StructuredNode(render::StructuredNode::Object(memory)),
                           render::NodeMap(memory), render::NodeMap(memory), {});
}

// Renders a node with a fresh state over `ruleset`.
inline render::Result<std::string> render_node(const render::TextGeneratorNode& node,
                                               const render::RuleSet& ruleset) {
    auto state = render::RenderState::with_context_and_options(ruleset, {}, 0);
    return node.generate_text(state);
}

inline render::Result<std::string> render_node(const render::TextGeneratorNode& node) {
    static const render::RuleSet ruleset = empty_ruleset();
    return render_node(node, ruleset);
}

inline render::Result<std::string> render_rule(const render::RuleSet& ruleset, std::string_view name,
                                               std::uint64_t options = 0) {
    auto state = render::RenderState::with_context_and_options(ruleset, {}, options);
    return ruleset.render_rule_with_state(name, state);
}

// Every text a random rule gave over `draws` renders; stops at the first error.
inline render::Result<std::set<std::string>> render_outcomes(const render::RuleSet& ruleset,
                                                             std::string_view name,
                                                             int draws = 200) {
    std::set<std::string> seen;
    for (int i = 0; i < draws; ++i) {
        auto text = render_rule(ruleset, name);
        if (!text) return std::unexpected(text.error());
        seen.insert(*text);
    }
    return seen;
}

}  // namespace veskora::compile_test
