#include "render/nodes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "node_builders.hpp"

namespace veskora::test {
namespace {

RuleSet choice_document() {
    std::vector<NodePtr> boom;
    boom.push_back(call("boom"));
    return Doc{}
        .rule("c", choice({"a", "b", "c"}))
        .rule("w", weighted({{"a", 1.0}, {"b", 0.0}, {"c", 1.0}}))
        .rule("single", choice({"only"}))
        .rule("empty", choice({}))
        .rule("fails", choice_of(std::move(boom)))
        .text("t", "x")
        .rule("obj", unsupported("object"))
        .rule("three_c", tpl("{c!}{c!}{c!}"))
        .rule("four_c", tpl("{c!}{c!}{c!}{c!}"))
        .rule("two_w", tpl("{w!}{w!}"))
        .rule("three_w", tpl("{w!}{w!}{w!}"))
        .rule("both", seq(lit("<"), call("c"), lit("|"), call("c", true), lit(">")))
        .build();
}

TEST(ChoiceTest, UniqueDrawsEachOptionOnce) {
    const RuleSet rs = choice_document();
    std::set<std::string> orders;
    for (int i = 0; i < 200; ++i) {
        const auto r = render(rs, "three_c");
        ASSERT_TRUE(r) << r.error().fmt();
        std::string sorted = *r;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(sorted, "abc");
        orders.insert(*r);
    }
    EXPECT_EQ(orders.size(), 6u) << "every order turns up over 200 calls";
    // A fourth reference in the same call is exhausted; the next call starts afresh.
    EXPECT_EQ(text_or_error(render(rs, "four_c")), "error: exhausted unique choice: c");
    EXPECT_TRUE(render(rs, "three_c"));
}

TEST(ChoiceTest, WeightedUniqueSkipsZeroWeightAndExhausts) {
    const RuleSet rs = choice_document();
    for (int i = 0; i < 100; ++i) {
        const auto r = render(rs, "two_w");
        ASSERT_TRUE(r) << r.error().fmt();
        EXPECT_TRUE(*r == "ac" || *r == "ca") << *r;
    }
    EXPECT_EQ(text_or_error(render(rs, "three_w")), "error: exhausted unique choice: w");
}

TEST(ChoiceTest, PlainDrawsFollowTheWeights) {
    const RuleSet rs = choice_document();
    std::map<std::string, int> weighted_counts, uniform_counts;
    const int draws = 6000;
    for (int i = 0; i < draws; ++i) {
        ++weighted_counts[render(rs, "w").value()];
        ++uniform_counts[render(rs, "c").value()];
    }
    EXPECT_EQ(weighted_counts.count("b"), 0u) << "a weight-0 option never appears";
    EXPECT_NEAR(weighted_counts["a"], draws / 2, draws / 10);
    EXPECT_NEAR(weighted_counts["c"], draws / 2, draws / 10);
    for (const char* option : {"a", "b", "c"}) EXPECT_NEAR(uniform_counts[option], draws / 3, draws / 15);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(render(rs, "single").value(), "only");
}

TEST(ChoiceTest, Errors) {
    const RuleSet rs = choice_document();
    const struct {
        const char* rule;
        const char* expected;
    } cases[] = {
        {"empty", "error: cannot render an empty choice"},
        {"obj", "error: unsupported value type: object"},
        {"fails", "error: unknown rule: boom"},
    };
    for (const auto& c : cases) EXPECT_EQ(text_or_error(render(rs, c.rule)), c.expected) << c.rule;

    auto state = RenderState::with_context_and_options(rs, context({{"bound", "B"}}), 0);
    std::string out;
    const struct {
        const char* rule;
        const char* expected;
    } unique_cases[] = {
        {"empty", "cannot render an empty choice"},
        {"t", "unique choice target is not a choice: t"},
        {"obj", "unique choice target is not a choice: obj"},
        {"three_c", "unique choice target is not a choice: three_c"},
        {"nowhere", "unknown rule: nowhere"},
        // The failed option stays used: the second draw finds nothing left.
        {"fails", "unknown rule: boom"},
        {"fails", "exhausted unique choice: fails"},
    };
    for (const auto& c : unique_cases) {
        const auto r = rs.render_unique_rule_with_state(c.rule, state, out);
        ASSERT_FALSE(r) << c.rule;
        EXPECT_EQ(r.error().fmt(), c.expected);
        EXPECT_TRUE(state.rule_stack.empty());
    }
}

TEST(ChoiceTest, UniqueAndPlainReferencesShareNothingButTheMarks) {
    const RuleSet rs = choice_document();
    // The plain reference draws freely; the unique one is the only mark.
    auto state = RenderState::with_context_and_options(rs, {}, 0);
    const auto r = rs.render_rule_with_state("both", state);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->size(), 5u);
    ASSERT_NE(state.unique_choice_indices("c"), nullptr);
    EXPECT_EQ(state.unique_choice_indices("c")->size(), 1u);
}

TEST(WeightedChoiceTest, CreationRefusesBadWeights) {
    const struct {
        std::vector<double> weights;
        const char* expected;
    } cases[] = {
        {{}, "invalid weighted choice: Weights sequence is empty/too long/unordered"},
        {{1.0, -1.0}, "invalid weighted choice: A weight is negative, too large or not a valid number"},
        {{std::nan(""), -1.0}, "invalid weighted choice: A weight is negative, too large or not a valid number"},
        {{0.0, 0.0}, "invalid weighted choice: Not enough weights > zero"},
        {{1e308, 1e308}, "invalid weighted choice: Overflow when summing weights"},
    };
    for (const auto& c : cases) {
        std::vector<std::pair<NodePtr, double>> pairs;
        for (double w : c.weights) pairs.emplace_back(lit("x"), w);
        const auto node = WeightedChoiceNode::create(test_arena(), std::move(pairs));
        ASSERT_FALSE(node);
        EXPECT_EQ(node.error().fmt(), c.expected);
    }
    std::vector<std::pair<NodePtr, double>> pairs;
    pairs.emplace_back(lit("x"), 0.5);
    pairs.emplace_back(lit("y"), 0.0);
    const auto node = WeightedChoiceNode::create(test_arena(), std::move(pairs));
    ASSERT_TRUE(node);
    EXPECT_EQ((*node)->weights(), (std::vector<double>{0.5, 0.0}));
    EXPECT_EQ((*node)->choices().size(), 2u);
}

RuleSet resolution_document(int* default_renders) {
    return Doc{}
        .text("greet", "hello")
        .text("both", "rule")
        .rule("c", choice({"a", "b", "c", "d", "e", "f", "g", "h"}))
        .context_default("both", lit("default"))
        .context_default("pick", pipe({"count"}, call("c")))
        .context_default("d", lit("D"))
        .rule("twice", tpl("{pick}{pick}"))
        .rule("ref_both", tpl("{both}"))
        .rule("unique_refs", tpl("{d!}{bound!}"))
        .rule("pipes", tpl("{greet | up | bang}"))
        .rule("pipe_fails", tpl("{greet | up | broken}"))
        .rule("pipe_unknown", tpl("{greet | nope}"))
        .rule("seq_error", tpl("x{greet}{missing}y"))
        .processor("count",
                   [default_renders](std::string_view in) -> ProcessResult {
                       ++*default_renders;
                       return std::string(in);
                   })
        .processor("up",
                   [](std::string_view in) -> ProcessResult {
                       std::string s(in);
                       for (auto& ch : s) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
                       return s;
                   })
        .processor("bang", [](std::string_view in) -> ProcessResult { return std::string(in) + "!"; })
        .processor("broken", [](std::string_view) -> ProcessResult { return std::unexpected("no luck"); })
        .build();
}

TEST(RuleCallTest, ResolutionOrderAndContextDefaults) {
    int default_renders = 0;
    const RuleSet rs = resolution_document(&default_renders);
    // A random context default is rendered once per call and reused.
    for (int i = 0; i < 20; ++i) {
        const std::string text = render(rs, "twice").value();
        ASSERT_EQ(text.size(), 2u);
        EXPECT_EQ(text[0], text[1]);
    }
    EXPECT_EQ(default_renders, 20);
    // The caller's value wins and the default is never rendered.
    EXPECT_EQ(render(rs, "twice", context({{"pick", "P"}})).value(), "PP");
    EXPECT_EQ(default_renders, 20);

    // Inside a template the default answers before the rule; by name the rule wins.
    EXPECT_EQ(render(rs, "ref_both").value(), "default");
    EXPECT_EQ(render(rs, "both").value(), "rule");
    // By name, a context default renders and is not stored.
    auto state = RenderState::with_context_and_options(rs, {}, 0);
    EXPECT_EQ(rs.render_rule_with_state("d", state).value(), "D");
    EXPECT_FALSE(state.context_map.contains("d"));
    // Through a reference it is stored.
    EXPECT_EQ(rs.render_rule_with_state("unique_refs", state).error().fmt(), "unknown rule: bound");
    EXPECT_EQ(state.context_map.at("d"), "D");
    // A unique reference to a bound name or a context default renders that text.
    EXPECT_EQ(render(rs, "unique_refs", context({{"bound", "B"}})).value(), "DB");
}

TEST(PipelineTest, ProcessorsApplyLeftToRight) {
    int unused = 0;
    const RuleSet rs = resolution_document(&unused);
    const struct {
        const char* rule;
        const char* expected;
    } cases[] = {
        {"pipes", "HELLO!"},
        {"pipe_fails", "error: processor broken failed: no luck"},
        {"pipe_unknown", "error: unknown processor: nope"},
        {"seq_error", "error: unknown rule: missing"},
    };
    for (const auto& c : cases) EXPECT_EQ(text_or_error(render(rs, c.rule)), c.expected) << c.rule;
    EXPECT_EQ(rs.process("bang", "x").value(), "x!");
    EXPECT_EQ(rs.process("missing", "x").error().fmt(), "unknown processor: missing");
    EXPECT_EQ(rs.process("broken", "x").error().fmt(), "processor broken failed: no luck");
}

TEST(LoopNodeTest, ZeroElementsAndOutputBuffer) {
    const RuleSet rs = Doc{}.member("none", SArr{}).member("two", SArr{}.add(s_text("1")).add(s_text("2"))).build();
    auto state = RenderState::with_context_and_options(rs, {}, 0);
    std::string out = "kept:";
    const auto loop = each("x", "two", tpl("[{x}]"));
    ASSERT_TRUE(loop->generate_text(state, out));
    ASSERT_TRUE(each("x", "none", tpl("[{x}]"))->generate_text(state, out));
    EXPECT_EQ(out, "kept:[1][2]");
}

}  // namespace
}  // namespace veskora::test
