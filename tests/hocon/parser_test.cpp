#include <gtest/gtest.h>

#include <string>

#include "dump.hpp"
#include "hocon/parser.hpp"

namespace hocon {
namespace {

using testing::dump;

std::expected<Document, Error> parse(std::string_view text, std::optional<std::string> origin = std::nullopt) {
    return HoconParser(text, ConfigOptions::defaults(), std::move(origin)).parse();
}

struct SyntaxCase {
    const char* name;
    const char* text;
    const char* tree;
};

class Syntax : public ::testing::TestWithParam<SyntaxCase> {};

// The tree as read: every value final that needs no resolution, objects merged as they are
// completed (keys in byte order), comments gone, what an include statement finds in its place.
TEST_P(Syntax, ParsesToTree) {
    const SyntaxCase& c = GetParam();
    auto parsed = parse(c.text);
    ASSERT_TRUE(parsed.has_value()) << parsed.error();
    EXPECT_EQ(dump(parsed->root), c.tree);
}

INSTANTIATE_TEST_SUITE_P(
    Hocon, Syntax,
    ::testing::Values(
        // Document shapes
        SyntaxCase{"Empty", "", "{}"},
        SyntaxCase{"OnlyComments", "  # one\n// two\n", "{}"},
        SyntaxCase{"BracedRoot", "{ a: 1 }", "{a: #1}"},
        SyntaxCase{"BracelessRoot", "a = 1\nb : 2", "{a: #1; b: #2}"},
        SyntaxCase{"BomAndCrlf", "\xEF\xBB\xBF" "a = 1\r\nb = 2\r\n", "{a: #1; b: #2}"},
        // Separators
        SyntaxCase{"NoSeparatorBeforeBrace", "a { b { c = 1 } }", "{a: {b: {c: #1}}}"},
        SyntaxCase{"CommasAndNewlines", "a=1,b=2\nc=3,", "{a: #1; b: #2; c: #3}"},
        SyntaxCase{"CommaOnNextLine", "a = 1\n, b = 2", "{a: #1; b: #2}"},
        SyntaxCase{"ValueOnNextLine", "a =\n\n  1\nb :\n{ c: 2 }", "{a: #1; b: {c: #2}}"},
        SyntaxCase{"Append", "a += 1\na += [x]", "{a: merge(+=(#1), +=([\"x\"]))}"},
        // Scalars
        SyntaxCase{"Literals", "t = true, f = false, n = null", "{f: false; n: null; t: true}"},
        SyntaxCase{"NumbersKeepText", "a = [0, -1, 1.50, 1e5, -0, 1E-2]", "{a: [#0, #-1, #1.50, #1e5, #-0, #1E-2]}"},
        SyntaxCase{"NumbersLeftToResolution", "a = [1e999, 3.14159265358979323846]",
                   "{a: [#1e999!, #3.14159265358979323846!]}"},
        SyntaxCase{"NotANumber", "a = [1.0., -, 01]", "{a: [\"1.0.\", \"-\", \"01\"]}"},
        SyntaxCase{"NumberThenWord", "a = 10.0foo", "{a: \"10.0foo\"}"},
        SyntaxCase{"BooleanPrefixIsText", "a = truefoo", "{a: \"truefoo\"}"},
        SyntaxCase{"QuotedEscapes", R"(a = "x\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00")",
                   "{a: \"x\"\\/\b\f\n\r\t\xC3\xA9\xF0\x9F\x98\x80\"}"},
        SyntaxCase{"TripleQuoted", "a = \"\"\"x\n \"y\" ${z}\"\"\"\"", "{a: \"x\n \"y\" ${z}\"\"}"},
        SyntaxCase{"UnquotedWithSlashAndUnicode", "a = /x/y h\xC3\xA9", "{a: \"/x/y h\xC3\xA9\"}"},
        // Concatenations keep the whitespace between parts and drop it around them; without a
        // substitution they are the value they make
        SyntaxCase{"StringConcat", "a =  foo  bar\t\"baz\"  1.50 ", "{a: \"foo  bar\tbaz  1.50\"}"},
        SyntaxCase{"NonAsciiSpaceSeparator", "a = x\xE2\x80\x83y", "{a: \"x\xE2\x80\x83y\"}"},
        SyntaxCase{"ObjectConcat", "a = { b: 1 } { c: 2, b: 3 }", "{a: {b: #3; c: #2}}"},
        SyntaxCase{"ArrayConcat", "a = [ 1 ] [ 2, [3] ]", "{a: [#1, #2, [#3]]}"},
        SyntaxCase{"ArrayConcatWithSubstitution", "a = ${a} [ 1 ]", "{a: concat(${a} ' ' [#1])}"},
        SyntaxCase{"NewlineEndsConcat", "a = [ 1 2\n 3 ]", "{a: [\"1 2\", #3]}"},
        // Substitutions
        SyntaxCase{"Substitutions", "a = ${b.c}, d = ${?e}, f = ${ \"g.h\".i }", "{a: ${b|c}; d: ${?e}; f: ${g.h|i}}"},
        SyntaxCase{"SubstitutionInString", "a = x${b}y", "{a: concat(\"x\" '' ${b} '' \"y\")}"},
        // Keys, and duplicate and path keys merged as their object is completed
        SyntaxCase{"QuotedKeyWithDot", "\"a.b\" = 1", "{a.b: #1}"},
        SyntaxCase{"PathKey", "a.b.\"c.d\" = 1", "{a: {b: {c.d: #1}}}"},
        SyntaxCase{"KeyWithSpaces", " a  b = 1", "{a  b: #1}"},
        SyntaxCase{"NumericPathKey", "3.14 = 1, 10.0foo = 2", "{10: {0foo: #2}; 3: {14: #1}}"},
        SyntaxCase{"EmptyQuotedSegments", "\"\".\"\" = 1", "{: {: #1}}"},
        SyntaxCase{"KeywordKeys", "true = 1, includes = 2, include.x = 3", "{include: {x: #3}; includes: #2; true: #1}"},
        SyntaxCase{"TripleQuotedKey", "\"\"\"a\"\"\" = 1", "{a: #1}"},
        SyntaxCase{"DuplicateKeys", "a { x = 1 }, a { y = 2 }, b = 1, b = [2], a.z = 3", "{a: {x: #1; y: #2; z: #3}; b: [#2]}"},
        SyntaxCase{"ValueOfUnknownKindStacksUp", "a { x = 1 }, a = ${b}, a { y = 2 }",
                   "{a: merge({x: #1}, ${b}, {y: #2})}"},
        // Comments
        SyntaxCase{"TrailingComments", "a = 1 # one\n# alone\nb = 2 // two", "{a: #1; b: #2}"},
        SyntaxCase{"CommentBetweenKeyAndValue", "a // c\n: // d\n 1", "{a: #1}"},
        SyntaxCase{"CommentMarkersInStrings", "a = \"# no\", b = \"// no\"", "{a: \"# no\"; b: \"// no\"}"},
        SyntaxCase{"CommentsInArray", "a = [ 1 # x\n , 2 // y\n ]", "{a: [#1, #2]}"},
        // Include statements that find nothing (optional) add nothing
        SyntaxCase{"IncludeForms",
                   "include \"nowhere-1.conf\"\ninclude file(\"nowhere-2\")\ninclude classpath( \"nowhere-3\" )\n"
                   "include\n  \"nowhere-4\"",
                   "{}"},
        SyntaxCase{"IncludeInNestedObject", "a { include \"nowhere\", b = 1 }", "{a: {b: #1}}"},
        SyntaxCase{"IncludeAsValueIsAString", "a = include, b = [include]", "{a: \"include\"; b: [\"include\"]}"}),
    [](const ::testing::TestParamInfo<SyntaxCase>& info) { return std::string(info.param.name); });

struct ErrorCase {
    const char* name;
    const char* text;
    const char* message;  // the full rendering
};

class SyntaxError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(SyntaxError, IsReportedWithLine) {
    const ErrorCase& c = GetParam();
    auto parsed = parse(c.text, "test.conf");
    ASSERT_FALSE(parsed.has_value()) << dump(parsed->root);
    EXPECT_EQ(parsed.error().render(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Hocon, SyntaxError,
    ::testing::Values(
        ErrorCase{"WrongCloser", "a {\n  b = 1\n]", "test.conf: line 3: expected '}' or a new field, found ']'"},
        ErrorCase{"WrongCloserSameLine", "a { b = 1 ]", "test.conf: line 1: expected ',', a newline or '}' after a field, found ']'"},
        ErrorCase{"NoKey", "a = 1\n: 2", "test.conf: line 2: expected a new field, found ':'"},
        ErrorCase{"CloserAfterComma", "a {\n  b = 1,\n]", "test.conf: line 3: expected '}' or a new field, found ']'"},
        ErrorCase{"UnclosedObject", "a {\n b = 1\n", "test.conf: line 3: expected '}' or a new field, found end of input"},
        ErrorCase{"UnbalancedClose", "a = 1\n}", "test.conf: line 2: unbalanced '}': the document has no opening '{'"},
        ErrorCase{"ArrayRoot", "[1]", "test.conf: line 1: the document root must be an object, found an array"},
        ErrorCase{"TrailingAfterRoot", "{}\n{}", "test.conf: line 2: expected end of input after the root object, found '{'"},
        ErrorCase{"MissingValue", "a =\n", "test.conf: line 2: expected a value for the key 'a', found end of input"},
        ErrorCase{"MissingSeparator", "a 1", "test.conf: line 1: expected ':', '=', '+=' or '{' after the key '\"a 1\"', found end of input"},
        ErrorCase{"NewlineInKey", "foo\nbar = 1", "test.conf: line 2: expected ':', '=', '+=' or '{' after the key 'foo', found 'b'"},
        ErrorCase{"DoubleComma", "a = [1,,2]", "test.conf: line 1: expected a value or ']', found ','"},
        ErrorCase{"LeadingComma", "{ , a = 1 }", "test.conf: line 1: expected '}' or a new field, found ','"},
        ErrorCase{"TwoFieldsOneLine", "a = 1 b = 2", "test.conf: line 1: expected ',' or a newline after a field, found '='"},
        ErrorCase{"ReservedCharacter", "a = foo?", "test.conf: line 1: reserved character '?' is not allowed outside quotes"},
        ErrorCase{"LoneDollar", "a = $x", "test.conf: line 1: '$' is not allowed outside quotes unless it begins a substitution ${...}"},
        ErrorCase{"SubstitutionInKey", "a${b} = 1", "test.conf: line 1: substitutions are not allowed in keys"},
        ErrorCase{"EmptySubstitution", "a = ${}", "test.conf: line 1: a substitution needs a path: ${}"},
        ErrorCase{"EmptySubstitutionWithControlSpace", "a = ${\r}", "test.conf: line 1: a substitution needs a path: ${\\r}"},
        ErrorCase{"CommentInSubstitution", "a = ${ # x }", "test.conf: line 1: expected '}' to close the substitution, found '#'"},
        ErrorCase{"UnterminatedSubstitution", "a = ${b\n}", "test.conf: line 1: unterminated substitution: expected '}', found a newline"},
        ErrorCase{"EmptyPathElement", "a..b = 1", "test.conf: line 1: invalid path 'a..b': a path element is empty (write \"\" for an empty key)"},
        ErrorCase{"TrailingDot", "x = 1\na. = 1", "test.conf: line 2: invalid path 'a.': a path element is empty (write \"\" for an empty key)"},
        ErrorCase{"UnterminatedString", "a = \"abc", "test.conf: line 1: unterminated quoted string"},
        ErrorCase{"NewlineInString", "a = \"ab\nc\"", "test.conf: line 1: newline in a quoted string (write \\n, or use a triple-quoted string)"},
        ErrorCase{"ControlInString", "a = \"\x01\"", "test.conf: line 1: control character U+0001 in a quoted string must be escaped"},
        ErrorCase{"BadEscape", "a = \"\\q\"", "test.conf: line 1: invalid escape '\\q' in a quoted string"},
        ErrorCase{"EscapedNewline", "a = \"x\\\ny\"", "test.conf: line 1: invalid escape: a backslash before a newline in a quoted string"},
        ErrorCase{"ShortUnicodeEscape", "a = \"\\u12\"", "test.conf: line 1: a \\u escape needs four hexadecimal digits"},
        ErrorCase{"LoneSurrogate", "a = \"\\udc00\"", "test.conf: line 1: a \\u escape of a low surrogate must follow one of a high surrogate"},
        ErrorCase{"UnterminatedTripleQuote", "a = 1\nb = \"\"\"abc\n", "test.conf: line 2: unterminated triple-quoted string"},
        ErrorCase{"LineCountAfterTripleQuote", "a = \"\"\"x\ny\"\"\"\nb = ?", "test.conf: line 3: reserved character '?' is not allowed outside quotes"},
        ErrorCase{"ObjectWithString", "a = x { b = 1 }", "test.conf: line 1: cannot concatenate an object with a string, number, boolean or null"},
        ErrorCase{"ObjectWithArray", "a = { } [ ]", "test.conf: line 1: cannot concatenate an object with an array"},
        ErrorCase{"MessageStaysOnOneLine", "\"\"\"two\nlines\"\"\" x", "test.conf: line 2: expected ':', '=', '+=' or '{' after the key '\"two\\nlines x\"', found end of input"},
        ErrorCase{"PlusWithoutEquals", "a + 1", "test.conf: line 1: expected ':', '=', '+=' or '{' after the key 'a', found '+'"},
        ErrorCase{"IncludeUnquoted", "include foo", "test.conf: line 1: include must be followed by a quoted string, or by file(), classpath() or url() around one, optionally inside required(), found 'f'"},
        ErrorCase{"IncludeWithValue", "include \"x\" : 1", "test.conf: line 1: expected ',' or a newline after a field, found ':'"},
        ErrorCase{"IncludeUnclosed", "include file(\"x\"", "test.conf: line 1: expected ')' to close the include target, found end of input"},
        ErrorCase{"IncludeRequiredUnclosed", "include required(\"x\" ", "test.conf: line 1: expected ')' to close required(, found end of input"},
        ErrorCase{"IncludeUrl", "include url(\"http://localhost/x.conf\")", "test.conf: line 1: url() includes are not supported: \"http://localhost/x.conf\""},
        ErrorCase{"IncludeRequiredUrl", "include required(url(\"x\"))", "test.conf: line 1: url() includes are not supported: \"x\""},
        ErrorCase{"InvalidUtf8", "a = 1\nb = \"\xC3\x28\"", "test.conf: line 2: the text is not valid UTF-8"},
        ErrorCase{"OverlongUtf8", "a = \xC0\xAF", "test.conf: line 1: the text is not valid UTF-8"},
        ErrorCase{"EncodedSurrogate", "a = \xED\xA0\x80", "test.conf: line 1: the text is not valid UTF-8"}),
    [](const ::testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });

TEST(Parser, ErrorWithoutOriginHasNoFilePart) {
    auto parsed = parse("a = [");
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ(parsed.error().render(), "line 1: expected ']' or a new element, found end of input");
}

TEST(Parser, FileNameInErrorStaysOnOneLine) {
    auto parsed = parse("a = [", "two\nlines.conf");
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ(parsed.error().render(), "two\\nlines.conf: line 1: expected ']' or a new element, found end of input");
}

// What only resolution decides keeps where it was written: a substitution its own line, the
// values of a field the line of its key.
TEST(Parser, LocationsOfKeysAndSubstitutions) {
    auto parsed = parse("\n\na = [\n1, ${c}]\nb = x ${c}", "f.conf");
    ASSERT_TRUE(parsed.has_value()) << parsed.error();
    const Value::Object& root = *object_in(parsed->root);
    const detail::Node& a = root.at("a").as_unresolved()->node();
    const detail::Node& b = root.at("b").as_unresolved()->node();
    EXPECT_EQ(a.where.line, 3u);
    ASSERT_NE(a.where.file, nullptr);
    EXPECT_EQ(*a.where.file, "f.conf");
    EXPECT_EQ(static_cast<const detail::ContainerNode&>(a).value.as_array()->at(1).as_unresolved()->node().where.line, 4u);
    EXPECT_EQ(b.where.line, 5u);
    EXPECT_EQ(static_cast<const detail::ConcatenationNode&>(b).parts[1].as_unresolved()->node().where.line, 5u);
}

// Deep nesting is refused at the limit, never by overflowing the stack.
TEST(Parser, NestingIsBounded) {
    const std::size_t limit = ConfigOptions::default_nesting_limit;
    const std::string too_deep = "objects and arrays nest deeper than the limit of 64 levels";
    // The root object is the first level.
    std::string objects_over;
    for (std::size_t i = 0; i < limit; ++i) objects_over += "a {";
    struct Case {
        std::string text;
        std::string error;  // empty: parses
    };
    const Case cases[] = {
        {"a = " + std::string(limit - 1, '[') + std::string(limit - 1, ']'), ""},
        {"a = " + std::string(limit, '[') + std::string(limit, ']'), too_deep},
        {objects_over, too_deep},
        {"a = " + std::string(100000, '['), too_deep},
        {"a = " + std::string(100000, '{'), "expected '}' or a new field, found '{'"},
    };
    std::string long_path = "x";
    for (int i = 0; i < 100000; ++i) long_path += ".x";
    std::string path_at_limit = "x";  // 64 segments: the root and 63 objects below it
    for (std::size_t i = 1; i < limit; ++i) path_at_limit += ".x";
    const Case path_cases[] = {
        {path_at_limit + " = 1", ""},
        {path_at_limit + " = []", too_deep},
        {path_at_limit + ".x = 1", "the key '" + path_at_limit + ".x' nests deeper than the limit of 64 levels"},
        {long_path + " = 1", "the key '" + long_path + "' nests deeper than the limit of 64 levels"},
    };
    for (const Case& c : path_cases) {
        auto parsed = parse(c.text);
        if (c.error.empty()) {
            EXPECT_TRUE(parsed.has_value()) << parsed.error();
        } else {
            ASSERT_FALSE(parsed.has_value());
            EXPECT_EQ(parsed.error().message, c.error);
        }
    }
    for (const Case& c : cases) {
        auto parsed = parse(c.text);
        if (c.error.empty()) {
            EXPECT_TRUE(parsed.has_value()) << parsed.error();
        } else {
            ASSERT_FALSE(parsed.has_value()) << c.text.substr(0, 80);
            EXPECT_EQ(parsed.error().message, c.error);
        }
    }
    auto tight = HoconParser("a { b { c = 1 } }", ConfigOptions::defaults().with_nesting_limit(2)).parse();
    ASSERT_FALSE(tight.has_value());
    EXPECT_EQ(tight.error().render(), "line 1: objects and arrays nest deeper than the limit of 2 levels");
}

// Ten megabytes of broken text end in an error naming the line, without a crash.
TEST(Parser, HugeBrokenDocumentsFailWithALine) {
    const std::size_t size = 10u << 20;
    std::string fields;
    std::size_t lines = 0;
    while (fields.size() < size) {
        fields += "k" + std::to_string(lines) + " = [1, \"two\", { x = ${y} }]\n";
        ++lines;
    }
    const std::string last = std::to_string(lines + 1);
    struct Case {
        const char* name;
        std::string text;
        std::string error;
    };
    const Case cases[] = {
        {"UnclosedArrayAtTheEnd", fields + "b = [", "line " + last + ": expected ']' or a new element, found end of input"},
        {"InvalidUtf8AtTheEnd", fields + "b = \xFF", "line " + last + ": the text is not valid UTF-8"},
        {"UnterminatedTripleQuote", "a = \"\"\"" + fields, "line 1: unterminated triple-quoted string"},
        {"UnterminatedString", "a = 1\nb = \"" + std::string(size, 'x'), "line 2: unterminated quoted string"},
        {"UnbalancedClosers", fields + std::string(size, '}'), "line " + last + ": unbalanced '}': the document has no opening '{'"},
        {"OneLongUnquotedLine", "a = " + std::string(size, 'x') + " ?", "line 1: reserved character '?' is not allowed outside quotes"},
    };
    for (const Case& c : cases) {
        auto parsed = parse(c.text);
        ASSERT_FALSE(parsed.has_value()) << c.name;
        EXPECT_EQ(parsed.error().render(), c.error) << c.name;
    }
}

// A document of about a megabyte of every kind of field parses whole (its speed is the load
// benchmarks' to show).
TEST(Parser, MegabyteDocumentParses) {
    std::string text;
    for (int i = 0; text.size() < (1u << 20); ++i) {
        text += "key" + std::to_string(i) + " { name = \"value number " + std::to_string(i) +
                "\", list = [1, 2.5, true, null], ref = ${key0.name} tail, path.to.x = 3 }\n";
    }
    auto parsed = parse(text);
    ASSERT_TRUE(parsed.has_value()) << parsed.error();
    EXPECT_GT(object_in(parsed->root)->size(), 5000u);
}

}  // namespace
}  // namespace hocon
