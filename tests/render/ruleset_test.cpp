#include "render/ruleset.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "node_builders.hpp"
#include "small_stack.hpp"

namespace veskora::test {
namespace {

TEST(RecursionAllowanceTest, SelfAndMutualReference) {
    const RuleSet self = Doc{}.text("a", "x{a}").build();
    const RuleSet mutual = Doc{}.text("a", "{b}").text("b", "{a}").build();
    const struct {
        const RuleSet& rs;
        std::uint64_t options;
        const char* expected;
    } cases[] = {
        {self, 0, "error: circular rule reference: a -> a"},
        {self, 1, "xx"},
        {self, 2, "xxx"},
        {self, 5, "xxxxxx"},
        {mutual, 0, "error: circular rule reference: a -> b -> a"},
        {mutual, 1, ""},
    };
    for (const auto& c : cases) {
        auto state = RenderState::with_context_and_options(c.rs, {}, c.options);
        EXPECT_EQ(text_or_error(c.rs.render_rule_with_state("a", state)), c.expected) << "options " << c.options;
        EXPECT_TRUE(state.rule_stack.empty());
        EXPECT_EQ(state.depth, 0u);
    }
}

TEST(RecursionAllowanceTest, RuleStackRestoredAfterFailures) {
    const RuleSet rs = Doc{}.text("a", "{b}").text("b", "{c}").text("c", "{missing}").text("loop", "{loop}").build();
    auto state = RenderState::with_context_and_options(rs, {}, 0);
    state.rule_stack.push_back("outer");
    for (const char* rule : {"a", "loop", "missing"}) {
        std::string out;
        EXPECT_FALSE(rs.render_rule_with_state(rule, state, out)) << rule;
        EXPECT_EQ(state.rule_stack, std::vector<std::string_view>{"outer"}) << rule;
    }
    // The name already on the stack counts as active.
    std::string out;
    EXPECT_EQ(rs.render_node_with_state("outer", *lit("x"), state, false, out).error().fmt(),
              "circular rule reference: outer -> outer");
}

RuleSet entry_document() {
    return Doc{}
        .text("t", "text {name}")
        .text("both", "rule")
        .context_default("both", lit("default"))
        .context_default("only_default", lit("the default"))
        .member("obj", SObj{}.add("k", s_text("v")).add("n", s_num(1.0)).add("inner", SObj{}.add("z", s_null())))
        .rule("obj", unsupported("object"))
        .rule("obj.k", tpl("v"))
        .rule("list", choice({"one"}))
        .member("list", SArr{}.add(s_text("one")))
        .member("context", SObj{}.add("who", s_text("{name}")).add("", s_text("empty key")))
        .context_default("who", tpl("{name}"))
        .build();
}

TEST(EntryPointTest, TextRenderByName) {
    const RuleSet rs = entry_document();
    const struct {
        const char* rule;
        std::vector<std::pair<std::string, std::string>> ctx;
        const char* expected;
    } cases[] = {
        {"t", {{"name", "N"}}, "text N"},
        {"both", {}, "rule"},
        {"only_default", {}, "the default"},
        {"t", {{"t", "ctx"}, {"name", "N"}}, "text N"},  // the context never answers the requested name
        {"obj", {}, "error: unsupported value type: object"},
        {"obj.k", {}, "v"},
        {"context", {}, "error: unknown rule: context"},
        {"nowhere", {}, "error: unknown rule: nowhere"},
    };
    for (const auto& c : cases) EXPECT_EQ(text_or_error(render(rs, c.rule, context(c.ctx))), c.expected) << c.rule;
}

TEST(EntryPointTest, InferredRender) {
    const RuleSet rs = entry_document();
    const struct {
        const char* rule;
        const char* expected;
    } cases[] = {
        {"obj", "{\n\t\"inner\": {\n\t\t\"z\": null\n\t},\n\t\"k\": \"v\",\n\t\"n\": 1.0\n}"},
        {"obj.inner", "{\n\t\"z\": null\n}"},
        {"context", "{\n\t\"\": \"empty key\",\n\t\"who\": \"W\"\n}"},
        {"t", "text W"},
        {"list", "one"},
        {"obj.k", "v"},
        {"nowhere", "error: unknown rule: nowhere"},
        {"obj..k", "error: unknown rule: obj..k"},
    };
    for (const auto& c : cases) {
        const auto r = rs.render_rule_inferred_with_context_and_options(c.rule, context({{"name", "W"}}), 0);
        EXPECT_EQ(text_or_error(r), c.expected) << c.rule;
    }
}

TEST(EntryPointTest, StructuredRender) {
    const RuleSet rs = entry_document();
    const auto value = rs.render_rule_structured_with_context_and_options("context", context({{"name", "W"}}), 0);
    ASSERT_TRUE(value);
    EXPECT_EQ(value->to_compact_json().value(), R"({"":"empty key","who":"W"})");
    const struct {
        const char* path;
        const char* expected;
    } failures[] = {
        {"t", "structured render target must be an object: t"},
        {"list", "structured render target must be an object: list"},
        {"obj.k", "structured render target must be an object: obj.k"},
        {"a..b", "unknown rule: a..b"},
        {"obj.", "unknown rule: obj."},
        {".obj", "unknown rule: .obj"},
        {"", "unknown rule: "},
        {"obj.k.deeper", "unknown rule: obj.k.deeper"},
    };
    for (const auto& f : failures) {
        const auto r = rs.render_rule_structured_with_context_and_options(f.path, {}, 0);
        ASSERT_FALSE(r) << f.path;
        EXPECT_EQ(r.error().fmt(), f.expected);
    }
}

TEST(EntryPointTest, PathWalks) {
    const RuleSet rs = entry_document();
    const auto& root = rs.structured();
    EXPECT_EQ(rs.structured_node("obj.inner.z").value(), root.child("obj.inner.z"));
    EXPECT_EQ(rs.structured_node("obj..z").error().fmt(), "unknown rule: obj..z");
    // Below "context" an empty segment is an ordinary key, and failures are silent.
    EXPECT_EQ(rs.structured_context_node(""), root.child("context."));
    EXPECT_NE(rs.structured_context_node(""), nullptr);
    EXPECT_EQ(rs.structured_context_node("who"), root.child("context.who"));
    EXPECT_EQ(rs.structured_context_node("nobody"), nullptr);
    EXPECT_EQ(rs.structured_context_node("who.x"), nullptr);

    const RuleSet no_context = Doc{}.text("context", "not an object").build();
    EXPECT_EQ(no_context.structured_context_node("x"), nullptr);
    EXPECT_EQ(text_or_error(render(no_context, "context")), "not an object");
}

// ---- nesting bound ----

// A chain of rules "level0" .. "level{levels-1}"; the last is literal text. With `loops`, each
// level loops over a one-element array, binds the piped text of the next level and renders the
// binding (two units of nesting per level); without, it binds and renders at the top (one unit).
RuleSet nested_chain(std::size_t levels, bool loops, const std::function<void()>& probe) {
    Doc doc;
    doc.root.emplace("items", StructuredNode{SArr{}.add(s_text("i"))});
    for (std::size_t i = 0; i + 1 < levels; ++i) {
        NodePtr body = seq(bind_to("y", pipe({"probe"}, call("level" + std::to_string(i + 1))), true), call("y"));
        doc.rules.emplace("level" + std::to_string(i), loops ? seq(each("x", "items", std::move(body))) : std::move(body));
    }
    doc.rules.emplace("level" + std::to_string(levels - 1), lit("end"));
    return std::move(doc)
        .processor("probe",
                   [probe](std::string_view in) -> ProcessResult {
                       probe();
                       return std::string(in);
                   })
        .build();
}

TEST(NestingBoundTest, RenderAtTheBoundFitsInOneMebibyte) {
    for (const bool loops : {true, false}) {
        // The deepest level that may still start: every level but the last adds its units.
        const std::size_t levels = loops ? kMaxRenderDepth / 2 : kMaxRenderDepth;
        std::uintptr_t lowest = UINTPTR_MAX;
        const RuleSet rs = nested_chain(levels, loops, [&lowest] {
            lowest = std::min(lowest, reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)));
        });
        Result<std::string> result = std::string();
        std::uintptr_t top = 0;
        on_small_stack([&] {
            top = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
            result = render(rs, "level0", {}, 0);
        });
        EXPECT_EQ(text_or_error(result), "end") << "loops: " << loops;
        // The deepest probe runs in the pipeline of the level before the last.
        const std::uintptr_t used = top - lowest;
        std::printf("%s: %zu levels use %zu KiB of stack, %zu bytes per level\n",
                    loops ? "loop, binding and pipeline per level" : "binding and pipeline per level", levels,
                    static_cast<std::size_t>(used / 1024), static_cast<std::size_t>(used / (levels - 2)));
        EXPECT_LT(used, 768u * 1024) << "keep a quarter of the stack as margin";
    }
}

TEST(NestingBoundTest, OnePastTheBoundFailsCleanly) {
    const struct {
        std::size_t levels;
        bool loops;
    } cases[] = {{kMaxRenderDepth / 2 + 1, true}, {kMaxRenderDepth + 1, false}};
    for (const auto& c : cases) {
        const RuleSet rs = nested_chain(c.levels, c.loops, [] {});
        Result<std::string> result = std::string();
        on_small_stack([&] { result = render(rs, "level0", {}, 0); });
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().kind(), RenderError::Kind::CircularReference);
        const auto& names = result.error().payload();
        ASSERT_EQ(names.size(), c.levels);
        EXPECT_EQ(names.front(), "level0");
        EXPECT_EQ(names.back(), "level" + std::to_string(c.levels - 1));
    }

    // A large allowance on a self-reference is bounded the same way.
    const RuleSet self = Doc{}.text("a", "x{a}").build();
    Result<std::string> result = std::string();
    on_small_stack([&] { result = render(self, "a", {}, 1'000'000); });
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().payload().size(), kMaxRenderDepth + 1);
}

TEST(NestingBoundTest, LoopScopesCountTowardsTheBound) {
    // One rule whose loops nest `loops` deep around a reference to a second rule.
    const auto nested_loops = [](std::size_t loops) {
        NodePtr body = call("leaf");
        for (std::size_t i = 0; i < loops; ++i) body = each("x" + std::to_string(i), "items", std::move(body));
        return Doc{}.member("items", SArr{}.add(s_null())).rule("r", std::move(body)).rule("leaf", lit("leaf")).build();
    };
    EXPECT_EQ(text_or_error(render(nested_loops(kMaxRenderDepth - 2), "r")), "leaf");
    EXPECT_EQ(text_or_error(render(nested_loops(kMaxRenderDepth - 1), "r")), "error: circular rule reference: r -> leaf");
}

TEST(NestingBoundTest, BoundStructuredNodesCountTowardsTheBound) {
    const RuleSet rs = Doc{}.member("selfish", SArr{}.add(s_text("e{x}"))).rule("r", each("x", "selfish", tpl("{x}"))).build();
    Result<std::string> result = std::string();
    on_small_stack([&] { result = render(rs, "r", {}, 1'000'000); });
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), RenderError::Kind::CircularReference);
    // "r", then one "x" per bound render that fit beside the loop scope, then the refused one.
    EXPECT_EQ(result.error().payload().size(), kMaxRenderDepth);
}

}  // namespace
}  // namespace veskora::test
