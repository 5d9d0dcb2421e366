#include "render/template.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "render/nodes.hpp"
#include "render/ruleset.hpp"
#include "render/state.hpp"
#include "render/value.hpp"
#include "test_arena.hpp"

namespace {

using namespace veskora::render;
namespace tp = veskora::render::templates;
namespace support = veskora::support;
using veskora::test::test_arena;
using Token = tp::TemplateToken;
using Kind = tp::TemplateToken::Kind;

ProcessorMap test_processors() {
    ProcessorMap map;
    map.insert_or_assign("upper", make_processor([](std::string_view s) -> ProcessResult {
                             std::string out(s);
                             for (char& c : out) c = static_cast<char>(std::toupper(c));
                             return out;
                         }));
    map.insert_or_assign("twice", make_processor([](std::string_view s) -> ProcessResult {
                             return std::string(s) + std::string(s);
                         }));
    map.insert_or_assign("brackets", make_processor([](std::string_view s) -> ProcessResult {
                             return "[" + std::string(s) + "]";
                         }));
    // A registered name may hold ":" and "!"; only expression heads are tested for them.
    map.insert_or_assign("odd:name!", make_processor([](std::string_view s) -> ProcessResult {
                             return "<" + std::string(s) + ">";
                         }));
    map.insert_or_assign("fail", make_processor([](std::string_view) -> ProcessResult {
                             return std::unexpected(std::string("boom"));
                         }));
    return map;
}

const ProcessorMap& processors() {
    static const ProcessorMap map = test_processors();
    return map;
}

std::string compile_error(std::string_view text) {
    auto node = tp::template_to_node(test_arena(), text, processors());
    return node ? std::string("<compiled>") : node.error().fmt();
}

// A compact picture of a compiled tree, so tables can state the exact shape.
std::string describe(const TextGeneratorNode& node) {
    if (auto* n = dynamic_cast<const LiteralNode*>(&node)) return "'" + n->text + "'";
    if (auto* n = dynamic_cast<const VecNode*>(&node)) {
        std::string out = "[";
        for (std::size_t i = 0; i < n->children.size(); ++i) {
            if (i > 0) out += ", ";
            out += describe(*n->children[i]);
        }
        return out + "]";
    }
    if (auto* n = dynamic_cast<const LoopVariableNode*>(&node)) {
        return "element(" + n->name + "@" + std::to_string(n->outward) + ")";
    }
    if (auto* n = dynamic_cast<const RuleCallNode*>(&node)) {
        return (n->unique ? "unique(" : "call(") + n->name + ")";
    }
    if (auto* n = dynamic_cast<const ProcessorPipelineNode*>(&node)) {
        std::string out = "pipe(" + describe(*n->inner);
        for (const auto& p : n->processors) out += "|" + p;
        return out + ")";
    }
    if (auto* n = dynamic_cast<const BindNode*>(&node)) {
        return "bind(" + n->name + (n->overwrite ? " := " : " : ") + describe(*n->node) + ")";
    }
    if (auto* n = dynamic_cast<const ForEachNode*>(&node)) {
        auto* source = dynamic_cast<const ArrayIterationSource*>(n->source.get());
        return "for(" + n->variable + " in " + (source ? std::string(source->source) : "?") + ")" +
               describe(*n->body);
    }
    return "?";
}

// ---------------------------------------------------------------------------------------------
// Tokenizer

TEST(TemplateTokenizer, CutsTextExpressionsAndStatements) {
    struct Case {
        std::string text;
        std::vector<Token> tokens;
    };
    const std::vector<Case> cases = {
        {"", {}},
        {"plain \\ 50% text\n\tmore", {{Kind::Text, "plain \\ 50% text\n\tmore"}}},
        {"\\{x\\}", {{Kind::Text, "{x}"}}},
        {"\\\\{x\\}", {{Kind::Text, "\\{x}"}}},  // the first backslash escapes nothing
        {"a\\b\\", {{Kind::Text, "a\\b\\"}}},
        {"%", {{Kind::Text, "%"}}},
        {"%%x", {{Kind::Text, "%%x"}}},
        {"\\{%", {{Kind::Text, "{%"}}},
        {"%\\}", {{Kind::Text, "%}"}}},
        {"{x}", {{Kind::Expression, "x"}}},
        {"a{ x }{y}b", {{Kind::Text, "a"}, {Kind::Expression, "x"}, {Kind::Expression, "y"}, {Kind::Text, "b"}}},
        {"{}{ \t\n }", {{Kind::Expression, ""}, {Kind::Expression, ""}}},
        {"{\xC2\xA0x y\xE3\x80\x80}", {{Kind::Expression, "x y"}}},  // Unicode White_Space trimmed
        {"{ a { b \\ % }", {{Kind::Expression, "a { b \\ %"}}},     // no nesting, nothing special
        {"{%%}", {{Kind::Statement, ""}}},
        {"{%}%}", {{Kind::Statement, "}"}}},
        {"{% a %%%}", {{Kind::Statement, "a %%"}}},  // the last "%" of a run closes
        {"{%\n for x in y\n%}z", {{Kind::Statement, "for x in y"}, {Kind::Text, "z"}}},
        {"{% {a} \\ %}", {{Kind::Statement, "{a} \\"}}},
        {"\xC3\xA9{\xC3\xA9}\xE2\x82\xAC", {{Kind::Text, "\xC3\xA9"}, {Kind::Expression, "\xC3\xA9"}, {Kind::Text, "\xE2\x82\xAC"}}},
    };
    for (const auto& c : cases) {
        auto tokens = tp::tokenize(c.text);
        ASSERT_TRUE(tokens) << c.text << ": " << tokens.error();
        EXPECT_EQ(*tokens, c.tokens) << c.text;
    }
}

TEST(TemplateTokenizer, ReportsUnmatchedDelimiters) {
    const std::string open_brace = "invalid template expression: unmatched opening brace in template";
    const std::string close_brace = "invalid template expression: unmatched closing brace in template";
    const std::string open_statement =
        "invalid template expression: unmatched opening statement delimiter in template";
    const std::string close_statement =
        "invalid template expression: unmatched closing statement delimiter in template";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"{", open_brace},
        {"text {", open_brace},
        {"{x", open_brace},
        {"}", close_brace},
        {"a } b", close_brace},
        {"{{x}}", close_brace},  // braces do not nest
        {"\\\\{x}", close_brace},
        {"{%", open_statement},
        {"{% for x in y", open_statement},
        {"{%}", open_statement},
        {"{% a %} {% b", open_statement},
        {"%}", close_statement},
        {"a %%}", close_statement},
        {"\\%}", close_statement},  // a backslash does not escape "%"
        // The whole text is tokenized first: a late tokenizer error beats earlier parse errors.
        {"{a:b} {| x} {% endfor %} }", close_brace},
        {"{unknown | nope} {%", open_statement},
    };
    for (const auto& [text, message] : cases) EXPECT_EQ(compile_error(text), message) << text;
}

// ---------------------------------------------------------------------------------------------
// Parser: shape of the compiled tree

TEST(TemplateParser, BuildsNodes) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "[]"},
        {"just text", "['just text']"},
        {"{x}", "[call(x)]"},
        {"a{x}{y}b", "['a', call(x), call(y), 'b']"},
        {"{ two  words }", "[call(two  words)]"},
        {"{a.b-c}", "[call(a.b-c)]"},
        // Unique mark: one "!" removed, then trailing whitespace; a "!" inside stays.
        {"{x!}", "[unique(x)]"},
        {"{x \t!}", "[unique(x)]"},
        {"{x!!}", "[unique(x!)]"},
        {"{a!b}", "[call(a!b)]"},
        // Pipelines keep their written order and may repeat a processor.
        {"{x! | upper|twice }", "[pipe(unique(x)|upper|twice)]"},
        {"{x|upper|upper}", "[pipe(call(x)|upper|upper)]"},
        {"{x | odd:name!}", "[pipe(call(x)|odd:name!)]"},
        // Bindings: the first ":=" anywhere wins, else the first ":".
        {"{% n := v %}", "[bind(n := call(v))]"},
        {"{% n : v %}", "[bind(n : call(v))]"},
        {"{% n:=v! | upper %}", "[bind(n := pipe(unique(v)|upper))]"},
        {"{% a:b := c %}", "[bind(a:b := call(c))]"},
        {"{% n := x:y %}", "[bind(n := call(x:y))]"},
        {"{% n : x:y %}", "[bind(n : call(x:y))]"},
        {"{% n := a := b %}", "[bind(n := call(a := b))]"},
        {"{% the name : some value ! %}", "[bind(the name : unique(some value))]"},
        // Only "for" and a space open a loop; "for" alone or before a tab starts a binding.
        {"{% for\tx := y %}", "[bind(for\tx := call(y))]"},
        {"{% for: y %}", "[bind(for : call(y))]"},
        // Loops.
        {"{% for x in y %}{% endfor %}", "[for(x in y)[]]"},
        // A loop's variable is taken from its scope, counted out from the innermost; anything
        // more (a member, a unique mark, processors) is looked up by name.
        {"{%for x in y%}{x}{%endfor%}", "[for(x in y)[element(x@0)]]"},
        {"{% for x in y %}{x.m}{x!}{x|upper}{% endfor %}{x}", "[for(x in y)[call(x.m), unique(x), pipe(call(x)|upper)], call(x)]"},
        {"{% for  x \t\n in\xE2\x80\x83y.z %}{% endfor %}", "[for(x in y.z)[]]"},
        {"<{% for a in as %}[{% for b in a.bs %}{b}{% endfor %}]{% endfor %}>",
         "['<', for(a in as)['[', for(b in a.bs)[element(b@0)], ']'], '>']"},
        {"{% for a in x %}{% for b in y %}{a}{b}{% for a in z %}{a}{% endfor %}{% endfor %}{% endfor %}",
         "[for(a in x)[for(b in y)[element(a@1), element(b@0), for(a in z)[element(a@0)]]]]"},
        {"{% for a in x %}{% endfor %}{% for b in y %}{% endfor %}", "[for(a in x)[], for(b in y)[]]"},
        {"{% for a in x %}{% n := v %}{% endfor %}", "[for(a in x)[bind(n := call(v))]]"},
    };
    for (const auto& [text, shape] : cases) {
        auto node = tp::template_to_node(test_arena(), text, processors());
        ASSERT_TRUE(node) << text << ": " << node.error();
        EXPECT_NE(dynamic_cast<const VecNode*>(node->get()), nullptr) << text;
        EXPECT_EQ(describe(**node), shape) << text;
    }
}

// A text that only renders is compiled to its literal when it holds no brace and no backslash,
// to its one node when it is one expression, binding or loop, and to the template otherwise.
TEST(TemplateParser, TextsThatOnlyRenderCompileToTheFewestNodes) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"", "''"},
        {"plain 50% text", "'plain 50% text'"},
        {"a {b}", "['a ', call(b)]"},
        {"\\{x\\}", "['{x}']"},
        {"a\\b", "['a\\b']"},
        {"{b}", "call(b)"},
        {"{ b! | upper }", "pipe(unique(b)|upper)"},
        {"{% x := b %}", "bind(x := call(b))"},
        {"{% for x in xs %}{x}{% endfor %}", "for(x in xs)[element(x@0)]"},
        {"{b}{c}", "[call(b), call(c)]"},
        {"{b} ", "[call(b), ' ']"},
    };
    for (const auto& [text, shape] : cases) {
        auto node = tp::text_to_node(test_arena(), text, processors());
        ASSERT_TRUE(node) << text << ": " << node.error();
        EXPECT_EQ(describe(**node), shape) << text;
    }
    EXPECT_EQ(compile_error("{"), tp::text_to_node(test_arena(), "{", processors()).error().fmt());
}

// ---------------------------------------------------------------------------------------------
// Parser: failures, each with its exact detail, in check order

TEST(TemplateParser, ReportsInvalidTemplates) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        // Empty heads (an empty statement is a binding with an empty head).
        {"{}", "invalid template expression: "},
        {"{ \t }", "invalid template expression: "},
        {"{%%}", "invalid template expression: "},
        {"{| upper}", "invalid template expression: | upper"},
        {"{% | upper %}", "invalid template expression: | upper"},
        // Processor pieces, left to right.
        {"{x |}", "invalid template expression: x |"},
        {"{x | | upper}", "invalid template expression: x | | upper"},
        {"{x | nope}", "unknown processor: nope"},
        {"{x | Upper}", "unknown processor: Upper"},
        {"{x | nope | }", "unknown processor: nope"},
        {"{x | upper || nope}", "invalid template expression: x | upper || nope"},
        // Then the ":" test, then the "!" test.
        {"{a:b | nope}", "unknown processor: nope"},
        {"{a:b}", "invalid template expression: a:b"},
        {"{a := b}", "invalid template expression: a := b"},
        {"{!}", "invalid template expression: !"},
        {"{ ! | upper}", "invalid template expression: ! | upper"},
        // Statements.
        {"{% endfor %}", "invalid template expression: endfor"},
        {"{% for x in y %}{% endfor %}{% endfor %}", "invalid template expression: endfor"},
        {"{% name %}", "invalid template expression: name"},
        {"{% for %}", "invalid template expression: for"},
        {"{% for\tx in y %}{% endfor %}", "invalid template expression: for\tx in y"},
        {"{% forx in y %}", "invalid template expression: forx in y"},
        // Bindings: pipeline, separator, empty parts, then "!".
        {"{% x | nope %}", "unknown processor: nope"},
        {"{% x | upper %}", "invalid template expression: x | upper"},
        {"{% x | upper: y %}", "unknown processor: upper: y"},
        {"{% x: y | %}", "invalid template expression: x: y |"},
        {"{% :y %}", "invalid template expression: :y"},
        {"{% x := %}", "invalid template expression: x :="},
        {"{% x: \t %}", "invalid template expression: x:"},
        {"{% x := ! %}", "invalid template expression: x := !"},
        {"{% x : !  | upper %}", "invalid template expression: x : !  | upper"},
        // Loop headers.
        {"{% for x in %}{% endfor %}", "invalid template expression: for x in"},
        {"{% for x of y %}{% endfor %}", "invalid template expression: for x of y"},
        {"{% for x in y z %}{% endfor %}", "invalid template expression: for x in y z"},
        {"{% for x in y | upper %}{% endfor %}", "invalid template expression: for x in y | upper"},
        {"{% for x in y := z %}", "invalid template expression: for x in y := z"},
        {"{% for loop in y %}{% endfor %}", "invalid template expression: for loop in y"},
        {"{% for 1x in y %}{% endfor %}", "invalid template expression: for 1x in y"},
        {"{% for -x in y %}{% endfor %}", "invalid template expression: for -x in y"},
        {"{% for x in a..b %}{% endfor %}", "invalid template expression: for x in a..b"},
        {"{% for x in y %}", "invalid template expression: missing endfor for template loop"},
        {"{% for x in y %}{% for z in x %}{% endfor %}",
         "invalid template expression: missing endfor for template loop"},
        // The first failing token decides; errors inside a loop body pass through.
        {"{a:b}{% endfor %}", "invalid template expression: a:b"},
        {"{% for x in y %}{x | nope}", "unknown processor: nope"},
    };
    for (const auto& [text, message] : cases) EXPECT_EQ(compile_error(text), message) << text;
}

TEST(TemplateParser, ParsesLoopHeaders) {
    struct Case {
        std::string statement;
        bool ok;
        std::string variable;
        std::string source;
    };
    const std::vector<Case> cases = {
        {"for x in y", true, "x", "y"},
        {"  for  _item-2\tin a.b.c \n", true, "_item-2", "a.b.c"},
        {"for \xC3\xA9t\xC3\xA9 in 0.-x.\xC3\xA9", true, "\xC3\xA9t\xC3\xA9", "0.-x.\xC3\xA9"},
        {"for x\xD9\xA3 in y", true, "x\xD9\xA3", "y"},  // a non-ASCII digit after the first
        {"for loops in y", true, "loops", "y"},
        {"", false, "", ""},
        {"for x in", false, "", ""},
        {"For x in y", false, "", ""},
        {"for x IN y", false, "", ""},
        {"for loop in y", false, "", ""},
        {"for 1 in y", false, "", ""},
        {"for a.b in y", false, "", ""},
        {"for x in .y", false, "", ""},
        {"for x in y.", false, "", ""},
        {"for x in y!", false, "", ""},
        {"for x in y in z", false, "", ""},
        {"for \xFF in y", false, "", ""},  // not UTF-8
    };
    for (const auto& c : cases) {
        auto header = tp::parse_for_statement(c.statement);
        if (c.ok) {
            ASSERT_TRUE(header) << c.statement << ": " << header.error();
            EXPECT_EQ(header->variable, c.variable) << c.statement;
            EXPECT_EQ(header->source, c.source) << c.statement;
        } else {
            ASSERT_FALSE(header) << c.statement;
            EXPECT_EQ(header.error(), RenderError::invalid_template(c.statement)) << c.statement;
        }
    }
}

TEST(TemplateParser, ClassifiesIdentifiersAndSourcePaths) {
    for (std::string_view v : {"x", "_", "_a1", "a-b_c", "\xC3\xA9", "\xCE\xA3\xD9\xA3", "x\xE2\x85\xA0"}) {
        EXPECT_TRUE(tp::is_identifier(v)) << v;
    }
    for (std::string_view v : {"", "1a", "-a", "a.b", "a b", "a!", "\xD9\xA3", "\xC3"}) {
        EXPECT_FALSE(tp::is_identifier(v)) << v;
    }
    for (std::string_view p : {"a", "a.b.c", "1.2", "a-b.\xC3\xA9", "a b", "$#@"}) {
        EXPECT_TRUE(tp::is_source_path(p)) << p;
    }
    for (std::string_view p : {"", ".", "a.", ".a", "a..b", "a!b", "a%b", "a:b", "a{b", "a|b", "a}b"}) {
        EXPECT_FALSE(tp::is_source_path(p)) << p;
    }
}

// ---------------------------------------------------------------------------------------------
// Loop nesting bound

std::string nested_loops(std::size_t depth, bool closed) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) text += "{% for v in one %}";
    text += "{v}";
    if (closed) {
        for (std::size_t i = 0; i < depth; ++i) text += "{% endfor %}";
    }
    return text;
}

TEST(TemplateParser, BoundsLoopNesting) {
    const std::string too_deep = "invalid template expression: template loops nested more than " +
                                 std::to_string(tp::kMaxLoopNesting) + " levels deep";
    EXPECT_EQ(compile_error(nested_loops(tp::kMaxLoopNesting, true)), "<compiled>");
    EXPECT_EQ(compile_error(nested_loops(tp::kMaxLoopNesting + 1, true)), too_deep);
    EXPECT_EQ(compile_error(nested_loops(100000, true)), too_deep);
    EXPECT_EQ(compile_error(nested_loops(100000, false)), too_deep);
    // A malformed header at the bound still reports itself.
    EXPECT_EQ(compile_error(nested_loops(tp::kMaxLoopNesting, false) + "{% for loop in x %}"),
              "invalid template expression: for loop in x");
}

// ---------------------------------------------------------------------------------------------
// End to end through a hand-built ruleset

StructuredNode text_node(std::string_view text) {
    return StructuredNode(StructuredNode::Data(tp::template_to_node(test_arena(), text, {}).value()));
}

StructuredNode array_of(std::vector<StructuredNode> nodes) {
    StructuredNode::Array array(test_arena());
    for (auto& n : nodes) array.emplace_back(std::move(n));
    return StructuredNode(StructuredNode::Data(std::move(array)));
}

StructuredNode person(std::string_view name) {
    StructuredNode::Object object(test_arena());
    object.emplace("name", text_node(name));
    return StructuredNode(StructuredNode::Data(std::move(object)));
}

StructuredNode structured_tree() {
    std::vector<StructuredNode> colors;
    colors.push_back(text_node("red"));
    colors.push_back(text_node("green"));
    colors.push_back(text_node("blue"));
    std::vector<StructuredNode> people;
    people.push_back(person("Ann"));
    people.push_back(person("Bob"));
    std::vector<StructuredNode> one;
    one.push_back(text_node("x"));

    StructuredNode::Object root(test_arena());
    root.emplace("colors", array_of(std::move(colors)));
    root.emplace("people", array_of(std::move(people)));
    root.emplace("one", array_of(std::move(one)));
    root.emplace("none", array_of({}));
    return StructuredNode(StructuredNode::Data(std::move(root)));
}

class TemplateRender : public testing::Test {
protected:
    // Renders `text` as the rule "t" beside a few fixed rules; the rendered text or the error text.
    static std::string render(std::string_view text) {
        NodeMap rules(test_arena());
        const std::vector<std::pair<std::string, std::string>> templates = {
            {"word", "ab"},          {"two words", "spaced"}, {"a!b", "mid"},
            {"x:y", "colon"},        {"greeting", "hi {word}"}};
        for (const auto& [name, body] : templates) {
            rules.insert_or_assign(name, tp::template_to_node(test_arena(), body, processors()).value());
        }
        // Choices, for the unique path.
        support::Arena& arena = test_arena();
        NodeList only(arena);
        only.push_back(arena.make<LiteralNode>(arena, "only"));
        rules.insert_or_assign("pick", arena.make<ChoiceNode>(std::move(only)));
        NodeList banged(arena);
        banged.push_back(arena.make<LiteralNode>(arena, "banged"));
        rules.insert_or_assign("bang!", arena.make<ChoiceNode>(std::move(banged)));

        auto node = tp::template_to_node(test_arena(), text, processors());
        if (!node) return node.error().fmt();
        rules.insert_or_assign("t", *node);

        const RuleSet ruleset(std::make_unique<support::Arena>(), structured_tree(), std::move(rules),
                              NodeMap(arena), processors());
        auto state = RenderState::with_context_and_options(ruleset, {}, 0);
        std::string out;
        auto done = ruleset.render_rule_with_state("t", state, out);
        return done ? out : done.error().fmt();
    }
};

TEST_F(TemplateRender, RendersTemplates) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},
        {"plain \\ 100% text", "plain \\ 100% text"},
        {"\\{word\\}", "{word}"},
        {"\\\\{word\\}", "\\{word}"},
        {"<{word}> {greeting}", "<ab> hi ab"},
        {"{ two words }", "spaced"},
        {"{a!b}", "mid"},
        {"{bang!!}", "banged"},
        {"{pick !}", "only"},
        {"{word!}", "unique choice target is not a choice: word"},
        {"{missing}", "unknown rule: missing"},
        // Processors apply left to right.
        {"{word | brackets | twice}", "[ab][ab]"},
        {"{word|twice|brackets}", "[abab]"},
        {"{word | odd:name! | upper}", "<AB>"},
        {"{word | fail}", "processor fail failed: boom"},
        // Bindings render nothing; ":" keeps an existing value, ":=" replaces it.
        {"{% n := word %}[{n}]", "[ab]"},
        {"{% n := word | brackets %}{n}", "[ab]"},
        {"{% n : word %}{% n : two words %}{n}", "ab"},
        {"{% n : word %}{% n := two words %}{n}", "spaced"},
        {"{% n := pick! %}{n}", "only"},
        {"{% n : x:y %}{n}", "colon"},
        {"{% a:b := word %}{% c := a:b %}{c}", "ab"},
        // Loops.
        {"{% for c in colors %}{c},{% endfor %}", "red,green,blue,"},
        {"[{% for c in colors %}{% endfor %}]", "[]"},
        {"[{% for c in none %}{c}{% endfor %}]", "[]"},
        {"{% for c in colors %}{loop.index}{c | upper}{% endfor %}", "1RED2GREEN3BLUE"},
        {"{% for p in people %}{p.name}:{% for c in colors %}{c}{% endfor %};{% endfor %}",
         "Ann:redgreenblue;Bob:redgreenblue;"},
        {"{% for \xC3\xA9 in colors %}{\xC3\xA9}{% endfor %}", "redgreenblue"},
        {"{% for c in colors %}{% n := c %}{n}{% endfor %}", "redgreenblue"},
        {"{% for c in colors %}{% c := word %}{% endfor %}",
         "cannot overwrite immutable loop binding: c"},
        {nested_loops(tp::kMaxLoopNesting, true), "x"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(render(text), expected) << text;
}

}  // namespace
