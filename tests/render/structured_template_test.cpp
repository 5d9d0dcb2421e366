#include "render/structured_template.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veskora::render {
namespace {

using structured_template::end_of_quoted;
using structured_template::next_directive;
using structured_template::transform_source;

constexpr const char* kPrefix = "__veskora_internal_0_";

// A backslash escapes the byte after it, so only an even run of them leaves a quotation mark
// closing the string.
TEST(EndOfQuoted, BackslashesPairUp) {
    const struct {
        std::string text;
        std::size_t end;
    } cases[] = {
        {R"("abc" x)", 5},
        {R"("a\"b" x)", 6},
        {R"("a\\" x)", 5},
        {R"("a\\\"b" x)", 8},
        {R"("\\\\" x)", 6},
        {R"(x "a" y)", 5},
        {R"("abc)", std::string::npos},
        {R"("ab\")", std::string::npos},
    };
    for (const auto& c : cases) {
        const std::size_t open = c.text.find('"');
        EXPECT_EQ(end_of_quoted(c.text, open), c.end) << c.text;
    }
}

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

struct TransformCase {
    const char* name;
    std::string text;
    std::uint64_t counter;
    std::string output;
    std::vector<LoopSource> loops;
    std::uint64_t counter_after;
};

TEST(TransformSource, CutsOutermostBlocks) {
    const std::string m0 = std::string(kPrefix) + "0__";
    const std::string m1 = std::string(kPrefix) + "1__";
    const std::string m5 = std::string(kPrefix) + "5__";
    const std::string m6 = std::string(kPrefix) + "6__";
    const std::vector<TransformCase> cases = {
        {"no directive", "a = \"{% for x in y %}\" # {% endfor %}\n", 3, "a = \"{% for x in y %}\" # {% endfor %}\n",
         {}, 3},
        {"one block",
         "r { a = [ {% for item in list.items %} { n = 1 } {% endfor %} ] }",
         0,
         "r { a = [ \"" + m0 + "\" ] }",
         {{m0, "item", "list.items", " { n = 1 } "}},
         1},
        {"two blocks side by side from the caller's counter",
         "a = [{% for x in xs %}1{% endfor %}, {% for y in ys %}2{% endfor %}]",
         5,
         "a = [\"" + m5 + "\", \"" + m6 + "\"]",
         {{m5, "x", "xs", "1"}, {m6, "y", "ys", "2"}},
         7},
        {"nested block stays verbatim, uncounted and unchecked",
         "{% for x in xs %}[{% for 1y in x.ys %}{% endfor %}]{% endfor %}",
         0,
         "\"" + m0 + "\"",
         {{m0, "x", "xs", "[{% for 1y in x.ys %}{% endfor %}]"}},
         1},
        {"block at start and end with empty body", "{% for x in xs %}{% endfor %}", 1, "\"" + m1 + "\"",
         {{m1, "x", "xs", ""}}, 2},
        {"white space body kept untrimmed", "{%for x in xs%}\n  \n{%endfor%}", 0, "\"" + m0 + "\"",
         {{m0, "x", "xs", "\n  \n"}}, 1},
        {"strings and comments inside the body are kept",
         "a = [{% for x in xs %} \"{% endfor %}\" # {% endfor %}\n{% endfor %}]",
         0,
         "a = [\"" + m0 + "\"]",
         {{m0, "x", "xs", " \"{% endfor %}\" # {% endfor %}\n"}},
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::uint64_t counter = c.counter;
        auto result = transform_source(c.text, kPrefix, counter);
        ASSERT_TRUE(result.has_value()) << result.error();
        EXPECT_EQ(result->text, c.output);
        ASSERT_EQ(result->loops.size(), c.loops.size());
        for (std::size_t i = 0; i < c.loops.size(); ++i) {
            EXPECT_EQ(result->loops[i].marker, c.loops[i].marker);
            EXPECT_EQ(result->loops[i].variable, c.loops[i].variable);
            EXPECT_EQ(result->loops[i].source, c.loops[i].source);
            EXPECT_EQ(result->loops[i].body, c.loops[i].body);
        }
        EXPECT_EQ(counter, c.counter_after);
    }
}

struct FailureCase {
    const char* name;
    std::string text;
    std::string message;
};

TEST(TransformSource, FailuresLeaveTheCounterAlone) {
    const std::vector<FailureCase> cases = {
        {"unclosed opening", "a = [{% for x in xs", "unmatched opening structured template delimiter"},
        {"unclosed inside block", "[{% for x in xs %} {% endfor", "unmatched opening structured template delimiter"},
        {"stray endfor", "a = {% endfor %}", "unexpected structured template directive: endfor"},
        {"binding outside a string", "{% x := y %}", "unexpected structured template directive: x := y"},
        {"for followed by a tab", "{% for\tx in xs %}{% endfor %}",
         "unexpected structured template directive: for\tx in xs"},
        {"bare for", "{% for %}", "unexpected structured template directive: for"},
        {"loop variable named loop", "{% for loop in xs %}{% endfor %}",
         "invalid template expression: for loop in xs"},
        {"bad source path", "{% for x in a..b %}{% endfor %}", "invalid template expression: for x in a..b"},
        {"header with a pipeline", "{% for x in xs | upper %}{% endfor %}",
         "invalid template expression: for x in xs | upper"},
        {"missing endfor", "[{% for x in xs %} 1 ]", "missing endfor for structured array loop"},
        {"nested block without its endfor", "[{% for x in xs %}{% for y in ys %}{% endfor %}]",
         "missing endfor for structured array loop"},
        {"bad header wins over missing endfor", "{% for 1x in xs %}", "invalid template expression: for 1x in xs"},
        {"other directive inside a block", "{% for x in xs %}{% y: x %}{% endfor %}",
         "unexpected structured template directive: y: x"},
        {"second block fails after a good one", "[{% for x in xs %}{% endfor %}, {% endfor %}]",
         "unexpected structured template directive: endfor"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::uint64_t counter = 9;
        auto result = transform_source(c.text, kPrefix, counter);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), c.message);
        EXPECT_EQ(counter, 9u);
    }
}

}  // namespace
}  // namespace veskora::render
