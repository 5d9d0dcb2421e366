#include "render/compile.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "compile_helpers.hpp"
#include "render/template.hpp"

namespace {

using namespace veskora::render;
using namespace veskora::compile_test;
namespace compile = veskora::render::compile;

const ProcessorMap kNoProcessors;
const compile::LoopMap kNoLoops;

const std::string kMarker = "__veskora_internal_0_0__";
const std::string kOtherMarker = "__veskora_internal_0_1__";

compile::LoopMap loops_with(std::string marker, Value body, std::string variable = "item",
                            std::string source = "items") {
    compile::LoopMap loops;
    loops.emplace(std::move(marker),
                  StructuredLoopTemplate{std::move(variable), std::move(source), std::move(body)});
    return loops;
}

std::string template_error(std::string_view text) {
    auto node = templates::template_to_node(test_arena(), text, kNoProcessors);
    return node ? std::string("(no error)") : node.error().fmt();
}

template <class T>
std::string error_text(const Result<T>& result) {
    return result ? std::string("(no error)") : result.error().fmt();
}

// ---- text nodes ----

TEST(ValueToNode, ScalarsRenderTheirText) {
    const struct {
        Value value;
        std::string text;
    } cases[] = {
        {B(true), "true"},
        {B(false), "false"},
        {N(), "null"},
        {U(42), "42"},
        {I(-7), "-7"},
        {U(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615"},
        {I(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
        {F(1.0), "1.0"},
        {F(2.5), "2.5"},
        {F(1e-5), "0.00001"},
        {F(1e-6), "1e-6"},
        {F(1e15), "1000000000000000.0"},
        {F(1e16), "1e+16"},
        {F(1.5e-7), "1.5e-7"},
        {F(0.0), "0.0"},
        {F(-0.0), "-0.0"},
        {S("plain text"), "plain text"},
        {S(""), ""},
    };
    for (const auto& c : cases) {
        auto node = compile::value_to_node(test_arena(), c.value, kNoProcessors);
        ASSERT_TRUE(node) << c.text << ": " << node.error();
        auto text = render_node(**node);
        ASSERT_TRUE(text) << c.text << ": " << text.error();
        EXPECT_EQ(*text, c.text);
    }
}

TEST(ValueToNode, StringsAreTemplates) {
    auto node = compile::value_to_node(test_arena(), S("a {b} c"), kNoProcessors);
    ASSERT_TRUE(node);
    EXPECT_NE(dynamic_cast<VecNode*>(node->get()), nullptr);
    EXPECT_EQ(error_text(compile::value_to_node(test_arena(), S("{"), kNoProcessors)), template_error("{"));
    auto unknown = compile::value_to_node(test_arena(), S("{x | nosuch}"), kNoProcessors);
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error(), RenderError::unknown_processor("nosuch"));
}

TEST(DocumentNumber, IntegersBelowTwoToThe63AreSigned) {
    const std::uint64_t two63 = std::uint64_t{1} << 63;
    const struct {
        hocon::Number in;
        VeskoraNumber out;
    } cases[] = {
        {std::uint64_t{0}, std::int64_t{0}},
        {two63 - 1, std::int64_t{std::numeric_limits<std::int64_t>::max()}},
        {two63, two63},
        {std::numeric_limits<std::uint64_t>::max(), std::numeric_limits<std::uint64_t>::max()},
        {std::int64_t{-1}, std::int64_t{-1}},
        {1.0, 1.0},
    };
    for (const auto& c : cases) {
        auto number = compile::document_number(c.in);
        ASSERT_TRUE(number);
        EXPECT_EQ(number->index(), c.out.index()) << number_text(c.out);
        EXPECT_EQ(*number, c.out);
    }
    auto zero = compile::document_number(-0.0);
    ASSERT_TRUE(zero);
    ASSERT_TRUE(std::holds_alternative<double>(*zero));
    EXPECT_TRUE(std::signbit(std::get<double>(*zero)));
}

TEST(DocumentNumber, NonFiniteFloatsAreRefused) {
    const RenderError expected = RenderError::unsupported_value("number must be finite");
    for (double f : {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                     std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_EQ(compile::document_number(f).error(), expected);
        EXPECT_EQ(compile::value_to_node(test_arena(), F(f), kNoProcessors).error(), expected);
        EXPECT_EQ(compile::value_to_structured_template_node(test_arena(), F(f), kNoProcessors, kNoLoops).error(),
                  expected);
    }
}

TEST(ValueToNode, ObjectsBecomeObjectPlaceholders) {
    auto node = compile::value_to_node(test_arena(), O({{"x", S("{")}}), kNoProcessors);
    ASSERT_TRUE(node) << node.error();  // members are not looked at
    auto* placeholder = dynamic_cast<UnsupportedValueNode*>(node->get());
    ASSERT_NE(placeholder, nullptr);
    EXPECT_EQ(placeholder->kind, "object");
    EXPECT_EQ(render_node(**node).error(), RenderError::unsupported_value("object"));
}

TEST(ValueToNode, ArraysWithoutWeightedEntriesAreUniformChoices) {
    // Member names are compared exactly; objects with other members are plain options.
    auto node = compile::value_to_node(test_arena(), 
        A({S("a"), O({{"Value", S("b")}, {"WEIGHT", U(1)}}), A({S("x"), S("y")}), A({})}),
        kNoProcessors);
    ASSERT_TRUE(node) << node.error();
    auto* choice = dynamic_cast<ChoiceNode*>(node->get());
    ASSERT_NE(choice, nullptr);
    ASSERT_EQ(choice->choices.size(), 4u);
    EXPECT_NE(dynamic_cast<VecNode*>(choice->choices[0].get()), nullptr);
    EXPECT_NE(dynamic_cast<UnsupportedValueNode*>(choice->choices[1].get()), nullptr);
    auto* nested = dynamic_cast<ChoiceNode*>(choice->choices[2].get());
    ASSERT_NE(nested, nullptr);
    EXPECT_EQ(nested->choices.size(), 2u);
    auto* empty = dynamic_cast<ChoiceNode*>(choice->choices[3].get());
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(empty->choices.empty());
    EXPECT_EQ(render_node(*empty).error(), RenderError::empty_choice());
}

TEST(ValueToNode, UniformChoiceStopsAtTheFirstFailingElement) {
    EXPECT_EQ(error_text(compile::value_to_node(test_arena(), A({S("ok"), S("{"), S("{x | nosuch}")}), kNoProcessors)),
              template_error("{"));
}

TEST(ValueToNode, WeightedEntriesKeepOrderAndWeights) {
    const std::uint64_t big = (std::uint64_t{1} << 53) + 1;
    auto node = compile::value_to_node(test_arena(), 
        A({S("a"), O({{"value", S("b")}, {"weight", U(3)}}), O({{"value", S("c")}, {"weight", F(0.0)}}),
           O({{"value", S("d")}, {"weight", F(-0.0)}}), O({{"value", A({S("x"), S("y")})}, {"weight", I(-0)}}),
           O({{"value", N()}, {"weight", U(big)}})}),
        kNoProcessors);
    ASSERT_TRUE(node) << node.error();
    auto* weighted = dynamic_cast<WeightedChoiceNode*>(node->get());
    ASSERT_NE(weighted, nullptr);
    EXPECT_EQ(weighted->weights(),
              (std::vector<double>{1.0, 3.0, 0.0, -0.0, 0.0, static_cast<double>(big)}));
    ASSERT_EQ(weighted->choices().size(), 6u);
    auto* nested = dynamic_cast<ChoiceNode*>(weighted->choices()[4].get());
    ASSERT_NE(nested, nullptr);
    EXPECT_EQ(nested->choices.size(), 2u);
    EXPECT_EQ(render_node(*weighted->choices()[5]).value(), "null");
}

TEST(ValueToNode, WeightedEntryFaultsInCheckOrder) {
    const std::string must_use =
        "invalid weighted choice: object entries in weighted arrays must use value and weight";
    const std::string only = "invalid weighted choice: weighted entries must contain only value and weight";
    const std::string numeric = "invalid weighted choice: weight must be numeric";
    const std::string range = "invalid weighted choice: weight must be finite and non-negative";
    auto entry = [](Value value, Value weight) { return O({{"value", value}, {"weight", weight}}); };
    const struct {
        const char* what;
        Value array;
        std::string error;
    } cases[] = {
        {"value only", A({O({{"value", S("b")}})}), only},
        {"weight only", A({O({{"weight", U(1)}})}), only},
        {"third member", A({O({{"value", S("b")}, {"weight", U(1)}, {"note", S("x")}})}), only},
        {"empty object", A({S("a"), entry(S("b"), U(1)), O({})}), must_use},
        {"other members", A({entry(S("b"), U(1)), O({{"name", S("x")}})}), must_use},
        {"string weight", A({entry(S("b"), S("2"))}), numeric},
        {"boolean weight", A({entry(S("b"), B(true))}), numeric},
        {"null weight", A({entry(S("b"), N())}), numeric},
        {"array weight", A({entry(S("b"), A({U(1)}))}), numeric},
        {"object weight", A({entry(S("b"), O({}))}), numeric},
        {"negative integer", A({entry(S("b"), I(-1))}), range},
        {"negative float", A({entry(S("b"), F(-0.5))}), range},
        {"infinite", A({entry(S("b"), F(std::numeric_limits<double>::infinity()))}), range},
        {"nan", A({entry(S("b"), F(std::numeric_limits<double>::quiet_NaN()))}), range},
        // The weight is checked before the value is compiled.
        {"bad template, bad weight", A({entry(S("{"), S("x"))}), numeric},
        {"bad template, good weight", A({entry(S("{"), U(1))}), template_error("{")},
        {"template error first", A({S("{"), O({{"value", S("b")}})}), template_error("{")},
        {"entry error first", A({O({{"value", S("b")}}), S("{")}), only},
        {"nested weighted array", A({entry(A({O({{"value", S("x")}})}), U(1))}), only},
        {"nested under uniform", A({S("a"), A({O({{"weight", U(1)}})})}), only},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(error_text(compile::value_to_node(test_arena(), c.array, kNoProcessors)), c.error) << c.what;
    }
}

TEST(ValueToNode, WeightsRefusedByTheWeightedIndex) {
    auto entry = [](Value weight) { return O({{"value", S("v")}, {"weight", weight}}); };
    for (const Value& array : {A({entry(U(0)), entry(F(0.0))}), A({entry(F(1e308)), entry(F(1e308))})}) {
        auto node = compile::value_to_node(test_arena(), array, kNoProcessors);
        ASSERT_FALSE(node);
        EXPECT_EQ(node.error().kind(), RenderError::Kind::InvalidWeightedChoice);
    }
}

TEST(WeightedChoiceEntry, NonObjectsWeighOne) {
    auto entry = compile::weighted_choice_entry(test_arena(), S("a"), kNoProcessors);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->second, 1.0);
    EXPECT_EQ(render_node(*entry->first).value(), "a");
    auto node = compile::weighted_choice_node(test_arena(), Value::Array{S("a"), O({{"value", U(5)}, {"weight", F(2.5)}})},
                                              kNoProcessors);
    ASSERT_TRUE(node) << node.error();
    EXPECT_EQ(dynamic_cast<WeightedChoiceNode*>(node->get())->weights(), (std::vector<double>{1.0, 2.5}));
}

// ---- loop markers ----

TEST(LoopMarkers, ContainsLoopMarker) {
    compile::LoopMap with_m = loops_with("m", S("x"));
    compile::LoopMap with_empty = loops_with("", S("x"));
    // No shared prefix, and two lengths.
    compile::LoopMap unrelated = loops_with("ab", S("x"));
    unrelated.emplace("xyz", StructuredLoopTemplate{"v", "s", S("x")});
    // A shared prefix, one key a prefix of the other's text but not of the key itself.
    compile::LoopMap numbered = loops_with("pre1__", S("x"));
    numbered.emplace("pre10__", StructuredLoopTemplate{"v", "s", S("x")});
    const struct {
        std::string_view text;
        const compile::LoopMap& loops;
        bool found;
    } cases[] = {
        {"", kNoLoops, false},     {"m", kNoLoops, false},   {"", with_empty, true},
        {"xy", with_empty, true},  {"xmy", with_m, true},    {"m", with_m, true},
        {"xy", with_m, false},     {"", with_m, false},
        {"zzxyzz", unrelated, true}, {"a b", unrelated, false}, {"xxab", unrelated, true},
        {"xy", unrelated, false},  {"pre10__", numbered, true}, {"a pre1__ b", numbered, true},
        {"pre1_", numbered, false}, {"pre100__", numbered, false}, {"prepre10__", numbered, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(compile::contains_loop_marker(c.text, c.loops), c.found) << c.text;
    }
}

TEST(LoopMarkers, ContainsTemplateLoop) {
    compile::LoopMap loops = loops_with(kMarker, S("x"));
    compile::LoopMap with_empty = loops_with("", S("x"));
    const struct {
        const char* what;
        Value value;
        bool found;
    } cases[] = {
        {"whole string", S(kMarker), true},
        {"inside a string", S("a " + kMarker + " b"), true},
        {"plain string", S("plain"), false},
        {"array element", A({S("a"), A({S(kMarker)})}), true},
        {"member value", O({{"a", O({{"b", A({S(kMarker)})}})}}), true},
        {"member key only", O({{kMarker, S("x")}}), false},
        {"number", U(1), false},
        {"boolean", B(true), false},
        {"null", N(), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(compile::contains_template_loop(c.value, loops), c.found) << c.what;
        EXPECT_FALSE(compile::contains_template_loop(c.value, kNoLoops)) << c.what;
    }
    // Even a map whose key is empty finds nothing in values without text.
    for (const Value& v : {U(1), B(false), N(), O({{"", U(1)}}), A({})}) {
        EXPECT_FALSE(compile::contains_template_loop(v, with_empty));
    }
    EXPECT_TRUE(compile::contains_template_loop(A({U(1), S("")}), with_empty));
}

// ---- registration ----

NodeMap registered(Value value, const compile::LoopMap& loops = kNoLoops, std::string name = "r") {
    NodeMap map(test_arena());
    auto done = compile::insert_named_text_nodes(map, std::move(name), std::move(value), kNoProcessors, loops);
    EXPECT_TRUE(done) << done.error();
    return map;
}

std::string placeholder_kind(const NodeMap& map, const std::string& name) {
    auto it = map.find(name);
    if (it == map.end()) return "(missing)";
    auto* node = dynamic_cast<const UnsupportedValueNode*>(it->second.get());
    return node == nullptr ? "(compiled)" : std::string(node->kind);
}

// The count a ruleset reserves its maps by is the number of names registered: one for a value
// that is no object, one more for each member of an object at any depth, none for array elements.
TEST(Registration, CountsTheNamesAValueRegisters) {
    const std::pair<Value, std::size_t> cases[] = {
        {S("text"), 1},
        {A({O({{"a", U(1)}}), S("x")}), 1},
        {O({}), 1},
        {O({{"a", U(1)}, {"b", O({{"c", A({S("x")})}, {"d", O({})}})}}), 5},
    };
    for (const auto& [value, count] : cases) {
        EXPECT_EQ(compile::registered_names(value), count);
        EXPECT_EQ(registered(value).size(), count);
    }
}

TEST(Registration, ObjectMembersUnderDottedNames) {
    NodeMap rules = registered(O({{"name", S("Ann")}, {"age", U(7)}}), kNoLoops, "person");
    auto sentence = compile::insert_named_text_nodes(rules, "sentence", S("{person.name} is {person.age}"),
                                                     kNoProcessors, kNoLoops);
    ASSERT_TRUE(sentence);
    EXPECT_EQ(rules.size(), 4u);
    EXPECT_EQ(placeholder_kind(rules, "person"), "object");
    RuleSet ruleset(std::make_unique<veskora::support::Arena>(), StructuredNode(StructuredNode::Object(test_arena())),
                    std::move(rules), NodeMap(test_arena()), {});
    EXPECT_EQ(render_rule(ruleset, "sentence").value(), "Ann is 7");
    EXPECT_EQ(render_rule(ruleset, "person").error(), RenderError::unsupported_value("object"));
}

TEST(Registration, EveryLevelOfNestingIsRegistered) {
    NodeMap rules = registered(O({{"b", O({{"c", S("deep")}})}, {"", S("empty key")}, {"x.y", U(1)}}),
                               kNoLoops, "a");
    EXPECT_EQ(placeholder_kind(rules, "a"), "object");
    EXPECT_EQ(placeholder_kind(rules, "a.b"), "object");
    EXPECT_EQ(placeholder_kind(rules, "a.b.c"), "(compiled)");
    EXPECT_EQ(placeholder_kind(rules, "a."), "(compiled)");
    EXPECT_EQ(placeholder_kind(rules, "a.x.y"), "(compiled)");
    EXPECT_EQ(rules.size(), 5u);
}

TEST(Registration, MemberArraysThatCannotBeTextRules) {
    compile::LoopMap loops = loops_with(kMarker, O({{"n", S("{item}")}}));
    const struct {
        const char* what;
        Value array;
        std::string outcome;  // placeholder kind, "(compiled)", or the error text
    } cases[] = {
        {"value without weight", A({O({{"value", S("x")}})}), "array"},
        {"malformed after template error", A({S("{"), O({{"value", S("x")}})}), template_error("{")},
        {"malformed before template error", A({O({{"value", S("x")}}), S("{")}), "array"},
        {"nested malformed", A({S("a"), A({O({{"weight", U(1)}})})}), "array"},
        {"zero weights", A({O({{"value", S("x")}, {"weight", U(0)}})}), "array"},
        {"loop marker beside bad template", A({S("{"), S(kMarker)}), "array"},
        {"marker deep inside", A({S("{"), A({O({{"k", S("pre " + kMarker)}})})}), "array"},
        {"bad template", A({S("a"), S("{")}), template_error("{")},
        {"unknown processor", A({S("{x | nosuch}")}), "unknown processor: nosuch"},
        {"fine", A({S("a"), O({{"value", S("b")}, {"weight", U(2)}})}), "(compiled)"},
    };
    for (const auto& c : cases) {
        NodeMap map(test_arena());
        auto done = compile::insert_named_text_nodes(map, "r", O({{"m", c.array}}), kNoProcessors, loops);
        const std::string outcome = done ? placeholder_kind(map, "r.m") : done.error().fmt();
        EXPECT_EQ(outcome, c.outcome) << c.what;
    }
    // The same malformed array fails at top level and under the context.
    NodeMap map(test_arena());
    const Value malformed = A({O({{"value", S("x")}})});
    const std::string only = "invalid weighted choice: weighted entries must contain only value and weight";
    EXPECT_EQ(error_text(compile::insert_named_text_nodes(map, "r", malformed, kNoProcessors, loops)), only);
    EXPECT_EQ(error_text(compile::insert_context_text_nodes(map, "r", O({{"m", malformed}}), kNoProcessors)),
              only);
    EXPECT_EQ(error_text(compile::insert_context_text_nodes(map, "r", malformed, kNoProcessors)), only);
}

TEST(Registration, ContextDefaultsAndReplacement) {
    NodeMap defaults(test_arena());
    ASSERT_TRUE(compile::insert_context_text_nodes(defaults, "home", O({{"city", S("Oslo")}}), kNoProcessors));
    ASSERT_TRUE(compile::insert_context_text_nodes(defaults, "name", S("Ann"), kNoProcessors));
    EXPECT_EQ(placeholder_kind(defaults, "home"), "object");
    EXPECT_EQ(placeholder_kind(defaults, "home.city"), "(compiled)");
    EXPECT_EQ(defaults.size(), 3u);

    // A later registration of a name replaces the earlier node.
    ASSERT_TRUE(compile::insert_context_text_nodes(defaults, "name", S("Bob"), kNoProcessors));
    ASSERT_TRUE(compile::insert_structured_child_text_nodes(defaults, "home", S("here"), kNoProcessors, kNoLoops));
    EXPECT_EQ(render_node(*defaults.at("name")).value(), "Bob");
    EXPECT_EQ(render_node(*defaults.at("home")).value(), "here");
}

TEST(Registration, FailedValuesAreNotRegistered) {
    NodeMap map(test_arena());
    EXPECT_FALSE(compile::insert_named_text_nodes(map, "r", S("{"), kNoProcessors, kNoLoops));
    EXPECT_FALSE(compile::insert_structured_child_text_nodes(map, "m", A({S("{")}), kNoProcessors, kNoLoops));
    EXPECT_TRUE(map.empty());
}

// ---- structured nodes ----

const StructuredNode& member(const StructuredNode& node, std::string_view key) {
    return std::get<StructuredNode::Object>(node.data).find(key)->second;
}

TEST(StructuredCompile, ScalarsAndContainers) {
    auto node = compile::value_to_structured_template_node(test_arena(), O({{"int", U(9223372036854775807ull)},
           {"uint", U(9223372036854775808ull)},
           {"neg", I(-1)},
           {"zero", F(-0.0)},
           {"one", F(1.0)},
           {"yes", B(true)},
           {"nothing", N()},
           {"text", S("hi {x}")},
           {"empty_object", O({})},
           {"empty_array", A({})}}),
        kNoProcessors, kNoLoops);
    ASSERT_TRUE(node) << node.error();
    auto number = [&](std::string_view key) { return std::get<VeskoraNumber>(member(*node, key).data); };
    EXPECT_EQ(number("int"), VeskoraNumber(std::int64_t{9223372036854775807}));
    EXPECT_EQ(number("uint"), VeskoraNumber(std::uint64_t{9223372036854775808ull}));
    EXPECT_EQ(number("neg"), VeskoraNumber(std::int64_t{-1}));
    EXPECT_EQ(number_text(number("zero")), "-0.0");
    EXPECT_EQ(number_text(number("one")), "1.0");
    EXPECT_EQ(std::get<bool>(member(*node, "yes").data), true);
    EXPECT_TRUE(std::holds_alternative<std::nullptr_t>(member(*node, "nothing").data));
    EXPECT_TRUE(std::holds_alternative<StructuredNode::Text>(member(*node, "text").data));
    EXPECT_TRUE(std::get<StructuredNode::Object>(member(*node, "empty_object").data).empty());
    EXPECT_TRUE(std::get<StructuredNode::Array>(member(*node, "empty_array").data).empty());
}

TEST(StructuredCompile, LoopMarkersBecomeLoopEntries) {
    compile::LoopMap loops = loops_with(kMarker, O({{"name", S("{item.name}")}}), "item", "people.list");
    auto node = compile::value_to_structured_template_node(test_arena(), O({{"a", A({S(kMarker), S("tail")})}, {"b", A({S(kMarker)})}}), kNoProcessors, loops);
    ASSERT_TRUE(node) << node.error();
    const auto& entries = std::get<StructuredNode::Array>(member(*node, "a").data);
    ASSERT_EQ(entries.size(), 2u);
    auto loop = entries[0]->iteration();
    ASSERT_TRUE(loop);
    EXPECT_EQ(loop->variable, "item");
    EXPECT_EQ(loop->source, "people.list");
    EXPECT_TRUE(loop->body.is_object());
    ASSERT_NE(entries[1]->value_node(), nullptr);
    EXPECT_TRUE(std::holds_alternative<StructuredNode::Text>(entries[1]->value_node()->data));
    // The marker copied into a second array gives a second loop entry; the block stays.
    const auto& copied = std::get<StructuredNode::Array>(member(*node, "b").data);
    ASSERT_EQ(copied.size(), 1u);
    EXPECT_TRUE(copied[0]->iteration());
    EXPECT_TRUE(loops.contains(kMarker));

    auto entry = compile::template_array_entry(test_arena(), S(kMarker), kNoProcessors, loops);
    ASSERT_TRUE(entry);
    EXPECT_TRUE((*entry)->iteration());
}

TEST(StructuredCompile, NestedLoopEntriesInsideBodies) {
    compile::LoopMap loops = loops_with(kMarker, O({{"inner", A({S(kOtherMarker)})}}));
    loops.emplace(kOtherMarker, StructuredLoopTemplate{"x", "item.xs", S("{x}")});
    auto node = compile::value_to_structured_template_node(test_arena(), A({S(kMarker)}), kNoProcessors, loops);
    ASSERT_TRUE(node) << node.error();
    const auto& outer = std::get<StructuredNode::Array>(node->data);
    const auto& inner = std::get<StructuredNode::Array>(member(outer[0]->iteration()->body, "inner").data);
    ASSERT_EQ(inner.size(), 1u);
    EXPECT_EQ(inner[0]->iteration()->source, "item.xs");
}

TEST(StructuredCompile, MisplacedLoopMarkers) {
    compile::LoopMap loops = loops_with(kMarker, S("x"));
    loops.emplace(kOtherMarker, StructuredLoopTemplate{"x", "xs", S(kMarker)});
    const std::string entries = "invalid template expression: structured loop blocks must be array entries";
    const std::string occupy = "invalid template expression: structured loop blocks must occupy one array entry";
    const struct {
        const char* what;
        Value value;
        std::string error;
    } cases[] = {
        {"member value", O({{"k", S(kMarker)}}), entries},
        {"whole value", S(kMarker), entries},
        {"text before, member", O({{"k", S("x" + kMarker)}}), occupy},
        {"text after, element", A({S(kMarker + " ")}), occupy},
        {"body that is only a marker", A({S(kOtherMarker)}), entries},
        {"unknown processor", O({{"k", S("{a | nosuch}")}}), "unknown processor: nosuch"},
        {"bad template element", A({S("ok"), S("{")}), template_error("{")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(error_text(compile::value_to_structured_template_node(test_arena(), c.value, kNoProcessors, loops)), c.error)
            << c.what;
    }
    EXPECT_EQ(error_text(compile::template_array_entry(test_arena(), S("a" + kMarker), kNoProcessors, loops)), occupy);
    // Without loop blocks no string is a marker.
    EXPECT_TRUE(compile::value_to_structured_template_node(test_arena(), O({{"k", S(kMarker)}}), kNoProcessors, kNoLoops));
}

// ---- bounds ----

Value nested_arrays(std::size_t levels) {
    Value value = S("leaf");
    for (std::size_t i = 0; i < levels; ++i) value = Value(Value::Array{std::move(value)});
    return value;
}

TEST(CompileBounds, DeepNestingFailsCleanly) {
    const std::string too_deep = "unsupported value type: values nest deeper than the limit of 512 levels";
    EXPECT_TRUE(compile::value_to_node(test_arena(), nested_arrays(compile::kMaxValueNesting), kNoProcessors));
    EXPECT_TRUE(compile::value_to_structured_template_node(test_arena(), nested_arrays(compile::kMaxValueNesting),
                                                           kNoProcessors, kNoLoops));
    const Value deep = nested_arrays(compile::kMaxValueNesting + 1);
    EXPECT_EQ(error_text(compile::value_to_node(test_arena(), deep, kNoProcessors)), too_deep);
    EXPECT_EQ(error_text(compile::value_to_structured_template_node(test_arena(), deep, kNoProcessors, kNoLoops)), too_deep);

    Value objects = S("leaf");
    for (std::size_t i = 0; i <= compile::kMaxValueNesting; ++i) objects = O({{"k", std::move(objects)}});
    NodeMap map(test_arena());
    EXPECT_EQ(error_text(compile::insert_named_text_nodes(map, "r", objects, kNoProcessors, kNoLoops)), too_deep);
    EXPECT_EQ(error_text(compile::insert_context_text_nodes(map, "r", objects, kNoProcessors)), too_deep);
    EXPECT_FALSE(compile::contains_template_loop(objects, loops_with(kMarker, S("x"))));
}

TEST(CompileBounds, LoopBodiesThatMultiplyAreRefused) {
    // Each body holds the next block's marker twice: 2^40 values if compiled out.
    compile::LoopMap loops;
    const int blocks = 40;
    auto marker = [](int i) { return "__veskora_internal_0_" + std::to_string(i) + "__"; };
    for (int i = 0; i < blocks; ++i) {
        Value body = i + 1 < blocks ? A({S(marker(i + 1)), S(marker(i + 1))}) : S("x");
        loops.emplace(marker(i), StructuredLoopTemplate{"v", "src", std::move(body)});
    }
    auto node = compile::value_to_structured_template_node(test_arena(), A({S(marker(0))}), kNoProcessors, loops);
    ASSERT_FALSE(node);
    EXPECT_EQ(node.error().fmt(),
              "invalid template expression: structured loop bodies expand to more than 1048576 values");
}

}  // namespace
