#include "render/structured_template.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veskora::render {
namespace {

using structured_template::next_directive;
using structured_template::read_block;

struct DirectiveCase {
    const char* name;
    std::string text;
    std::size_t from;
    // Expected directive: start, end, text; or nothing (found == false).
    bool found;
    std::size_t start;
    std::size_t end;
    std::string inner;
};

TEST(NextDirective, FindsDirectivesOutsideStringsAndComments) {
    const std::vector<DirectiveCase> cases = {
        {"plain", "a = {% for x in y %}", 0, true, 4, 20, "for x in y"},
        {"trimmed of white space", "{%\t endfor \u3000%}", 0, true, 0, 16, "endfor"},
        {"starts at from", "{% a %} {% b %}", 1, true, 8, 15, "b"},
        {"inside plain string", R"(a = "{% for x in y %}")", 0, false, 0, 0, ""},
        {"after escaped quote in string", R"(a = "x\" {% for %}")", 0, false, 0, 0, ""},
        {"escaped backslash closes string", R"(a = "x\\" {% b %})", 0, true, 10, 17, "b"},
        {"inside triple-quoted string", "a = \"\"\"x \" {% b %}\"\"\"", 0, false, 0, 0, ""},
        {"after triple-quoted string", "a = \"\"\"x\"\"\" {% b %}", 0, true, 12, 19, "b"},
        // As the parser reads it, a run of more than three quotation marks closes a triple-quoted
        // string at its end, and a line feed ends what it reads of a plain string.
        {"run of four quotes closes triple-quoted string", "a = \"\"\"x\"\"\"\"{% b %}", 0, true, 12, 19, "b"},
        {"run of quotes that opens a triple-quoted string", "a = \"\"\"\"\"\"\"o\"\"\" {% b %} \"\"", 0, false, 0, 0, ""},
        {"line feed ends a plain string", "a = \"x\n{% b %}\"", 0, true, 7, 14, "b"},
        {"hash comment", "# {% b %}", 0, false, 0, 0, ""},
        {"slash comment", "a = 1 // {% b %}", 0, false, 0, 0, ""},
        {"next line after comment counts", "# x\n{% b %}", 0, true, 4, 11, "b"},
        {"single slash is no comment", "/ {% b %}", 0, true, 2, 9, "b"},
        {"unterminated string", "a = \"{% b %}", 0, false, 0, 0, ""},
        {"no directive", "a = { b = 1 }", 0, false, 0, 0, ""},
        {"percent-brace in string inside directive closes it", R"({% for x in "%}" %})", 0, true, 0, 15,
         "for x in \""},
        {"brace right after opening does not close", "{%} x %}", 0, true, 0, 8, "} x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto result = next_directive(c.text, c.from);
        ASSERT_TRUE(result.has_value()) << result.error();
        ASSERT_EQ(result->has_value(), c.found);
        if (!c.found) continue;
        EXPECT_EQ((*result)->start, c.start);
        EXPECT_EQ((*result)->end, c.end);
        EXPECT_EQ((*result)->text, c.inner);
    }
}

TEST(NextDirective, UnclosedDirectiveFails) {
    for (const std::string text : {"a = {% for x in y", "{%}", "x # y\n{% endfor"}) {
        auto result = next_directive(text, 0);
        ASSERT_FALSE(result.has_value()) << text;
        EXPECT_EQ(result.error(), "unmatched opening structured template delimiter");
    }
}

TEST(ReadBlock, ReadsTheBlockAtItsOpening) {
    struct Case {
        const char* name;
        std::string text;
        std::size_t at;
        LoopSource block;
    };
    const std::vector<Case> cases = {
        {"one block", "r { a = [ {% for item in list.items %} { n = 1 } {% endfor %} ] }", 10,
         {"item", "list.items", " { n = 1 } ", 61}},
        {"nested block stays verbatim and unchecked", "{% for x in xs %}[{% for 1y in x.ys %}{% endfor %}]{% endfor %}",
         0, {"x", "xs", "[{% for 1y in x.ys %}{% endfor %}]", 63}},
        {"empty body", "{% for x in xs %}{% endfor %}", 0, {"x", "xs", "", 29}},
        {"white space body kept untrimmed", "{%for x in xs%}\n  \n{%endfor%}", 0, {"x", "xs", "\n  \n", 29}},
        {"strings and comments inside the body are kept",
         "a = [{% for x in xs %} \"{% endfor %}\" # {% endfor %}\n{% endfor %}]", 5,
         {"x", "xs", " \"{% endfor %}\" # {% endfor %}\n", 65}},
        {"the second of two blocks", "[{% for x in xs %}1{% endfor %}, {% for y in ys %}2{% endfor %}]", 33,
         {"y", "ys", "2", 63}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto result = read_block(c.text, c.at);
        ASSERT_TRUE(result.has_value()) << result.error();
        EXPECT_EQ(result->variable, c.block.variable);
        EXPECT_EQ(result->source, c.block.source);
        EXPECT_EQ(result->body, c.block.body);
        EXPECT_EQ(result->end, c.block.end);
    }
}

TEST(ReadBlock, Failures) {
    struct Case {
        const char* name;
        std::string text;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"unclosed opening", "{% for x in xs", "unmatched opening structured template delimiter"},
        {"unclosed inside block", "{% for x in xs %} {% endfor", "unmatched opening structured template delimiter"},
        {"stray endfor", "{% endfor %}", "unexpected structured template directive: endfor"},
        {"binding outside a string", "{% x := y %}", "unexpected structured template directive: x := y"},
        {"for followed by a tab", "{% for\tx in xs %}{% endfor %}",
         "unexpected structured template directive: for\tx in xs"},
        {"bare for", "{% for %}", "unexpected structured template directive: for"},
        {"loop variable named loop", "{% for loop in xs %}{% endfor %}",
         "invalid template expression: for loop in xs"},
        {"bad source path", "{% for x in a..b %}{% endfor %}", "invalid template expression: for x in a..b"},
        {"header with a pipeline", "{% for x in xs | upper %}{% endfor %}",
         "invalid template expression: for x in xs | upper"},
        {"missing endfor", "{% for x in xs %} 1 ]", "missing endfor for structured array loop"},
        {"nested block without its endfor", "{% for x in xs %}{% for y in ys %}{% endfor %}]",
         "missing endfor for structured array loop"},
        {"bad header wins over missing endfor", "{% for 1x in xs %}", "invalid template expression: for 1x in xs"},
        {"other directive inside a block", "{% for x in xs %}{% y: x %}{% endfor %}",
         "unexpected structured template directive: y: x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto result = read_block(c.text, 0);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), c.message);
    }
}

}  // namespace
}  // namespace veskora::render
