// The JSON and Java properties readers.
#include <gtest/gtest.h>

#include <string>

#include "dump.hpp"
#include "hocon/parser.hpp"

namespace hocon {
namespace {

using testing::dump;

struct ReaderCase {
    const char* name;
    std::string input;
    std::string result;  // the tree, or "error: " and the rendering
};

std::string outcome(const std::expected<Document, Error>& parsed) {
    return parsed ? dump(parsed->root) : "error: " + parsed.error().render();
}

class Json : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(Json, Reads) {
    const ReaderCase& c = GetParam();
    EXPECT_EQ(outcome(parse_json(c.input, "x.json")), c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Readers, Json,
    ::testing::Values(
        ReaderCase{"Values", "{\"a\": [1, -2.5e3, true, false, null, \"x\\u00e9\"], \"b\": {}, \"a\": 0}",
                   "{a: #0; b: {}}"},
        ReaderCase{"DuplicateObjectsMerge", "{\"a\": [1, -2.5e3, true, false, null, \"x\\u00e9\"], \"o\": {\"p\": 1}, \"o\": {\"q\": 2}}",
                   "{a: [#1, #-2.5e3, true, false, null, \"x\xC3\xA9\"]; o: {p: #1; q: #2}}"},
        ReaderCase{"Whitespace", " \r\n\t{ \"a\" :\n 1 }\n ", "{a: #1}"},
        ReaderCase{"HoconLookingText", "{\"include\": \"${x}\", \"k.e.y\": \"// no\"}",
                   "{include: \"${x}\"; k.e.y: \"// no\"}"},
        ReaderCase{"TrailingComma", "{\"a\": 1,}", "error: x.json: line 1: expected a quoted key, found '}'"},
        ReaderCase{"Comment", "{\n# c\n}", "error: x.json: line 2: expected a quoted key, found '#'"},
        ReaderCase{"UnquotedKey", "{a: 1}", "error: x.json: line 1: expected a quoted key, found 'a'"},
        ReaderCase{"UnquotedValue", "{\"a\": foo}", "error: x.json: line 1: expected a JSON value, found 'f'"},
        ReaderCase{"LeadingZero", "{\"a\": 01}", "error: x.json: line 1: invalid number '01'"},
        ReaderCase{"BareFraction", "{\"a\": 1.}", "error: x.json: line 1: invalid number '1.'"},
        ReaderCase{"ArrayRoot", "[]", "error: x.json: line 1: the JSON root must be an object, found an array"},
        ReaderCase{"Empty", "", "error: x.json: line 1: expected '{' to begin the JSON document, found end of input"},
        ReaderCase{"TrailingText", "{}\n{}", "error: x.json: line 2: expected end of input after the JSON document, found '{'"},
        ReaderCase{"MissingColon", "{\"a\" 1}", "error: x.json: line 1: expected ':' after the key, found '1'"},
        ReaderCase{"UnclosedArray", "{\"a\": [1 2]}", "error: x.json: line 1: expected ',' or ']' after an array element, found '2'"},
        ReaderCase{"RawNewlineInString", "{\"a\": \"x\ny\"}",
                   "error: x.json: line 1: newline in a quoted string (write \\n, or use a triple-quoted string)"},
        ReaderCase{"InvalidUtf8", "{\"a\":\n\"\xF8\"}", "error: x.json: line 2: the text is not valid UTF-8"},
        ReaderCase{"TooDeep", "{\"a\":" + std::string(64, '[') + std::string(64, ']') + "}",
                   "error: x.json: line 1: objects and arrays nest deeper than the limit of 64 levels"},
        ReaderCase{"VeryDeep", "{\"a\":" + std::string(100000, '['),
                   "error: x.json: line 1: objects and arrays nest deeper than the limit of 64 levels"},
        ReaderCase{"AtDepthLimit", "{\"a\":" + std::string(63, '[') + std::string(63, ']') + "}",
                   "{a: " + std::string(63, '[') + std::string(63, ']') + "}"}),
    [](const ::testing::TestParamInfo<ReaderCase>& info) { return std::string(info.param.name); });

class Properties : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(Properties, Reads) {
    const ReaderCase& c = GetParam();
    EXPECT_EQ(outcome(parse_properties(c.input, "x.properties")), c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Readers, Properties,
    ::testing::Values(
        ReaderCase{"Separators", "a=1\nb : 2\nc 3\nd\ne =", "{a: \"1\"; b: \"2\"; c: \"3\"; d: \"\"; e: \"\"}"},
        ReaderCase{"ValuesAreAlwaysStrings", "n = 42\nt = true", "{n: \"42\"; t: \"true\"}"},
        ReaderCase{"Comments", "# one\n  ! two\n\n   \na = 1 # not a comment", "{a: \"1 # not a comment\"}"},
        ReaderCase{"CommentDoesNotContinue", "# c \\\nb = 1", "{b: \"1\"}"},
        ReaderCase{"Continuation", "a = one \\\n      two \\\r\n three\\\\\nb = 2",
                   "{a: \"one two three\\\"; b: \"2\"}"},
        ReaderCase{"Escapes", "k\\ e\\=y = v\\tal\\u00e9\\n\\q", "{k e=y: \"v\tal\xC3\xA9\n" "q\"}"},
        ReaderCase{"SurrogatePairEscape", "a = \\ud83d\\ude00", "{a: \"\xF0\x9F\x98\x80\"}"},
        ReaderCase{"LineEndings", "a=1\rb=2\r\nc=3", "{a: \"1\"; b: \"2\"; c: \"3\"}"},
        ReaderCase{"DottedKeysNest", "a.b = 1\na.c = 2\nd = 3", "{a: {b: \"1\"; c: \"2\"}; d: \"3\"}"},
        ReaderCase{"ObjectWinsOverValue", "a = hello\na.b = world\nc.d = x\nc = y",
                   "{a: {b: \"world\"}; c: {d: \"x\"}}"},
        ReaderCase{"EmptySegmentsKept", ". = x\na. = y", "{: {: \"x\"}; a: {: \"y\"}}"},
        ReaderCase{"LaterDuplicateWins", "a = 1\na = 2", "{a: \"2\"}"},
        ReaderCase{"Windows1252", "e = \x80\na = caf\xE9", "{a: \"caf\xC3\xA9\"; e: \"\xE2\x82\xAC\"}"},
        ReaderCase{"MalformedUnicodeEscape", "a = 1\nb = \\u00", "error: x.properties: line 2: malformed \\uxxxx escape in a value"},
        ReaderCase{"Empty", "", "{}"},
        ReaderCase{"DeepKey", "a" + std::string(64, '.') + " = 1",
                   "error: x.properties: line 1: the key has 65 dot-separated parts, deeper than the limit of 64 levels"}),
    [](const ::testing::TestParamInfo<ReaderCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace hocon
