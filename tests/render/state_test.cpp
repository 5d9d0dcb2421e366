#include "render/state.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "node_builders.hpp"

namespace veskora::test {
namespace {

// A document with the arrays and objects the loop tests walk, plus a rule "r" built per case.
RuleSet loop_document(NodePtr body) {
    return Doc{}
        .rule("r", std::move(body))
        .text("greet", "hello")
        .member("items", SArr{}.add(s_text("a")).add(s_text("b")).add(s_text("c")))
        .member("one", SArr{}.add(s_text("solo")))
        .member("empty", SArr{})
        .member("pair", SArr{}.add(s_text("x")).add(s_text("y")))
        .member("people", SArr{}.add(SObj{}.add("name", s_text("Ann")).add("age", s_num(std::int64_t{30}))))
        .member("generated", SArr{}.add(s_text("a")).loop("v", "items", s_text("{v}")))
        .member("obj", SObj{}.add("k", s_text("v")))
        .member("selfish", SArr{}.add(s_text("e{x}")))
        .member("shadowed", SArr{}.add(s_text("from root")))
        .member("context", SObj{}.add("shadowed", SArr{}.add(s_text("from context"))))
        .build();
}

struct RenderCase {
    const char* label;
    std::function<NodePtr()> body;
    std::vector<std::pair<std::string, std::string>> ctx;
    std::string expected;  // the text, or "error: " and the display text
    std::uint64_t options = 0;
};

void run_cases(const std::vector<RenderCase>& cases) {
    for (const auto& c : cases) {
        const RuleSet rs = loop_document(c.body());
        auto state = RenderState::with_context_and_options(rs, context(c.ctx), c.options);
        EXPECT_EQ(text_or_error(rs.render_rule_with_state("r", state)), c.expected) << c.label;
        // Whatever happened, the stacks and scopes are back where they started.
        EXPECT_TRUE(state.scopes.empty()) << c.label;
        EXPECT_TRUE(state.rule_stack.empty()) << c.label;
        EXPECT_TRUE(state.node_stack.empty()) << c.label;
        EXPECT_EQ(state.depth, 0u) << c.label;
    }
}

TEST(LoopNamesTest, DescribeTheInnermostLoop) {
    run_cases({
        {"counters over three",
         [] { return each("x", "items", tpl("{x}:{loop.index},{loop.index0},{loop.length},{loop.first},{loop.last};")); },
         {},
         "a:1,0,3,true,false;b:2,1,3,false,false;c:3,2,3,false,true;"},
        {"one element is first and last",
         [] { return each("x", "one", tpl("{loop.first} {loop.last}")); }, {}, "true true"},
        {"nested: inner loop names, outer binding visible, := hides it for one inner iteration",
         [] {
             return each("it", "items",
                         seq(bind_to("v", tpl("O{it}"), true),
                             each("in", "pair",
                                  seq(tpl("[{v}"), bind_to("v", tpl("I{in}"), false), tpl("{v}"),
                                      bind_to("v", tpl("I{in}"), true), tpl("{v}{loop.index}/{loop.length}]"))),
                             tpl("{v}{loop.index};")));
         },
         {},
         "[OaOaIx1/2][OaOaIy2/2]Oa1;[ObObIx1/2][ObObIy2/2]Ob2;[OcOcIx1/2][OcOcIy2/2]Oc3;"},
        {"outer variable inside the inner loop",
         [] { return each("o", "pair", each("i", "pair", tpl("{o}{i} "))); }, {}, "xx xy yx yy "},
        {"unknown loop member inside a loop ignores the context",
         [] { return each("x", "one", tpl("{loop.count}")); }, {{"loop.count", "ctx"}},
         "error: unknown rule: loop.count"},
        {"loop.count outside every loop is an ordinary name",
         [] { return tpl("{loop.count}"); }, {{"loop.count", "ctx"}}, "ctx"},
        {"bare loop as text", [] { return each("x", "one", tpl("{loop}")); }, {},
         "error: unsupported value type: object"},
        {"loop over loop", [] { return each("x", "one", each("y", "loop", tpl(""))); }, {},
         "error: iteration source is not iterable: loop (object)"},
        {"missing member ignores the context", [] { return each("item", "people", tpl("{item.name}/{item.nick}")); },
         {{"item.nick", "ctx"}}, "error: unknown rule: item.nick"},
        {"member paths", [] { return each("item", "people", tpl("{item.name} is {item.age}")); }, {}, "Ann is 30"},
        {"a longer name is no member path", [] { return each("item", "one", tpl("{items}")); }, {{"items", "ctx"}},
         "ctx"},
        {"trailing point names the element", [] { return each("x", "one", tpl("{x.}")); }, {}, "solo"},
        {"element object as text", [] { return each("x", "people", tpl("{x}")); }, {},
         "error: unsupported value type: object"},
    });
}

TEST(LoopSourceTest, KindsAndLookupOrder) {
    run_cases({
        {"context below 'context' wins over the root", [] { return each("x", "shadowed", tpl("{x}")); }, {},
         "from context"},
        {"root path when the context has none", [] { return each("x", "pair", tpl("{x}")); }, {}, "xy"},
        {"context value", [] { return each("x", "name", tpl("")); }, {{"name", "v"}},
         "error: iteration source is not iterable: name (string)"},
        {"binding", [] { return seq(bind_to("b", lit("t"), true), each("x", "b", tpl(""))); }, {},
         "error: iteration source is not iterable: b (string)"},
        {"loop counter", [] { return each("x", "one", each("y", "loop.index", tpl(""))); }, {},
         "error: iteration source is not iterable: loop.index (number)"},
        {"structured object", [] { return each("x", "obj", tpl("")); }, {},
         "error: iteration source is not iterable: obj (object)"},
        {"structured text", [] { return each("x", "greet", tpl("")); }, {},
         "error: iteration source is not iterable: greet (string)"},
        {"loop entries", [] { return each("x", "generated", tpl("")); }, {},
         "error: iteration source is not iterable: generated (array with generated entries)"},
        {"nowhere", [] { return each("x", "no.such", tpl("")); }, {}, "error: unknown rule: no.such"},
        {"empty array renders nothing", [] { return seq(lit("<"), each("x", "empty", tpl("{x}")), lit(">")); }, {},
         "<>"},
        {"element member array", [] { return each("p", "people", each("n", "p.name", tpl(""))); }, {},
         "error: iteration source is not iterable: p.name (string)"},
        {"failing body in the second iteration", [] { return each("x", "items", tpl("{x}{x.no}")); }, {},
         "error: unknown rule: x.no"},
    });
}

TEST(BindingTest, ColonAndColonEquals) {
    run_cases({
        {"':' keeps the caller's value and renders nothing",
         [] { return seq(bind_to("n", call("boom"), false), tpl("{n}")); }, {{"n", "caller"}}, "caller"},
        {"':=' replaces the caller's value for the rest of the call",
         [] { return seq(tpl("{n}-"), bind_to("n", tpl("new"), true), tpl("{n}"), each("x", "one", tpl("{n}"))); },
         {{"n", "caller"}}, "caller-newnew"},
        {"':' fills an unset name", [] { return seq(bind_to("n", tpl("{greet}!"), false), tpl("{n}{n}")); }, {},
         "hello!hello!"},
        {"a binding inside a body is gone at the next iteration",
         [] { return seq(each("x", "pair", seq(tpl("{b}"), bind_to("b", lit("set"), true), tpl("{b} "))), tpl("{b}")); },
         {{"b", "ctx"}}, "ctxset ctxset ctx"},
        {"':' of the loop variable changes nothing", [] { return each("item", "one", seq(bind_to("item", call("boom"), false), tpl("{item}"))); },
         {}, "solo"},
        {"':=' of the loop variable", [] { return each("item", "one", bind_to("item", call("boom"), true)); }, {},
         "error: cannot overwrite immutable loop binding: item"},
        {"':=' of a member path", [] { return each("item", "one", bind_to("item.x", lit(""), true)); }, {},
         "error: cannot overwrite immutable loop binding: item.x"},
        {"':=' of an outer loop variable", [] { return each("o", "one", each("i", "one", bind_to("o", lit(""), true))); }, {},
         "error: cannot overwrite immutable loop binding: o"},
        {"':=' of loop", [] { return each("item", "one", bind_to("loop", lit(""), true)); }, {},
         "error: cannot overwrite immutable loop binding: loop"},
        {"':=' of loop.anything", [] { return each("item", "one", bind_to("loop.whatever", lit(""), true)); }, {},
         "error: cannot overwrite immutable loop binding: loop.whatever"},
        {"':' of an unknown loop member", [] { return each("item", "one", bind_to("loop.whatever", lit(""), false)); },
         {}, "error: unknown rule: loop.whatever"},
        {"':' of a known loop member changes nothing", [] { return each("item", "one", seq(bind_to("loop.index", call("boom"), false), tpl("{loop.index}"))); },
         {}, "1"},
        {"outside loops loop names are ordinary", [] { return seq(bind_to("loop", lit("L"), true), tpl("{loop}")); }, {},
         "L"},
        {"a rule of the same name is no value for ':'", [] { return seq(bind_to("greet", lit("bound"), false), tpl("{greet}")); },
         {}, "bound"},
        {"the value's error", [] { return bind_to("n", call("boom"), true); }, {}, "error: unknown rule: boom"},
    });
}

TEST(BoundStructuredNodeTest, ReentryCountsNodeIdentity) {
    run_cases({
        {"allowance 0", [] { return each("x", "selfish", tpl("{x}")); }, {},
         "error: circular rule reference: r -> x -> x"},
        {"allowance 1 enters twice", [] { return each("x", "selfish", tpl("{x}")); }, {}, "ee", 1},
        {"allowance 2", [] { return each("x", "selfish", tpl("{x}")); }, {}, "eee", 2},
        {"two different elements are different nodes", [] { return each("x", "items", tpl("{x}{x}")); }, {},
         "aabbcc"},
    });
}

TEST(ScopedValueTest, Variants) {
    const RuleSet rs = loop_document(lit(""));
    auto state = RenderState::with_context_and_options(rs, context({{"c", "ctx"}}), 0);
    EXPECT_FALSE(state.scoped_value("nothing").value());
    EXPECT_EQ(std::get<std::string>(state.scoped_value("c").value()->value), "ctx");
    EXPECT_FALSE(state.is_immutable_loop_name("loop"));

    const StructuredNode* person = rs.structured_node("people").value();
    const auto& entries = std::get<StructuredNode::Array>(person->data);
    state.push_iteration_scope("p", IterationValue{entries[0]->value_node()}, 0, 1);
    VeskoraValue::Array runtime_list;
    runtime_list.push_back(VeskoraValue{std::string("r1")});
    state.push_iteration_scope("rt", IterationValue{VeskoraValue{std::move(runtime_list)}}, 4, 9);

    const auto index = state.scoped_value("loop.index").value();
    EXPECT_EQ(std::get<VeskoraValue>(index->value), VeskoraValue{VeskoraNumber{std::uint64_t{5}}});
    EXPECT_EQ(std::get<VeskoraValue>(state.scoped_value("loop.length").value()->value),
              VeskoraValue{VeskoraNumber{std::uint64_t{9}}});
    EXPECT_TRUE(std::holds_alternative<ScopedValue::Loop>(state.scoped_value("loop").value()->value));
    EXPECT_EQ(std::get<const StructuredNode*>(state.scoped_value("p.name").value()->value),
              entries[0]->value_node()->child("name"));
    EXPECT_STREQ(kind_text(*state.scoped_value("p").value()), "object");
    EXPECT_STREQ(kind_text(*state.scoped_value("rt").value()), "array");
    EXPECT_STREQ(kind_text(*state.scoped_value("c").value()), "string");
    EXPECT_STREQ(kind_text(*state.scoped_value("loop").value()), "object");

    // A runtime array gives its elements as runtime values.
    auto elements = state.iterable_elements("rt");
    ASSERT_TRUE(elements);
    ASSERT_EQ(elements->size(), 1u);
    EXPECT_EQ(std::get<VeskoraValue>(elements->take(0).value), VeskoraValue{std::string("r1")});
    EXPECT_EQ(state.iterable_elements("loop.first").error().fmt(),
              "iteration source is not iterable: loop.first (boolean)");
    EXPECT_EQ(state.resolve_bound_text("rt").error().fmt(), "unsupported value type: array");
    EXPECT_EQ(state.resolve_bound_text("p.age").value(), "30");
    EXPECT_EQ(state.resolve_bound_text("unbound").value(), std::nullopt);

    EXPECT_TRUE(state.is_immutable_loop_name("p"));
    EXPECT_TRUE(state.is_immutable_loop_name("p.x"));
    EXPECT_FALSE(state.is_immutable_loop_name("px"));
    EXPECT_TRUE(state.is_immutable_loop_name("loop.x"));
    EXPECT_FALSE(state.is_immutable_loop_name("loops"));

    state.pop_iteration_scope();
    state.pop_iteration_scope();
    state.pop_iteration_scope();  // nothing left: no effect
    EXPECT_TRUE(state.scopes.empty());
}

TEST(UniqueMarksTest, AddedPerKey) {
    const RuleSet rs = loop_document(lit(""));
    auto state = RenderState::with_context_and_options(rs, {}, 0);
    EXPECT_EQ(state.unique_choice_indices("k"), nullptr);
    state.mark_unique_choice_index("k", 2);
    state.mark_unique_choice_index("k", 0);
    state.mark_unique_choice_index("k", 2);
    ASSERT_NE(state.unique_choice_indices("k"), nullptr);
    EXPECT_EQ(*state.unique_choice_indices("k"), (std::set<std::uint64_t>{0, 2}));
    EXPECT_EQ(state.unique_choice_indices("other"), nullptr);
}

}  // namespace
}  // namespace veskora::test
