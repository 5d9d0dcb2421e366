// Hand-built nodes and rulesets for the engine tests: a miniature template reader for the text
// and "{name}", "{name!}", "{name | p | q}" forms, constructors for the other node kinds, and a
// builder that assembles a RuleSet from rules, context defaults, structured members and
// processors. Everything they build is made in test_arena().
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "render/nodes.hpp"
#include "render/ruleset.hpp"
#include "render/state.hpp"
#include "render/value.hpp"
#include "support/arena.hpp"
#include "test_arena.hpp"

namespace veskora::test {

using namespace veskora::render;

inline NodeList node_list(std::vector<NodePtr> nodes) {
    NodeList list(test_arena());
    for (const NodePtr& node : nodes) list.push_back(node);
    return list;
}

inline std::string_view trim_blanks(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

inline NodePtr lit(std::string_view text) { return test_arena().make<LiteralNode>(test_arena(), text); }
inline NodePtr call(std::string_view name, bool unique = false) {
    return test_arena().make<RuleCallNode>(test_arena(), name, unique);
}

template <class... N>
NodePtr seq(N... nodes) {
    return test_arena().make<VecNode>(node_list({nodes...}));
}

inline NodePtr pipe(const std::vector<std::string>& processors, NodePtr inner) {
    ProcessorNames names(test_arena());
    for (const std::string& name : processors) names.emplace_back(test_arena(), name);
    return test_arena().make<ProcessorPipelineNode>(std::move(names), inner);
}

inline NodePtr choice_of(std::vector<NodePtr> options) { return test_arena().make<ChoiceNode>(node_list(options)); }
inline NodePtr unsupported(std::string_view kind) { return test_arena().make<UnsupportedValueNode>(test_arena(), kind); }

// Text with "{name}", "{name!}" and "{name | p | q}" references; nothing else is special.
inline NodePtr tpl(std::string_view text) {
    std::vector<NodePtr> children;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t open = text.find('{', pos);
        if (open == std::string_view::npos) {
            children.push_back(lit(std::string(text.substr(pos))));
            break;
        }
        if (open > pos) children.push_back(lit(std::string(text.substr(pos, open - pos))));
        const std::size_t close = text.find('}', open);
        std::string_view inside = text.substr(open + 1, close - open - 1);
        std::vector<std::string> processors;
        const std::size_t bar = inside.find('|');
        std::string_view name = trim_blanks(inside.substr(0, bar));
        if (bar != std::string_view::npos) {
            std::string_view rest = inside.substr(bar + 1);
            while (true) {
                const std::size_t next = rest.find('|');
                processors.emplace_back(trim_blanks(rest.substr(0, next)));
                if (next == std::string_view::npos) break;
                rest = rest.substr(next + 1);
            }
        }
        const bool unique = !name.empty() && name.back() == '!';
        if (unique) name.remove_suffix(1);
        NodePtr ref = call(name, unique);
        children.push_back(processors.empty() ? ref : pipe(processors, ref));
        pos = close + 1;
    }
    return test_arena().make<VecNode>(node_list(std::move(children)));
}

inline NodePtr bind_to(std::string_view name, NodePtr value, bool overwrite) {
    return test_arena().make<BindNode>(test_arena(), name, value, overwrite);
}

inline NodePtr each(std::string_view variable, std::string_view source, NodePtr body) {
    return test_arena().make<ForEachNode>(test_arena(), variable,
                                          test_arena().make<ArrayIterationSource>(test_arena(), source), body);
}

inline NodePtr choice(const std::vector<std::string>& options) {
    std::vector<NodePtr> nodes;
    for (const auto& o : options) nodes.push_back(lit(o));
    return choice_of(std::move(nodes));
}

inline NodePtr weighted(const std::vector<std::pair<std::string, double>>& options) {
    std::vector<std::pair<NodePtr, double>> pairs;
    for (const auto& [text, weight] : options) pairs.emplace_back(lit(text), weight);
    auto node = WeightedChoiceNode::create(test_arena(), std::move(pairs));
    if (!node) return nullptr;
    return *node;
}

// ---- structured nodes ----

inline StructuredNode s_text(std::string_view text) { return StructuredNode{StructuredNode::Text{tpl(text)}}; }
inline StructuredNode s_num(VeskoraNumber n) { return StructuredNode{n}; }
inline StructuredNode s_bool(bool b) { return StructuredNode{b}; }
inline StructuredNode s_null() { return StructuredNode{nullptr}; }

struct SObj {
    StructuredNode::Object members{test_arena()};
    SObj&& add(std::string key, StructuredNode node) && {
        members.insert_or_assign(std::move(key), std::move(node));
        return std::move(*this);
    }
    operator StructuredNode() && { return StructuredNode{std::move(members)}; }
};

struct SArr {
    StructuredNode::Array entries{test_arena()};
    SArr&& add(StructuredNode node) && {
        entries.emplace_back(std::move(node));
        return std::move(*this);
    }
    SArr&& loop(std::string_view variable, std::string_view source, StructuredNode body) && {
        entries.emplace_back(test_arena().make<ForEachStructuredArrayEntry>(test_arena(), variable, source, std::move(body)));
        return std::move(*this);
    }
    operator StructuredNode() && { return StructuredNode{std::move(entries)}; }
};

// ---- rulesets ----

struct Doc {
    StructuredNode::Object root{test_arena()};
    NodeMap rules{test_arena()};
    NodeMap context_defaults{test_arena()};
    ProcessorMap processors;

    // A template rule: a text rule and a text member of the structured tree.
    Doc&& text(const std::string& name, std::string_view text) && {
        rules.insert_or_assign(name, tpl(text));
        root.insert_or_assign(name, s_text(text));
        return std::move(*this);
    }
    // A text rule only (e.g. a choice), under a name of the structured tree or not.
    Doc&& rule(const std::string& name, NodePtr node) && {
        rules.insert_or_assign(name, node);
        return std::move(*this);
    }
    Doc&& member(const std::string& name, StructuredNode node) && {
        root.insert_or_assign(name, std::move(node));
        return std::move(*this);
    }
    Doc&& context_default(const std::string& name, NodePtr node) && {
        context_defaults.insert_or_assign(name, node);
        return std::move(*this);
    }
    template <class F>
    Doc&& processor(const std::string& name, F f) && {
        processors.insert_or_assign(name, make_processor(std::move(f)));
        return std::move(*this);
    }
    // The ruleset's own arena keeps what linking makes; the rest stays in the test arena.
    RuleSet build() && {
        return RuleSet(std::make_unique<support::Arena>(), StructuredNode{std::move(root)}, std::move(rules),
                       std::move(context_defaults), std::move(processors));
    }
};

inline ContextMap context(std::vector<std::pair<std::string, std::string>> entries = {}) {
    ContextMap map;
    for (auto& [k, v] : entries) map.insert_or_assign(std::move(k), std::move(v));
    return map;
}

// A text render of one rule in a fresh state.
inline Result<std::string> render(const RuleSet& rs, std::string_view name, ContextMap ctx = {},
                                  std::uint64_t options = 0) {
    auto state = RenderState::with_context_and_options(rs, std::move(ctx), options);
    return rs.render_rule_with_state(name, state);
}

// The display text of an error, or the text itself, for compact expectations.
inline std::string text_or_error(const Result<std::string>& r) {
    return r ? *r : "error: " + r.error().fmt();
}

}  // namespace veskora::test
