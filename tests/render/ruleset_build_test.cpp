#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "compile_helpers.hpp"
#include "render/compile.hpp"
#include "render/config_loader.hpp"
#include "render/ruleset.hpp"

namespace {

using namespace veskora::render;
using namespace veskora::compile_test;

const std::string kMarker = "__veskora_internal_0_0__";

TemplateConfig document(Value root, bool with_loop = false) {
    TemplateConfig config{std::move(root), {}};
    if (with_loop) {
        config.structured_loops.emplace(kMarker, StructuredLoopTemplate{"item", "list", S("{item}!")});
    }
    return config;
}

ProcessorMap host(std::vector<std::pair<std::string, std::string>> names_and_tags) {
    ProcessorMap map;
    for (auto& [name, tag] : names_and_tags) {
        map.insert_or_assign(name, make_processor([tag](std::string_view s) -> ProcessResult {
                                 return tag + "(" + std::string(s) + ")";
                             }));
    }
    return map;
}

std::vector<std::string> sorted_keys(const NodeMap& map) {
    std::vector<std::string> keys;
    for (const auto& [key, node] : map) keys.push_back(key);
    std::sort(keys.begin(), keys.end());
    return keys;
}

TEST(RuleSetBuild, RootMustBeAnObject) {
    for (const Value& root : {S("text"), A({S("a")}), N(), U(1), B(true)}) {
        auto ruleset = RuleSet::from_template_config(document(root), host({{"p", "p"}}));
        ASSERT_FALSE(ruleset);
        EXPECT_EQ(ruleset.error().fmt(), "config root must be an object");
    }
}

// Each string is compiled once, into the structured tree; the rules and context defaults naming it
// refer to that template, wherever the string stands, and render through it.
TEST(RuleSetBuild, TextRulesReferToTheTreesTemplates) {
    auto ruleset = RuleSet::from_template_config(
        document(O({{"t", S("{c} here")},
                    {"c", A({S("x")})},
                    {"o", O({{"m", S("member")}})},
                    {"w", A({O({{"value", S("weighted")}, {"weight", U(1)}})})},
                    {"context", O({{"d", S("default")}})}})),
        {});
    ASSERT_TRUE(ruleset) << ruleset.error();
    const auto* ref = dynamic_cast<const TemplateRefNode*>(ruleset->rules().at("t").get());
    ASSERT_NE(ref, nullptr);
    const auto& tree = std::get<StructuredNode::Object>(ruleset->structured().data);
    EXPECT_EQ(&ref->target, std::get<StructuredNode::Text>(tree.at("t").data).get());
    EXPECT_NE(dynamic_cast<const TemplateRefNode*>(ruleset->context_defaults().at("d").get()), nullptr);
    const std::pair<const char*, const char*> renders[] = {
        {"t", "x here"}, {"c", "x"}, {"o.m", "member"}, {"w", "weighted"}, {"d", "default"}};
    for (const auto& [name, text] : renders) {
        auto rendered = render_rule(*ruleset, name);
        ASSERT_TRUE(rendered) << name << ": " << rendered.error();
        EXPECT_EQ(*rendered, text) << name;
    }
}

// A rule naming an array of strings, or of {value, weight} objects with string values, draws
// among the templates the tree compiled from them; an array holding anything else compiles
// options of its own. All draw alike, unique draws too.
TEST(RuleSetBuild, ChoicesOfStringsDrawAmongTheTreesTemplates) {
    const auto weighted = [](Value value, double weight) {
        return O({{"value", std::move(value)}, {"weight", F(weight)}});
    };
    auto ruleset = RuleSet::from_template_config(
        document(O({{"c", A({S("x"), S("{t}")})},
                    {"w", A({weighted(S("x"), 1), weighted(S("{t}"), 3)})},
                    {"m", A({S("x"), U(1)})},
                    {"wm", A({weighted(U(1), 1), S("x")})},
                    {"t", S("y")},
                    {"c2", S("{c!}{c!}")},
                    {"w2", S("{w!}{w!}")},
                    {"c3", S("{c!}{c!}{c!}")},
                    {"w3", S("{w!}{w!}{w!}")}})),
        {});
    ASSERT_TRUE(ruleset) << ruleset.error();
    const auto& tree = std::get<StructuredNode::Object>(ruleset->structured().data);
    const auto elements_of = [&](const char* name) {
        return std::get<StructuredNode::Array>(tree.at(name).data).data();
    };
    const auto* choice = dynamic_cast<const TreeChoiceNode*>(ruleset->rules().at("c").get());
    ASSERT_NE(choice, nullptr);
    EXPECT_EQ(choice->elements.data(), elements_of("c"));
    EXPECT_EQ(choice->elements.size(), 2u);
    const auto* weighted_choice = dynamic_cast<const TreeWeightedChoiceNode*>(ruleset->rules().at("w").get());
    ASSERT_NE(weighted_choice, nullptr);
    EXPECT_EQ(weighted_choice->elements().data(), elements_of("w"));
    EXPECT_EQ(weighted_choice->weights(), (std::vector<double>{1.0, 3.0}));
    EXPECT_NE(dynamic_cast<const ChoiceNode*>(ruleset->rules().at("m").get()), nullptr);
    EXPECT_NE(dynamic_cast<const WeightedChoiceNode*>(ruleset->rules().at("wm").get()), nullptr);

    const std::pair<const char*, std::vector<std::string>> renders[] = {
        {"c", {"x", "y"}},   {"w", {"x", "y"}},   {"m", {"x", "1"}},
        {"wm", {"1", "x"}}, {"c2", {"xy", "yx"}}, {"w2", {"xy", "yx"}}};
    for (const auto& [name, texts] : renders) {
        for (int draw = 0; draw < 20; ++draw) {
            auto rendered = render_rule(*ruleset, name);
            ASSERT_TRUE(rendered) << name << ": " << rendered.error();
            EXPECT_NE(std::find(texts.begin(), texts.end(), *rendered), texts.end()) << name << ": " << *rendered;
        }
    }
    for (const char* name : {"c3", "w3"}) {
        auto exhausted = render_rule(*ruleset, name);
        ASSERT_FALSE(exhausted) << name;
        EXPECT_EQ(exhausted.error().kind(), RenderError::Kind::UniqueChoiceExhausted) << name;
    }
}

// A compiled ruleset's nodes live in memory it owns: moved, or assigned over (its old nodes go
// before that memory does), or failing half way through, it never touches freed memory (the
// sanitizer build sees any use).
TEST(RuleSetBuild, NodesOutliveNoMemoryOfTheirRuleset) {
    auto first = RuleSet::from_template_config(document(O({{"a", S("first {b}")}, {"b", A({S("x")})}})), {});
    auto second = RuleSet::from_template_config(document(O({{"a", S("second {b}")}, {"b", A({S("y")})}})), {});
    ASSERT_TRUE(first && second);
    *first = std::move(*second);
    second = RuleSet::from_template_config(document(O({})), {});
    const RuleSet moved(std::move(*first));
    first = RuleSet::from_template_config(document(O({})), {});
    EXPECT_EQ(render_rule(moved, "a").value(), "second y");

    auto failed = RuleSet::from_template_config(document(O({{"a", A({S("x"), S("{")})}})), {});
    EXPECT_FALSE(failed);
}

TEST(RuleSetBuild, EmptyDocumentHasTheBuiltInProcessors) {
    auto ruleset = RuleSet::from_template_config(document(O({})), {});
    ASSERT_TRUE(ruleset) << ruleset.error();
    EXPECT_TRUE(std::get<StructuredNode::Object>(ruleset->structured().data).empty());
    EXPECT_TRUE(ruleset->rules().empty());
    EXPECT_TRUE(ruleset->context_defaults().empty());
    std::vector<std::string> names;
    for (const auto& [name, processor] : ruleset->processors()) names.push_back(name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"article", "capitalize", "lowercase", "ordinal", "past_tense",
                                               "pluralize", "possessive", "present_participle", "quote",
                                               "sentence", "singularize", "slug", "titlecase", "trim",
                                               "uppercase"}));
}

TEST(RuleSetBuild, HostProcessorsReplaceAndExtendTheBuiltIns) {
    auto ruleset = RuleSet::from_template_config(
        document(O({{"a", S("{name | uppercase}")}, {"b", S("{name | shout | lowercase}")}, {"name", S("Ann")}})),
        host({{"uppercase", "host"}, {"shout", "shout"}}));
    ASSERT_TRUE(ruleset) << ruleset.error();
    EXPECT_EQ(ruleset->processors().size(), 16u);
    EXPECT_EQ(render_rule(*ruleset, "a").value(), "host(Ann)");
    EXPECT_EQ(render_rule(*ruleset, "b").value(), "shout(ann)");

    auto unknown = RuleSet::from_template_config(document(O({{"a", S("{name | nope}")}})), {});
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error().fmt(), "unknown processor: nope");
}

TEST(RuleSetBuild, ObjectValuedContextHoldsTheDefaults) {
    auto ruleset = RuleSet::from_template_config(
        document(O({{"context", O({{"name", S("Ann")}, {"home", O({{"city", S("Oslo")}})}})},
                    {"greeting", S("{name} from {home.city}")}})),
        {});
    ASSERT_TRUE(ruleset) << ruleset.error();
    EXPECT_EQ(sorted_keys(ruleset->rules()), (std::vector<std::string>{"greeting"}));
    EXPECT_EQ(sorted_keys(ruleset->context_defaults()), (std::vector<std::string>{"home", "home.city", "name"}));
    EXPECT_NE(ruleset->structured().child("context.home.city"), nullptr);
    EXPECT_EQ(render_rule(*ruleset, "greeting").value(), "Ann from Oslo");
    EXPECT_EQ(render_rule(*ruleset, "context").error(), RenderError::unknown_rule("context"));
}

// Calls are linked in batches: a template calling hundreds of rules reaches each one, a context
// default before a rule of the same name, and a name that is neither fails when rendered.
TEST(RuleSetBuild, LinksEveryCallOfALargeRuleset) {
    std::vector<std::pair<std::string, Value>> members{
        {"broken", S("{r1}{missing}")},
        {"context", O({{"r7", S("seven")}})},
    };
    std::string all;
    std::string expected;
    for (int i = 0; i < 600; ++i) {
        const std::string name = "r" + std::to_string(i);
        members.emplace_back(name, S(std::to_string(i) + ","));
        all += "{" + name + "}";
        expected += i == 7 ? "seven" : std::to_string(i) + ",";
    }
    members.emplace_back("all", S(all));
    std::sort(members.begin(), members.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    Value::Object root;
    for (auto& [key, value] : members) root.append(key, std::move(value));
    auto ruleset = RuleSet::from_template_config(document(Value(std::move(root))), {});
    ASSERT_TRUE(ruleset) << ruleset.error();
    EXPECT_EQ(render_rule(*ruleset, "all").value(), expected);
    EXPECT_EQ(render_rule(*ruleset, "broken").error(), RenderError::unknown_rule("missing"));
}

TEST(RuleSetBuild, OtherContextValuesAreOrdinaryRules) {
    for (const Value& context : {S("plain {x}"), A({S("a")})}) {
        auto ruleset = RuleSet::from_template_config(document(O({{"context", context}, {"x", S("y")}})), {});
        ASSERT_TRUE(ruleset) << ruleset.error();
        EXPECT_EQ(sorted_keys(ruleset->rules()), (std::vector<std::string>{"context", "x"}));
        EXPECT_TRUE(ruleset->context_defaults().empty());
        EXPECT_NE(ruleset->structured().child("context"), nullptr);
    }
}

TEST(RuleSetBuild, LoopBlocksOnlyInArraysOfObjectValuedRules) {
    const std::string outside =
        "invalid template expression: structured loop blocks must be inside arrays in object-valued rules";
    const struct {
        const char* what;
        Value root;
        std::string error;
    } cases[] = {
        {"top-level block", O({{"r", S(kMarker)}}), outside},
        {"top-level array", O({{"r", A({S(kMarker)})}}), outside},
        {"inside context", O({{"context", O({{"items", A({S(kMarker)})}})}}), outside},
        {"context string", O({{"context", S(kMarker)}}), outside},
        // The structured compile runs first: the text rule alone would accept the string.
        {"member value", O({{"r", O({{"k", S(kMarker)}})}}),
         "invalid template expression: structured loop blocks must be array entries"},
        {"accepted", O({{"r", O({{"items", A({S(kMarker), S("x")})}})}, {"list", A({U(1)})}}), ""},
    };
    for (const auto& c : cases) {
        auto ruleset = RuleSet::from_template_config(document(c.root, true), {});
        EXPECT_EQ(ruleset ? std::string() : ruleset.error().fmt(), c.error) << c.what;
        if (!ruleset) continue;
        EXPECT_EQ(sorted_keys(ruleset->rules()), (std::vector<std::string>{"list", "r", "r.items"}));
        EXPECT_EQ(render_rule(*ruleset, "r.items").error(), RenderError::unsupported_value("array"));
        auto value = ruleset->render_rule_structured_with_context_and_options("r", {}, 0);
        ASSERT_TRUE(value) << value.error();
        EXPECT_EQ(value->to_compact_json().value(), R"({"items":["1!","x"]})");
    }
}

TEST(RuleSetBuild, FirstErrorOfAKeyFailsTheBuild) {
    const struct {
        const char* what;
        Value root;
        std::string error;
    } cases[] = {
        {"bad template", O({{"a", S("ok")}, {"b", S("{")}}), "invalid template expression: unmatched opening brace in template"},
        {"top-level weighted", O({{"a", A({O({{"value", S("x")}})})}}),
         "invalid weighted choice: weighted entries must contain only value and weight"},
        {"context weighted", O({{"context", O({{"m", A({O({{"weight", U(1)}})})}})}}),
         "invalid weighted choice: weighted entries must contain only value and weight"},
        {"member weighted is kept", O({{"a", O({{"m", A({O({{"weight", U(1)}})})}})}}), ""},
    };
    for (const auto& c : cases) {
        auto ruleset = RuleSet::from_template_config(document(c.root), {});
        EXPECT_EQ(ruleset ? std::string() : ruleset.error().fmt(), c.error) << c.what;
    }
}

}  // namespace
