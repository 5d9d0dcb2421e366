// Hand-built nodes and rulesets for the engine tests: a miniature template reader for the text
// and "{name}", "{name!}", "{name | p | q}" forms, constructors for the other node kinds, and a
// builder that assembles a RuleSet from rules, context defaults, structured members and
// processors.
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

namespace veskora::test {

using namespace veskora::render;

inline std::string_view trim_blanks(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

inline NodePtr lit(std::string text) { return std::make_unique<LiteralNode>(std::move(text)); }
inline NodePtr call(std::string name, bool unique = false) {
    return std::make_unique<RuleCallNode>(std::move(name), unique);
}

template <class... N>
NodePtr seq(N... nodes) {
    std::vector<NodePtr> children;
    (children.push_back(std::move(nodes)), ...);
    return std::make_unique<VecNode>(std::move(children));
}

inline NodePtr pipe(std::vector<std::string> processors, NodePtr inner) {
    return std::make_unique<ProcessorPipelineNode>(std::move(processors), std::move(inner));
}

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
        NodePtr ref = call(std::string(name), unique);
        children.push_back(processors.empty() ? std::move(ref) : pipe(std::move(processors), std::move(ref)));
        pos = close + 1;
    }
    return std::make_unique<VecNode>(std::move(children));
}

inline NodePtr bind_to(std::string name, NodePtr value, bool overwrite) {
    return std::make_unique<BindNode>(std::move(name), std::move(value), overwrite);
}

inline NodePtr each(std::string variable, std::string source, NodePtr body) {
    return std::make_unique<ForEachNode>(std::move(variable),
                                         std::make_unique<ArrayIterationSource>(std::move(source)),
                                         std::move(body));
}

inline NodePtr choice(std::vector<std::string> options) {
    std::vector<NodePtr> nodes;
    for (auto& o : options) nodes.push_back(lit(std::move(o)));
    return std::make_unique<ChoiceNode>(std::move(nodes));
}

inline NodePtr weighted(std::vector<std::pair<std::string, double>> options) {
    std::vector<std::pair<NodePtr, double>> pairs;
    for (auto& [text, weight] : options) pairs.emplace_back(lit(std::move(text)), weight);
    auto node = WeightedChoiceNode::create(std::move(pairs));
    if (!node) return nullptr;
    return std::move(*node);
}

// ---- structured nodes ----

inline StructuredNode s_text(std::string_view text) { return StructuredNode{StructuredNode::Text{tpl(text)}}; }
inline StructuredNode s_num(VeskoraNumber n) { return StructuredNode{n}; }
inline StructuredNode s_bool(bool b) { return StructuredNode{b}; }
inline StructuredNode s_null() { return StructuredNode{nullptr}; }

struct SObj {
    StructuredNode::Object members;
    SObj&& add(std::string key, StructuredNode node) && {
        members.insert_or_assign(std::move(key), std::move(node));
        return std::move(*this);
    }
    operator StructuredNode() && { return StructuredNode{std::move(members)}; }
};

struct SArr {
    StructuredNode::Array entries;
    SArr&& add(StructuredNode node) && {
        entries.push_back(std::make_unique<FixedStructuredArrayEntry>(std::move(node)));
        return std::move(*this);
    }
    SArr&& loop(std::string variable, std::string source, StructuredNode body) && {
        entries.push_back(std::make_unique<ForEachStructuredArrayEntry>(
            std::move(variable), std::move(source), std::move(body)));
        return std::move(*this);
    }
    operator StructuredNode() && { return StructuredNode{std::move(entries)}; }
};

// ---- rulesets ----

struct Doc {
    StructuredNode::Object root;
    NodeMap rules;
    NodeMap context_defaults;
    ProcessorMap processors;

    // A template rule: a text rule and a text member of the structured tree.
    Doc&& text(const std::string& name, std::string_view text) && {
        rules.insert_or_assign(name, tpl(text));
        root.insert_or_assign(name, s_text(text));
        return std::move(*this);
    }
    // A text rule only (e.g. a choice), under a name of the structured tree or not.
    Doc&& rule(const std::string& name, NodePtr node) && {
        rules.insert_or_assign(name, std::move(node));
        return std::move(*this);
    }
    Doc&& member(const std::string& name, StructuredNode node) && {
        root.insert_or_assign(name, std::move(node));
        return std::move(*this);
    }
    Doc&& context_default(const std::string& name, NodePtr node) && {
        context_defaults.insert_or_assign(name, std::move(node));
        return std::move(*this);
    }
    template <class F>
    Doc&& processor(const std::string& name, F f) && {
        processors.insert_or_assign(name, make_processor(std::move(f)));
        return std::move(*this);
    }
    RuleSet build() && {
        return RuleSet(StructuredNode{std::move(root)}, std::move(rules), std::move(context_defaults),
                       std::move(processors));
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
