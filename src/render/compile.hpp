// Compilation of resolved document values: into text nodes (templates, fixed text, uniform and
// weighted choices, placeholders) registered under rule and context-default names, and into the
// structured tree, where structured loop blocks become loop entries of arrays.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hocon/value.hpp"
#include "render/config_loader.hpp"
#include "render/error.hpp"
#include "render/nodes.hpp"
#include "render/processor.hpp"
#include "render/ruleset.hpp"
#include "render/value.hpp"
#include "support/hash.hpp"

namespace veskora::render::compile {

// Loop marker text to its structured loop block, as the loader hands it over.
using LoopMap = support::StringMap<StructuredLoopTemplate>;

// The keys of a loop map prepared for substring search, so that a whole document can be tested
// without comparing every string against every marker. Every marker the loader writes begins
// with the same prefix; only places where that prefix occurs are looked up, once per distinct
// marker length. The map must outlive the index.
class LoopMarkerIndex {
public:
    explicit LoopMarkerIndex(const LoopMap& loops);

    const LoopMap& loops() const { return *loops_; }
    // Whether any key of the map occurs in the text as a byte substring.
    bool found_in(std::string_view text) const;
    // The block whose marker is the whole text; null when there is none.
    const StructuredLoopTemplate* block(std::string_view text) const;

private:
    const LoopMap* loops_;
    std::string prefix_;                // the longest prefix shared by every key
    std::vector<std::size_t> lengths_;  // the distinct key lengths
};

// The templates compiled into the structured tree for the strings of one value, and the elements
// of its arrays, by the address of each string or array in the document, so that the text rules
// of the same value refer to them (TemplateRefNode, TreeChoiceNode, TreeWeightedChoiceNode)
// instead of compiling, linking and freeing every string twice. The value must stay in place,
// and the tree outlive the rules.
class CompiledTexts {
public:
    using Elements = std::span<const StructuredArrayEntry>;

    void add(const hocon::Value& text, const TextGeneratorNode& node) { texts_.emplace_back(&text, &node); }
    // The elements' storage stays in place when the array that holds them moves.
    void add(const hocon::Value& array, const StructuredNode::Array& elements) {
        arrays_.emplace_back(&array, Elements(elements));
    }
    // Readies what was added for the finds.
    void index();
    // The node compiled for the string value; null when there is none.
    const TextGeneratorNode* find(const hocon::Value& text) const;
    // The elements compiled for the array value.
    std::optional<Elements> find_elements(const hocon::Value& array) const;
    void clear() {
        texts_.clear();
        arrays_.clear();
    }

private:
    std::vector<std::pair<const hocon::Value*, const TextGeneratorNode*>> texts_;  // sorted by index()
    std::vector<std::pair<const hocon::Value*, Elements>> arrays_;                 // likewise
};

// One option of a weighted choice and its weight.
using WeightedEntry = std::pair<NodePtr, double>;

// How deeply arrays and objects may nest inside one compiled value. Compilation and every later
// walk over the compiled nodes recurse once per level; a deeper value (substitution chains and
// nested loop bodies can build one that no single text spells out) fails with UnsupportedValue.
inline constexpr std::size_t kMaxValueNesting = 512;

// The document number as the engine keeps it: integers below 2^63 and negative ones as Int,
// larger ones as UInt, floats unchanged. UnsupportedValue "number must be finite" for an
// infinite or NaN float.
Result<VeskoraNumber> document_number(const hocon::Number& number);

// The nodes below are made in the arena given, or in that of the map or list they are
// registered in.

// A string as a template, a scalar as its text, an object as an "object" placeholder, an array
// as a uniform choice or, when any element is an object with a "value" or "weight" member, a
// weighted choice.
Result<NodePtr> value_to_node(support::Arena& arena, hocon::Value value, const ProcessorMap& processors);

// The weighted choice over the elements of an array, entries checked in element order.
Result<NodePtr> weighted_choice_node(support::Arena& arena, hocon::Value::Array elements,
                                     const ProcessorMap& processors);

// One element of a weighted array: a non-object is an option of weight 1.0; an object must be
// exactly {value, weight} with a finite, non-negative numeric weight. The entry's own faults are
// InvalidWeightedChoice; errors from compiling "value" keep their kind.
Result<WeightedEntry> weighted_choice_entry(support::Arena& arena, hocon::Value element,
                                            const ProcessorMap& processors);

// How many names registering the value takes at most: its own and, for an object, those of its
// members at any depth (a name given twice counts twice).
std::size_t registered_names(const hocon::Value& value);

// Registers a top-level rule: a non-object under its name; an object as an "object"
// placeholder plus its members under dotted names.
Result<void> insert_named_text_nodes(NodeMap& map, std::string name, hocon::Value value,
                                     const ProcessorMap& processors, const LoopMap& loops);

// Registers a member of an object-valued rule, at any depth. A member array that holds a loop
// marker, or whose compilation raises InvalidWeightedChoice, becomes an "array" placeholder.
Result<void> insert_structured_child_text_nodes(NodeMap& map, std::string name, hocon::Value value,
                                                const ProcessorMap& processors,
                                                const LoopMap& loops);

// Registers a context default, at any depth; arrays are always compiled.
Result<void> insert_context_text_nodes(NodeMap& map, std::string name, hocon::Value value,
                                       const ProcessorMap& processors);

// Whether any string inside the value (array elements and member values, not member keys)
// contains a loop marker.
bool contains_template_loop(const hocon::Value& value, const LoopMap& loops);

// Whether any key of the loop map occurs in the text as a byte substring.
bool contains_loop_marker(std::string_view text, const LoopMap& loops);

// The same operations over a prepared index, for callers that test many values against one map.
Result<void> insert_named_text_nodes(NodeMap& map, std::string name, hocon::Value value,
                                     const ProcessorMap& processors, const LoopMarkerIndex& loops);
bool contains_template_loop(const hocon::Value& value, const LoopMarkerIndex& loops);
Result<StructuredNode> value_to_structured_template_node(support::Arena& arena, const hocon::Value& value,
                                                         const ProcessorMap& processors,
                                                         const LoopMarkerIndex& loops);

// The names a ruleset registers with their nodes, in order; a name may come more than once, and
// NodeMap(list) keeps the last node of each. A ruleset's map is made from the list in one go,
// which costs far less than adding a large document's names to the map one at a time.
using NamedNodes = support::ArenaVector<NodeMap::value_type>;

// How a ruleset compiles each top-level value: its structured node first, noting the templates
// it compiles in `compiled`; then its text rules and context defaults, referring to those
// templates, onto the lists of each.
Result<StructuredNode> value_to_structured_template_node(support::Arena& arena, const hocon::Value& value,
                                                         const ProcessorMap& processors,
                                                         const LoopMarkerIndex& loops,
                                                         CompiledTexts& compiled);
Result<void> append_named_text_nodes(NamedNodes& out, std::string name, const hocon::Value& value,
                                     const ProcessorMap& processors, const LoopMarkerIndex& loops,
                                     const CompiledTexts& compiled);
Result<void> append_context_text_nodes(NamedNodes& out, std::string name, const hocon::Value& value,
                                       const ProcessorMap& processors, const CompiledTexts& compiled);

// The structured node of a value. A loop marker is accepted only as a whole array element.
Result<StructuredNode> value_to_structured_template_node(support::Arena& arena, const hocon::Value& value,
                                                         const ProcessorMap& processors,
                                                         const LoopMap& loops);

// One array element: a loop entry for an element that is exactly a loop marker, a fixed entry
// otherwise.
Result<StructuredArrayEntry> template_array_entry(support::Arena& arena, const hocon::Value& element,
                                                  const ProcessorMap& processors, const LoopMap& loops);

}  // namespace veskora::render::compile
