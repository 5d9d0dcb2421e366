// Text nodes: the compiled, immutable form of every rule, context default and template. A render
// walks them with the call's RenderState, appending to one output buffer; everything a render
// changes lives in the state.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "render/error.hpp"
#include "render/node_text.hpp"
#include "render/processor.hpp"
#include "render/state.hpp"
#include "support/arena.hpp"
#include "support/hash.hpp"
#include "support/name_map.hpp"
#include "support/random.hpp"

namespace veskora::render {

struct RuleCallNode;

// Links the nodes a ruleset takes (see TextGeneratorNode::link). Rule calls are given their
// targets a batch at a time: in a large ruleset each lookup waits on memory, and the lookups of
// a batch wait together.
class Linker {
public:
    // What linking keeps is made in `arena`, the ruleset's.
    Linker(const RuleSet& ruleset, support::Arena& arena) : ruleset_(ruleset), arena_(arena) {}
    Linker(const Linker&) = delete;
    Linker& operator=(const Linker&) = delete;

    const RuleSet& ruleset() const { return ruleset_; }
    support::Arena& arena() const { return arena_; }
    void add(RuleCallNode& call);
    // Links the calls added since the last batch; called once every node was visited.
    void finish();

private:
    // Lookups waiting together against calls evicted before linked; chosen by load_bench BM_Load/plain/10240.
    static constexpr std::size_t kBatch = 64;

    const RuleSet& ruleset_;
    support::Arena& arena_;
    std::vector<RuleCallNode*> calls_;
    // The names of the calls, copied while each call is at hand: read back from the nodes, each
    // would be a cache miss again.
    std::string names_;
    std::vector<std::size_t> name_ends_;
};

// Nodes are made in an arena, which owns them (see NodePtr); the arena destroys those few that
// hold memory of their own (the weighted choices), and every other kind is trivially
// destructible, so that freeing a ruleset walks none of its nodes.
class TextGeneratorNode {
public:
    // Appends the node's text. On error `out` holds partial text the caller drops.
    virtual Result<void> generate_text(RenderState& state, std::string& out) const = 0;
    // The unique-choice path under `key`; every kind but the two choices fails with NotAChoice.
    virtual Result<void> generate_unique_text(std::string_view key, RenderState& state,
                                              std::string& out) const;

    Result<std::string> generate_text(RenderState& state) const;

    // Called once by the ruleset that takes the node (and so each node below it): resolves the
    // names the node refers to in that ruleset, so renders find them without a lookup. A rule
    // call is resolved when the linker looks up its batch.
    virtual void link(Linker& linker);

    // Once linked, the text of a node that renders one piece of literal text, else null: such
    // text is appended without a render.
    virtual const NodeText* literal() const { return nullptr; }

protected:
    // Not virtual: a node is never deleted, and the arena destroys it as what it was made.
    ~TextGeneratorNode() = default;
};

// A node made in an arena: `arena.make<LiteralNode>(arena, text)`.
using NodePtr = support::ArenaPtr<TextGeneratorNode>;
using NodeMap = support::NameMap<NodePtr>;
// The children of a node, in the arena of the node.
using NodeList = support::ArenaVector<NodePtr>;
// The processor names of a pipeline, in written order.
using ProcessorNames = support::ArenaVector<NodeText>;

struct LiteralNode final : TextGeneratorNode {
    LiteralNode(support::Arena& arena, std::string_view text) : text(arena, text) {}
    using TextGeneratorNode::generate_text;
    Result<void> generate_text(RenderState& state, std::string& out) const override;
    const NodeText* literal() const override { return &text; }

    NodeText text;
};

struct VecNode final : TextGeneratorNode {
    explicit VecNode(NodeList children) : children(std::move(children)) {}
    using TextGeneratorNode::generate_text;
    Result<void> generate_text(RenderState& state, std::string& out) const override;
    void link(Linker& linker) override;

    NodeList children;

    // A template that is one piece of literal text (every plain string of a document) gives it.
    const NodeText* literal() const override { return literal_; }

private:
    // Appended without a call to the child.
    const NodeText* literal_ = nullptr;
};

// A reference, in a loop's body, to the variable of that loop or of one around it in the same
// template: nothing else can answer to the name there (a binding may not take a loop's name),
// so the element is taken from its scope, `outward` scopes out from the innermost, with no lookup.
struct LoopVariableNode final : TextGeneratorNode {
    LoopVariableNode(support::Arena& arena, std::string_view name, std::size_t outward)
        : name(arena, name), outward(outward) {}
    using TextGeneratorNode::generate_text;
    Result<void> generate_text(RenderState& state, std::string& out) const override {
        return state.append_loop_element(outward, name, out);
    }

    NodeText name;
    std::size_t outward;
};

struct RuleCallNode final : TextGeneratorNode {
    RuleCallNode(support::Arena& arena, std::string_view name, bool unique) : name(arena, name), unique(unique) {}
    using TextGeneratorNode::generate_text;
    Result<void> generate_text(RenderState& state, std::string& out) const override;
    void link(Linker& linker) override;

    // The context default and the rule of a name in one ruleset (null where it has none).
    struct Targets {
        const NodeMap::value_type* context_default = nullptr;
        const NodeMap::value_type* rule = nullptr;
    };

    // Called by the linker with the node's targets in the ruleset that links it.
    void link_to(const Targets& targets);

    NodeText name;
    bool unique;

private:
    // The target in the ruleset that owns the node: its context default for the name when it
    // has one, since that answers first, else its rule (null when it has neither). A node
    // rendered outside a ruleset (not linked) looks the targets up by name. The flags sit beside
    // `unique`, where a std::optional of both targets would take two words more in every call.
    bool linked_ = false;
    bool targets_default_ = false;
    const NodeMap::value_type* target_ = nullptr;
};

struct ProcessorPipelineNode final : TextGeneratorNode {
    ProcessorPipelineNode(ProcessorNames processors, NodePtr inner)
        : processors(std::move(processors)), inner(inner) {}
    using TextGeneratorNode::generate_text;
    Result<void> generate_text(RenderState& state, std::string& out) const override;
    void link(Linker& linker) override;

    ProcessorNames processors;
    NodePtr inner;

private:
    // The processor of each name in the ruleset that owns the node (null for a name it lacks),
    // as many as the names, in the ruleset's arena, so a pointer is all the node keeps of them;
    // null until linked, when each render looks the names up.
    const Processor** linked_ = nullptr;
};

struct BindNode final : TextGeneratorNode {
    BindNode(support::Arena& arena, std::string_view name, NodePtr node, bool overwrite)
        : name(arena, name), node(node), overwrite(overwrite) {}
    using TextGeneratorNode::generate_text;
    Result<void> generate_text(RenderState& state, std::string& out) const override;
    void link(Linker& linker) override;

    NodeText name;
    NodePtr node;
    bool overwrite;  // ":=" rather than ":"
};

// Made in an arena, as the nodes are.
class IterationSource {
public:
    virtual Result<LoopElements> elements(RenderState& state) const = 0;

protected:
    ~IterationSource() = default;
};

struct ArrayIterationSource final : IterationSource {
    ArrayIterationSource(support::Arena& arena, std::string_view source) : source(arena, source) {}
    Result<LoopElements> elements(RenderState& state) const override;

    NodeText source;
};

struct ForEachNode final : TextGeneratorNode {
    ForEachNode(support::Arena& arena, std::string_view variable, support::ArenaPtr<IterationSource> source,
                NodePtr body)
        : variable(arena, variable), source(source), body(body) {}
    using TextGeneratorNode::generate_text;
    Result<void> generate_text(RenderState& state, std::string& out) const override;
    void link(Linker& linker) override;

    NodeText variable;
    support::ArenaPtr<IterationSource> source;
    NodePtr body;

private:
    // Once linked, the pieces of a body that is a sequence (as every parsed body is): each
    // element renders them without one more call through the sequence.
    const NodeList* pieces_ = nullptr;
};

struct ChoiceNode final : TextGeneratorNode {
    explicit ChoiceNode(NodeList choices) : choices(std::move(choices)) {}
    using TextGeneratorNode::generate_text;
    Result<void> generate_text(RenderState& state, std::string& out) const override;
    Result<void> generate_unique_text(std::string_view key, RenderState& state,
                                      std::string& out) const override;
    void link(Linker& linker) override;

    NodeList choices;
};

// A uniform choice among the templates of an array of the ruleset's structured tree whose every
// element is one (a document array of strings): the tree owns and links them, and the choice
// reads them where they are, where owning them would take a list and a TemplateRefNode each.
struct TreeChoiceNode final : TextGeneratorNode {
    // The elements' storage must outlive the node (the tree's arrays never change once built).
    explicit TreeChoiceNode(std::span<const StructuredArrayEntry> elements) : elements(elements) {}
    using TextGeneratorNode::generate_text;
    Result<void> generate_text(RenderState& state, std::string& out) const override;
    Result<void> generate_unique_text(std::string_view key, RenderState& state,
                                      std::string& out) const override;

    std::span<const StructuredArrayEntry> elements;
};

// Holds its weights on the heap: the arena destroys it.
class WeightedChoiceNode final : public TextGeneratorNode {
public:
    // Made in `arena`, with the list of options in it too. Fails with InvalidWeightedChoice
    // carrying the weighted index's message.
    static Result<support::ArenaPtr<WeightedChoiceNode>> create(support::Arena& arena,
                                                                 std::vector<std::pair<NodePtr, double>> pairs);

    using TextGeneratorNode::generate_text;
    Result<void> generate_text(RenderState& state, std::string& out) const override;
    Result<void> generate_unique_text(std::string_view key, RenderState& state,
                                      std::string& out) const override;
    void link(Linker& linker) override;

    const NodeList& choices() const { return choices_; }
    const std::vector<double>& weights() const { return weights_; }

private:
    friend class support::Arena;
    WeightedChoiceNode(NodeList choices, std::vector<double> weights, support::WeightedIndex distribution);

    NodeList choices_;
    std::vector<double> weights_;
    support::WeightedIndex distribution_;
};

// A weighted choice among the "value" templates of an array of the ruleset's structured tree
// whose every element is {value, weight} with a string value, read where they are, as
// TreeChoiceNode reads its options. Holds its weights on the heap: the arena destroys it.
class TreeWeightedChoiceNode final : public TextGeneratorNode {
public:
    // Made in `arena`; the elements' storage must outlive the node. Fails as
    // WeightedChoiceNode::create does.
    static Result<support::ArenaPtr<TreeWeightedChoiceNode>> create(
        support::Arena& arena, std::span<const StructuredArrayEntry> elements, std::vector<double> weights);

    using TextGeneratorNode::generate_text;
    Result<void> generate_text(RenderState& state, std::string& out) const override;
    Result<void> generate_unique_text(std::string_view key, RenderState& state,
                                      std::string& out) const override;

    std::span<const StructuredArrayEntry> elements() const { return elements_; }
    const std::vector<double>& weights() const { return weights_; }

private:
    friend class support::Arena;
    TreeWeightedChoiceNode(std::span<const StructuredArrayEntry> elements, std::vector<double> weights,
                           support::WeightedIndex distribution)
        : elements_(elements), weights_(std::move(weights)), distribution_(std::move(distribution)) {}

    std::span<const StructuredArrayEntry> elements_;
    std::vector<double> weights_;
    support::WeightedIndex distribution_;
};

struct UnsupportedValueNode final : TextGeneratorNode {
    UnsupportedValueNode(support::Arena& arena, std::string_view kind) : kind(arena, kind) {}
    using TextGeneratorNode::generate_text;
    Result<void> generate_text(RenderState& state, std::string& out) const override;

    NodeText kind;  // "object" or "array"
};

// A template that the ruleset compiled once, for its structured tree, named again as a rule or
// context default: renders the node it refers to. The tree owns and links that node for the
// ruleset's whole life, so a document's every string is compiled, linked and freed once.
struct TemplateRefNode final : TextGeneratorNode {
    explicit TemplateRefNode(const TextGeneratorNode& target) : target(target) {}
    using TextGeneratorNode::generate_text;
    Result<void> generate_text(RenderState& state, std::string& out) const override;
    Result<void> generate_unique_text(std::string_view key, RenderState& state,
                                      std::string& out) const override;

    const TextGeneratorNode& target;
};

}  // namespace veskora::render
