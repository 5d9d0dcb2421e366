// Building and resolving configurations: merging, "+=", concatenation, substitutions with
// look-back, includes merged in place and relativised, environment fallback, number kinds,
// error messages, and the bounds that keep hostile documents from crashing or hanging.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "hocon/parser.hpp"
#include "hocon/resolve.hpp"
#include "value_text.hpp"

namespace hocon {
namespace {

using testing::json;

std::expected<Document, Error> parse(const std::string& text, std::optional<std::string> origin = std::nullopt) {
    return HoconParser(text, ConfigOptions::defaults(), std::move(origin)).parse();
}

// The resolved document as JSON, or "error: " and the rendered error.
std::string outcome(const std::expected<Value, Error>& value) {
    return value ? json(*value) : "error: " + value.error().render();
}

std::string resolve_text(const std::string& text, std::optional<std::string> origin = std::nullopt) {
    auto parsed = parse(text, std::move(origin));
    if (!parsed) return "parse error: " + parsed.error().render();
    return outcome(resolve(std::move(*parsed)));
}

// A scratch directory, the working directory while it lives, removed after the test.
class ScratchDirectory {
public:
    ScratchDirectory() : previous_(std::filesystem::current_path()) {
        char pattern[] = "/tmp/hocon-config-XXXXXX";
        if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
        std::filesystem::current_path(path_);
    }
    ~ScratchDirectory() {
        std::filesystem::current_path(previous_);
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    void write(const std::string& name, const std::string& text) const { std::ofstream(path_ / name) << text; }

private:
    std::filesystem::path previous_;
    std::filesystem::path path_;
};

struct Case {
    const char* name;
    const char* text;
    const char* expected;  // JSON, or "error: " and the rendered error
};

std::ostream& operator<<(std::ostream& out, const Case& c) { return out << c.name; }

class Resolves : public ::testing::TestWithParam<Case> {};

TEST_P(Resolves, ToExpectedDocument) {
    const Case& c = GetParam();
    EXPECT_EQ(resolve_text(c.text), c.expected) << c.text;
}

// The worked examples of the reference's sections on merging, concatenation, substitutions,
// self-references and "+=", with the cases around them that are easy to get wrong.
INSTANTIATE_TEST_SUITE_P(
    Merging, Resolves,
    ::testing::Values(
        Case{"DuplicateObjectsMerge", R"({ "foo" : { "a" : 42 }, "foo" : { "b" : 43 } })", R"({"foo":{"a":42,"b":43}})"},
        Case{"NullBetweenPreventsMerge", R"({ "foo" : { "a" : 42 }, "foo" : null, "foo" : { "b" : 43 } })",
             R"({"foo":{"b":43}})"},
        Case{"LaterPlainValueWins", "a = { b = 1 }, a = 2", R"({"a":2})"},
        Case{"MergeIsRecursive", "a { b { x = 1, y = 2 } }, a { b { x = 3 }, c = 4 }",
             R"({"a":{"b":{"x":3,"y":2},"c":4}})"},
        Case{"ArrayHidesEarlierObject", "a = { b = 1 }, a = [1], a = { c = 2 }", R"({"a":{"c":2}})"},
        Case{"PathKeysNest", "foo.bar.baz : 42", R"({"foo":{"bar":{"baz":42}}})"},
        Case{"PathKeysMerge", "a.x : 42, a.y : 43", R"({"a":{"x":42,"y":43}})"},
        Case{"PathKeyOverObject", "a = { b = { c = 1, d = 2 } }\na.b.c = 3\na.b = { e = 4 }",
             R"({"a":{"b":{"c":3,"d":2,"e":4}}})"},
        Case{"KeysAreAlwaysStrings", "a b c : 42, true : 1, 3 : 2, 3.14 : 3",
             R"({"3":{"14":3},"a b c":42,"true":1})"},
        Case{"PathKeyReplacesNull", "a = null, a.b = 1", R"({"a":{"b":1}})"},
        Case{"ManyFieldsUnderOneSubstitution", "x = ${y}\nx.a = 1\nx.b = 2\nx.c = 3\ny = { d = 4 }",
             R"({"x":{"a":1,"b":2,"c":3,"d":4},"y":{"d":4}})"},
        // A substitution that turns out not to be an object hides the objects below it.
        Case{"SubstitutedPlainValueBetweenObjects", "a = { x = 1 }\na = ${b}\na = { y = 2 }\nb = 5",
             R"({"a":{"y":2},"b":5})"},
        Case{"SubstitutedPlainValueUnderPathKeys", "a.b = 1, a = ${x}, a.c = 2, x = 3", R"({"a":{"c":2},"x":3})"},
        Case{"NestedPlainValueFromSubstitutionHides",
             "a = { x { p = 1 } }, a = ${c}, a = { x { q = 2 } }, c = { x = 5 }, d = ${a.x}",
             R"({"a":{"x":{"q":2}},"c":{"x":5},"d":{"q":2}})"}));

INSTANTIATE_TEST_SUITE_P(
    Concatenation, Resolves,
    ::testing::Values(
        Case{"WhitespaceBetweenIsKept", "a =  foo   bar\tbaz  ", R"({"a":"foo   bar\tbaz"})"},
        Case{"UnquotedEqualsQuoted", "a = foo bar, b = \"foo bar\"", R"({"a":"foo bar","b":"foo bar"})"},
        Case{"LiteralsBecomeText", "a = true false, b = null 1 2.50", R"({"a":"true false","b":"null 1 2.50"})"},
        Case{"SingleLiteralKeepsKind", "a = true, b = [ true ]", R"({"a":true,"b":[true]})"},
        Case{"NumbersKeepTheirLiteral", "a = 1e5 x, x = 1E5, b = ${x}px", R"({"a":"1e5 x","b":"1E5px","x":1e+05})"},
        Case{"ObjectsMergeByConcatenation", "a : { b : 1 } { c : 2 }", R"({"a":{"b":1,"c":2}})"},
        Case{"LaterObjectWins", "a : { b : 1 } { b : 2 }", R"({"a":{"b":2}})"},
        Case{"ObjectsSideBySideAreOneObject", "a : { b : 1 } { c : ${a.b}, d += 1 } { d += 2 }",
             R"({"a":{"b":1,"c":1,"d":[1,2]}})"},
        Case{"ArraysConcatenate", "a : [ 1, 2 ] [ 3, 4 ]", R"({"a":[1,2,3,4]})"},
        Case{"ArrayViaSelfReference", "a : [ 1, 2 ]\na : ${a} [ 3, 4 ]", R"({"a":[1,2,3,4]})"},
        Case{"Inheritance", "data-center-generic = { cluster-size = 6 }\n"
                            "data-center-east = ${data-center-generic} { name = \"east\" }",
             R"({"data-center-east":{"cluster-size":6,"name":"east"},"data-center-generic":{"cluster-size":6}})"},
        Case{"AddToPath", "path = [ /bin ]\npath = ${path} [ /usr/bin ]", R"({"path":["/bin","/usr/bin"]})"},
        Case{"ArrayElementsWithoutCommas", "a = [ 1 2 3 4 ], b = [ 1\n 2\n 3\n 4 ]",
             R"({"a":["1 2 3 4"],"b":[1,2,3,4]})"},
        Case{"NestedArrays", "a = [ [ 1, 2 ] [ 3, 4 ] ], b = [ [ 1, 2 ]\n [ 3, 4 ] ]",
             R"({"a":[[1,2,3,4]],"b":[[1,2],[3,4]]})"},
        Case{"SubstitutionsInElements",
             "a = [ This is an unquoted string my name is ${name}, Hello ${world} ], name = Bob, world = Earth",
             R"({"a":["This is an unquoted string my name is Bob","Hello Earth"],"name":"Bob","world":"Earth"})"},
        Case{"SubstitutedContainersIgnoreWhitespace", "a = [ ${x} ${y}, ${o} ${p} ], x = [1], y = [2], o = {a:1}, p = {b:2}",
             R"({"a":[[1,2],{"a":1,"b":2}],"o":{"a":1},"p":{"b":2},"x":[1],"y":[2]})"},
        Case{"TextAroundSubstitution", "animal.favorite = dog\nkey : ${animal.favorite} is my favorite animal\n"
                                       "key2 : ${animal.favorite}\" is my favorite animal\"",
             R"({"animal":{"favorite":"dog"},"key":"dog is my favorite animal","key2":"dog is my favorite animal"})"},
        Case{"SubstitutedSimpleValuesBecomeText", "n = 4.5, t = true, z = null, s = ${n}/${t}/${z}",
             R"({"n":4.5,"s":"4.5/true/null","t":true,"z":null})"},
        Case{"UndefinedOptionalIsEmptyText", "a = \"<\"${?nope}\">\", b = ${?nope} x", R"({"a":"<>","b":" x"})"},
        Case{"UndefinedOptionalVanishesBesideContainers", "a = ${?nope} [1] ${?nope}, b = {x:1} ${?nope}",
             R"({"a":[1],"b":{"x":1}})"},
        Case{"LoneDefinedPartKeepsItsKind", "y = 42, a = ${?nope}${y}", R"({"a":42,"y":42})"},
        Case{"StringBesideSubstitutedObject", "a = abc ${x}, x = { y = 1 }",
             "error: line 1: cannot concatenate a string with an object"},
        Case{"QuotedWhitespaceBetweenObjects", "a = ${x} \" \" ${x}, x = { y = 1 }",
             "error: line 1: cannot concatenate an object with a string"},
        Case{"ArrayBesideObject", "x = [1]\na = ${x} { b = 1 }", "error: line 2: cannot concatenate an array with an object"}));

INSTANTIATE_TEST_SUITE_P(
    Substitution, Resolves,
    ::testing::Values(
        Case{"LooksForward", "a = ${b}, b = 1", R"({"a":1,"b":1})"},
        Case{"SeesTheMergedValue", "a = ${b}, b = { x = 1 }, b = { y = 2 }", R"({"a":{"x":1,"y":2},"b":{"x":1,"y":2}})"},
        Case{"KeepsKind", "a = ${n}, b = ${f}, c = ${o}, n = -3, f = 0.5, o = [1]",
             R"({"a":-3,"b":0.5,"c":[1],"f":0.5,"n":-3,"o":[1]})"},
        Case{"QuotedPathSegments", "\"a.b\" = 1, c = ${\"a.b\"}, d = ${?a.b}", R"({"a.b":1,"c":1})"},
        Case{"OptionalUndefinedRemovesField", "foo : ${?bar}, baz : ${?bar}${?qux}", R"({})"},
        Case{"OptionalUndefinedKeepsEarlierValue", "a = 1, a = ${?nope}, b = { x = 1 }, b = ${?nope}",
             R"({"a":1,"b":{"x":1}})"},
        Case{"OptionalUndefinedVanishesFromArray", "a = [ 1, ${?nope}, 2 ]", R"({"a":[1,2]})"},
        Case{"OptionalUndefinedInNestedObject", "o { a = ${?nope}, b = 1 }", R"({"o":{"b":1}})"},
        Case{"ObjectReferringIntoItself", "bar : { foo : 42, baz : ${bar.foo} }", R"({"bar":{"baz":42,"foo":42}})"},
        Case{"ObjectReferringIntoItselfLooksForward", "bar : { foo : 42, baz : ${bar.foo} }\nbar : { foo : 43 }",
             R"({"bar":{"baz":43,"foo":43}})"},
        Case{"MutuallyReferringObjects",
             "bar : { a : ${foo.d}, b : 1 }\nbar.b = 3\nfoo : { c : ${bar.b}, d : 2 }\nfoo.d = 4",
             R"({"bar":{"a":4,"b":3},"foo":{"c":3,"d":4}})"},
        Case{"ChainThroughObjects", "a = ${b}\nb = ${c}\nc = { d = ${e} }\ne = end",
             R"({"a":{"d":"end"},"b":{"d":"end"},"c":{"d":"end"},"e":"end"})"},
        Case{"PathThroughPlainValueIsUndefined", "a = 1, b = ${?a.x}", R"({"a":1})"},
        Case{"PathThroughNullIsUndefined", "a = null, b = ${a.x}",
             "error: line 1: could not resolve substitution to a value: ${a.x}"},
        Case{"Undefined", "a = 1\nb = foo ${c.d} bar", "error: line 2: could not resolve substitution to a value: ${c.d}"},
        Case{"UndefinedInArrayOfObjects", "a = [ { b = ${missing} } ]",
             "error: line 1: could not resolve substitution to a value: ${missing}"}));

INSTANTIATE_TEST_SUITE_P(
    SelfReference, Resolves,
    ::testing::Values(
        Case{"AppendToString", "path : \"a:b:c\"\npath : ${path}\":d\"", R"({"path":"a:b:c:d"})"},
        Case{"RefersToOverriddenValue", "foo : { a : 1 }\nfoo : ${foo}", R"({"foo":{"a":1}})"},
        Case{"WithoutEarlierValue", "foo : ${foo}", "error: line 1: could not resolve substitution to a value: ${foo}"},
        Case{"EarlierValueComesLater", "foo : ${foo}\nfoo : { a : 1 }",
             "error: line 1: could not resolve substitution to a value: ${foo}"},
        Case{"OptionalWithoutEarlierValueDisappears", "foo : ${?foo}", R"({})"},
        Case{"OptionalInConcatenation", "a = ${?a}foo", R"({"a":"foo"})"},
        Case{"HiddenSubstitutionIsNeverEvaluated", "foo : ${does-not-exist}\nfoo : 42", R"({"foo":42})"},
        Case{"HiddenSelfReference", "foo : ${foo}, foo : 42", R"({"foo":42})"},
        Case{"LooksBelowThroughPath", "foo : { a : { c : 1 } }\nfoo : ${foo.a}\nfoo : { a : 2 }",
             R"({"foo":{"a":2,"c":1}})"},
        Case{"RepeatedSelfReferences", "a = 1, a = ${a}x, a = ${a}y, a = ${a}z", R"({"a":"1xyz"})"},
        Case{"SelfReferenceUsedTwice", "x = 1\nx = ${x}\" \"${x}", R"({"x":"1 1"})"},
        Case{"OthersSeeFinalValue", "a = [1]\na = ${a} [2]\nb = ${a}", R"({"a":[1,2],"b":[1,2]})"},
        Case{"ReopenedObject", "o { a = 1 }\no { a = ${o.a}0 }", R"({"o":{"a":"10"}})"},
        Case{"SubstitutionOverSubstitution", "j : ${c}, j : ${b}, b : { y : 2 }, c : { z : 3 }",
             R"({"b":{"y":2},"c":{"z":3},"j":{"y":2,"z":3}})"},
        Case{"ObjectContainingItself", "a : { b : ${a} }",
             "error: line 1: could not resolve substitution ${a}: it refers to an object or array that contains it"},
        Case{"ArrayContainingItself", "a : 1, a : [ ${a} ]",
             "error: line 1: could not resolve substitution ${a}: it refers to an object or array that contains it"},
        Case{"TwoFieldCycle", "bar : ${foo}\nfoo : ${bar}",
             "error: line 2: could not resolve substitution ${bar}: it is part of a cycle ${foo} -> ${bar} -> ${foo}"},
        Case{"ThreeFieldCycle", "a : ${b}\nb : ${c}\nc : ${a}",
             "error: line 3: could not resolve substitution ${a}: it is part of a cycle ${b} -> ${c} -> ${a} -> ${b}"},
        Case{"OptionalCycleIsUndefined", "a : ${?b}\nb : ${?a}", R"({})"},
        // A field in an object that a substitution separates from the older objects of its
        // parent still looks back at its own earlier value.
        Case{"AppendInObjectAboveSubstitution", "o { a += 1 }\no = ${p}\no { a += 2 }\np = { a = [0] }",
             R"({"o":{"a":[0,2]},"p":{"a":[0]}})"},
        Case{"SelfReferenceInObjectAboveSubstitution", "o { x { a = 1 } }\no = ${p}\no { x { a = ${o.x.a}b } }\np = {}",
             R"({"o":{"x":{"a":"1b"}},"p":{}})"},
        Case{"SelfReferenceThroughOtherFieldAboveSubstitution", "o { a = 1 }\no = ${p}\no { a = ${q} }\nq = ${o.a}\np = {}",
             R"({"o":{"a":1},"p":{},"q":1})"}));

INSTANTIATE_TEST_SUITE_P(
    Append, Resolves,
    ::testing::Values(
        Case{"FirstMention", "a += b", R"({"a":["b"]})"},
        Case{"ToArray", "a = [x]\na += foo bar\na += [1]", R"({"a":["x","foo bar",[1]]})"},
        Case{"PathKey", "a.b.c = [1], a.b.c += 2", R"({"a":{"b":{"c":[1,2]}}})"},
        Case{"InsideObject", "x { a += 1, a += 2, a += 3 }", R"({"x":{"a":[1,2,3]}})"},
        Case{"WithSelfReferences", "a = [0, 1, 2]\na += 3\na += 4\na = ${a} [ 5, 6 ]\na = [-2, -1] ${a}\na += ${a}",
             R"({"a":[-2,-1,0,1,2,3,4,5,6,[-2,-1,0,1,2,3,4,5,6]]})"},
        Case{"OptionalElementVanishes", "a += ${?nope}, a += 1", R"({"a":[1]})"},
        Case{"ThroughSubstitutedParent", "x = ${y}, x.a += 1, x.a += 2, y = { a = [0] }",
             R"({"x":{"a":[0,1,2]},"y":{"a":[0]}})"},
        Case{"ToNumber", "a = 1, a += 2", "error: line 1: '+=' appends to an array, but the field holds a number"},
        Case{"ToObject", "a { x = 1 }\na += 2", "error: line 2: '+=' appends to an array, but the field holds an object"}));

INSTANTIATE_TEST_SUITE_P(
    Numbers, Resolves,
    ::testing::Values(
        Case{"Integers", "a = 0, b = 18446744073709551615, c = -1, d = -9223372036854775808",
             R"({"a":0,"b":18446744073709551615,"c":-1,"d":-9223372036854775808})"},
        Case{"Floats", "a = 1.0, b = 1e2, c = -0.5, d = 5e-1", R"({"a":1.0,"b":100.0,"c":-0.5,"d":0.5})"},
        Case{"OutOfIntegerRange", "a = 18446744073709551616, b = -9223372036854775809",
             R"({"a":18446744073709551616.0,"b":-9223372036854775808.0})"},
        Case{"NegativeZero", "a = -0, b = 0", R"({"a":-0.0,"b":0})"},
        Case{"OverflowIsAnError", "a = 1\nb = 1e999", "error: line 2: the number 1e999 is out of range"},
        // Fields are resolved in the order written, not in key order, with or without a
        // substitution anywhere in the document.
        Case{"FirstOverflowWrittenIsReported", "z = 1e999\na = { b = [1, -1e999] }",
             "error: line 1: the number 1e999 is out of range"},
        Case{"FirstOverflowWrittenIsReportedBesideASubstitution", "z = 1e999\na = { b = [1, -1e999] }\nc = ${a}",
             "error: line 1: the number 1e999 is out of range"},
        Case{"OverflowInTextIsText", "a = 1e999 x", R"({"a":"1e999 x"})"}));

TEST(ResolvedNumbers, KindsFollowTheLiteral) {
    auto parsed = parse("u = 42, i = -42, f = 42.0, z = -0");
    ASSERT_TRUE(parsed.has_value());
    auto value = resolve(std::move(*parsed));
    ASSERT_TRUE(value.has_value()) << value.error();
    const Value::Object& root = *value->as_object();
    EXPECT_EQ(*root.at("u").as_number(), Number(std::uint64_t{42}));
    EXPECT_EQ(*root.at("i").as_number(), Number(std::int64_t{-42}));
    EXPECT_EQ(*root.at("f").as_number(), Number(42.0));
    const double z = std::get<double>(*root.at("z").as_number());
    EXPECT_TRUE(z == 0.0 && std::signbit(z));
}

// Either outcome is allowed for two fields that override each other with references to each
// other, but both must end up with the same value.
TEST(Substitution, MutualOverridesAgree) {
    auto parsed = parse("a : 1\nb : 2\na : ${b}\nb : ${a}");
    ASSERT_TRUE(parsed.has_value());
    auto value = resolve(std::move(*parsed));
    ASSERT_TRUE(value.has_value()) << value.error();
    EXPECT_EQ(value->as_object()->at("a"), value->as_object()->at("b"));
}

TEST(Errors, NameTheFileAndLine) {
    EXPECT_EQ(resolve_text("a = 1\n\nb = ${nope}", "app.conf"),
              "error: app.conf: line 3: could not resolve substitution to a value: ${nope}");
}

// ---- includes: what an include statement loads joins the object where it stands

// Writes the texts as included-0.conf, included-1.conf, ... in the working directory, and
// writes each field "include_N = null" of a text as an include statement of the N-th.
std::string with_includes(const std::string& text, const std::vector<std::string>& included,
                          const ScratchDirectory& dir) {
    auto statements = [](std::string t) {
        for (std::size_t at = t.find("include_"); at != std::string::npos; at = t.find("include_", at)) {
            const std::size_t end = t.find(" = null", at);
            const std::string n = t.substr(at + 8, end - at - 8);
            t.replace(at, end + 7 - at, "include \"included-" + n + ".conf\"");
        }
        return t;
    };
    for (std::size_t i = 0; i < included.size(); ++i)
        dir.write("included-" + std::to_string(i) + ".conf", statements(included[i]));
    return statements(text);
}

struct IncludeCase {
    const char* name;
    const char* text;
    std::vector<std::string> included;
    const char* expected;
};

std::ostream& operator<<(std::ostream& out, const IncludeCase& c) { return out << c.name; }

class IncludedFields : public ::testing::TestWithParam<IncludeCase> {};

TEST_P(IncludedFields, MergeInPlaceAndRelativise) {
    const IncludeCase& c = GetParam();
    ScratchDirectory dir;
    EXPECT_EQ(resolve_text(with_includes(c.text, c.included, dir)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Hocon, IncludedFields,
    ::testing::Values(
        IncludeCase{"FixedUpUnderItsObject", "a : { include_0 = null }", {"{ x : 10, y : ${x} }"},
                    R"({"a":{"x":10,"y":10}})"},
        IncludeCase{"FixedUpPathSeesLaterDefinition", "a : { include_0 = null }\na : { x : 42 }", {"{ x : 10, y : ${x} }"},
                    R"({"a":{"x":42,"y":42}})"},
        IncludeCase{"FallsBackToRootPath", "top = T\na { include_0 = null }", {"z = ${top}, w = ${?nope}"},
                    R"({"a":{"z":"T"},"top":"T"})"},
        IncludeCase{"PrefixedPathComesFirst", "x = outer\na { include_0 = null }", {"x = inner, y = ${x}"},
                    R"({"a":{"x":"inner","y":"inner"},"x":"outer"})"},
        // A field that refers to itself with nothing earlier under the include's object takes
        // the path as written from the root.
        IncludeCase{"SelfReferenceFallsBackToRootPath", "x = 5, y = w\na { include_0 = null }", {"x = ${x}, y = ${y}z"},
                    R"({"a":{"x":5,"y":"wz"},"x":5,"y":"w"})"},
        IncludeCase{"KeysMergeWhereTheStatementStands", "a = 1, b = { p = 1 }, include_0 = null, c = 3",
                    {"a = 2, b = { q = 2 }, c = 2"}, R"({"a":2,"b":{"p":1,"q":2},"c":3})"},
        IncludeCase{"AtTheRootNothingIsPrefixed", "include_0 = null\nx = 3", {"x = 1, y = ${x}"},
                    R"({"x":3,"y":3})"},
        IncludeCase{"AppendAppliesToIncludingField", "a { list = [0], include_0 = null, list += 2 }", {"list += 1"},
                    R"({"a":{"list":[0,1,2]}})"},
        IncludeCase{"NestedIncludesComposePrefixes", "top = T\na { include_0 = null }",
                    {"b { include_1 = null }", "x = 1, y = ${x}, z = ${top}"},
                    R"({"a":{"b":{"x":1,"y":1,"z":"T"}},"top":"T"})"},
        IncludeCase{"NothingLoaded", "a = 1\ninclude_7 = null", {}, R"({"a":1})"},
        IncludeCase{"ErrorsPointIntoTheIncludedText", "a { include_0 = null }", {"x = 1\ny = ${nope}"},
                    "error: included-0.conf: line 2: could not resolve substitution to a value: ${nope}"}));

// Included files inside nested objects can pile up more nesting than one text may hold: each
// file here opens five objects and includes the next.
TEST(Bounds, NestingAcrossIncludesIsBounded) {
    auto chain = [](std::size_t files, const ScratchDirectory& dir) {
        for (std::size_t i = 0; i < files; ++i) {
            std::string text = "a { b { c { d { e {\n";
            text += i + 1 < files ? "include \"level" + std::to_string(i + 1) + ".conf\"\n" : "leaf = 1\n";
            dir.write("level" + std::to_string(i) + ".conf", text + "} } } } }\n");
        }
        return std::string("include \"level0.conf\"");
    };
    {
        ScratchDirectory dir;
        EXPECT_EQ(resolve_text(chain(40, dir)).substr(0, 22), R"({"a":{"b":{"c":{"d":{")");
    }
    {
        ScratchDirectory dir;
        const std::string result = resolve_text(chain(60, dir));
        EXPECT_TRUE(result.ends_with("objects and arrays nest deeper than the limit of 256 levels")) << result;
    }
}

// ---- the environment

class Environment : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("HOCON_RESOLVE_TEST_TEXT", "from env", 1);
        setenv("HOCON_RESOLVE_TEST_NUMBER", "42", 1);
        setenv("hocon_resolve_test.dotted", "deep", 1);
        setenv("HOCON_RESOLVE_TEST_BAD", "\xff", 1);
    }
    void TearDown() override {
        for (const char* name : {"HOCON_RESOLVE_TEST_TEXT", "HOCON_RESOLVE_TEST_NUMBER", "hocon_resolve_test.dotted",
                                 "HOCON_RESOLVE_TEST_BAD"})
            unsetenv(name);
    }
};

TEST_F(Environment, FallbackForUndefinedSubstitutions) {
    const Case cases[] = {
        {"Used", "a = ${HOCON_RESOLVE_TEST_TEXT}", R"({"a":"from env"})"},
        {"AlwaysAString", "a = ${HOCON_RESOLVE_TEST_NUMBER}", R"({"a":"42"})"},
        {"InConcatenation", "a = ${?HOCON_RESOLVE_TEST_TEXT}/x", R"({"a":"from env/x"})"},
        {"DocumentWins", "HOCON_RESOLVE_TEST_TEXT = mine, a = ${HOCON_RESOLVE_TEST_TEXT}",
         R"({"HOCON_RESOLVE_TEST_TEXT":"mine","a":"mine"})"},
        {"NullBlocksIt", "HOCON_RESOLVE_TEST_TEXT = null, a = ${HOCON_RESOLVE_TEST_TEXT}",
         R"({"HOCON_RESOLVE_TEST_TEXT":null,"a":null})"},
        {"DottedName", "a = ${hocon_resolve_test.dotted}", R"({"a":"deep"})"},
        {"SelfReferenceWithoutEarlierValue", "HOCON_RESOLVE_TEST_TEXT = ${HOCON_RESOLVE_TEST_TEXT}/x",
         R"({"HOCON_RESOLVE_TEST_TEXT":"from env/x"})"},
        {"SelfReferenceWithEarlierValue", "HOCON_RESOLVE_TEST_TEXT = x, HOCON_RESOLVE_TEST_TEXT = ${HOCON_RESOLVE_TEST_TEXT}/x",
         R"({"HOCON_RESOLVE_TEST_TEXT":"x/x"})"},
        {"NotForAnObjectContainingIt", "HOCON_RESOLVE_TEST_TEXT { a = ${HOCON_RESOLVE_TEST_TEXT} }",
         "error: line 1: could not resolve substitution ${HOCON_RESOLVE_TEST_TEXT}: it refers to an object or array that contains it"},
        {"NotUtf8", "a = ${HOCON_RESOLVE_TEST_BAD}",
         "error: line 1: the environment variable HOCON_RESOLVE_TEST_BAD is not valid UTF-8"},
    };
    for (const Case& c : cases) EXPECT_EQ(resolve_text(c.text), c.expected) << c.name;
}

TEST_F(Environment, FallbackUsesThePathAsWrittenInIncludedText) {
    ScratchDirectory dir;
    EXPECT_EQ(resolve_text(with_includes("a { include_0 = null }", {"v = ${HOCON_RESOLVE_TEST_TEXT}"}, dir)),
              R"({"a":{"v":"from env"}})");
}

TEST_F(Environment, BaseLayerWhenSwitchedOn) {
    auto root = parse("HOCON_RESOLVE_TEST_NUMBER = 7, hocon_resolve_test.other = x");
    ASSERT_TRUE(root.has_value());
    auto value = resolve(std::move(*root), ConfigOptions::create(true, {}));
    ASSERT_TRUE(value.has_value()) << value.error();
    const Value::Object& members = *value->as_object();
    EXPECT_EQ(json(members.at("HOCON_RESOLVE_TEST_TEXT")), R"("from env")");
    EXPECT_EQ(json(members.at("HOCON_RESOLVE_TEST_NUMBER")), "7");
    EXPECT_EQ(json(members.at("hocon_resolve_test")), R"({"dotted":"deep","other":"x"})");
    EXPECT_EQ(members.count("HOCON_RESOLVE_TEST_BAD"), 0u);

    auto without = parse("a = 1");
    ASSERT_TRUE(without.has_value());
    EXPECT_EQ(outcome(resolve(std::move(*without))), R"({"a":1})");
}

// ---- bounds: hostile documents end in an error

std::string numbered(const char* pattern_before, const char* pattern_after, int count, int offset = 1) {
    std::string out;
    for (int i = 0; i < count; ++i)
        out += pattern_before + std::to_string(i) + pattern_after + std::to_string(i + offset) + "}\n";
    return out;
}

TEST(Bounds, HostileDocumentsFailCleanly) {
    std::string laughs = "l0 = [x, x, x, x, x, x, x, x, x, x]\n";
    for (int i = 1; i < 12; ++i) {
        const std::string prev = "${l" + std::to_string(i - 1) + "}";
        laughs += "l" + std::to_string(i) + " = [";
        for (int j = 0; j < 10; ++j) laughs += (j ? ", " : "") + prev;
        laughs += "]\n";
    }
    std::string deep_values = "v0 = 1\n";
    for (int i = 1; i < 400; ++i) deep_values += "v" + std::to_string(i) + " = [${v" + std::to_string(i - 1) + "}]\n";
    std::string self_chain = "a = [0]\n";
    for (int i = 0; i < 2000; ++i) self_chain += "a = ${a} [" + std::to_string(i) + "]\n";
    std::string long_cycle = numbered("a", " = ${a", 3000);
    long_cycle += "a3000 = ${a0}\n";

    struct Bound {
        const char* name;
        std::string text;
        std::string message;
    };
    const Bound cases[] = {
        {"SubstitutionChain", numbered("a", " = ${a", 2000) + "a2000 = 1",
         "substitutions and nested values go deeper than the limit of 512 steps"},
        {"SelfReferenceChain", self_chain, "substitutions and nested values go deeper than the limit of 512 steps"},
        {"LongCycle", long_cycle, "substitutions and nested values go deeper than the limit of 512 steps"},
        {"ExponentialCopies", laughs, "the resolved configuration grows beyond 33554432 bytes"},
        {"DeepValuesBySubstitution", deep_values, "the resolved value nests deeper than the limit of 256 levels"},
    };
    for (const Bound& c : cases) {
        std::string result = resolve_text(c.text);
        EXPECT_TRUE(result.starts_with("error: ") && result.ends_with(c.message)) << c.name << ": " << result;
    }
}

// a0 = first, then each aN is a(N-1) written twice with `between` between the two.
std::string doubling(const std::string& first, const std::string& between, int levels) {
    std::string out = "a0 = " + first + "\n";
    for (int i = 1; i <= levels; ++i) {
        const std::string previous = "${a" + std::to_string(i - 1) + "}";
        out += "a" + std::to_string(i) + " = " + previous + between + previous + "\n";
    }
    return out;
}

// What resolution makes is counted in bytes, text included: 32 MiB for a small document, or
// 16 times its own tree measured the same way.
TEST(Bounds, ResolvedBytesAreBudgeted) {
    const std::string mebibyte(std::size_t{1} << 20, 'x');
    std::string references = "s = " + mebibyte + "\n";
    for (int i = 0; i < 40; ++i) references += "r" + std::to_string(i) + " = ${s}\n";
    const struct {
        const char* name;
        std::string text;
        std::string error;
    } over[] = {
        // A 64 MiB string from 28 lines: the concatenation that passes the budget is named.
        {"StringDoubling", doubling("x", "", 28), "line 26: the resolved configuration grows beyond 33554432 bytes"},
        {"ArrayDoubling", doubling("[x]", " ", 20), "line 20: the resolved configuration grows beyond 33554432 bytes"},
        // Forty values, but forty copies of a mebibyte in the finished document.
        {"LongStringReferencedOften", references, "the resolved configuration grows beyond 33554432 bytes"},
    };
    for (const auto& c : over) {
        auto parsed = parse(c.text);
        ASSERT_TRUE(parsed.has_value()) << c.name;
        auto resolved = resolve(std::move(*parsed));
        ASSERT_FALSE(resolved.has_value()) << c.name;
        EXPECT_EQ(resolved.error().render(), c.error) << c.name;
    }

    // Within the floor: a 4 MiB string doubled from one letter.
    auto within = parse(doubling("x", "", 22));
    ASSERT_TRUE(within.has_value());
    auto doubled = resolve(std::move(*within));
    ASSERT_TRUE(doubled.has_value()) << doubled.error();
    EXPECT_EQ(doubled->as_object()->at("a22").as_string()->size(), std::size_t{1} << 22);

    // Above the floor but within 16 times the document: a 3 MiB string referenced ten times.
    std::string large = "s = " + std::string(std::size_t{3} << 20, 'y') + "\n";
    for (int i = 0; i < 10; ++i) large += "r" + std::to_string(i) + " = ${s}\n";
    auto large_parsed = parse(large);
    ASSERT_TRUE(large_parsed.has_value());
    auto large_resolved = resolve(std::move(*large_parsed));
    ASSERT_TRUE(large_resolved.has_value()) << large_resolved.error();
    EXPECT_EQ(large_resolved->as_object()->size(), 11u);
}

TEST(Bounds, ChainsWithinTheBoundResolve) {
    EXPECT_EQ(resolve_text(numbered("a", " = ${a", 400) + "a400 = end").substr(0, 14), R"({"a0":"end","a)");
}

// Many "+=" on one key and many fields on one key resolve without nesting one step in the
// next (which would reach the bound on resolution steps).
TEST(Bounds, LongRunsOfDuplicateFieldsStayLinear) {
    std::string appends, merges = "x = ${y}\ny = {}\n";
    for (int i = 0; i < 20000; ++i) {
        appends += "a += " + std::to_string(i) + "\n";
        merges += "x.f" + std::to_string(i) + " = " + std::to_string(i) + "\n";
    }
    auto parsed = parse(appends);
    ASSERT_TRUE(parsed.has_value());
    auto value = resolve(std::move(*parsed));
    ASSERT_TRUE(value.has_value()) << value.error();
    const Value::Array& items = *value->as_object()->at("a").as_array();
    ASSERT_EQ(items.size(), 20000u);
    EXPECT_EQ(items.back(), Value(Number(std::uint64_t{19999})));

    auto merged = parse(merges);
    ASSERT_TRUE(merged.has_value());
    auto merged_value = resolve(std::move(*merged));
    ASSERT_TRUE(merged_value.has_value()) << merged_value.error();
    EXPECT_EQ(merged_value->as_object()->at("x").as_object()->size(), 20000u);
}

// ---- merging as objects are read

TEST(Merging, DuplicateAndPathKeys) {
    struct Case {
        const char* text;
        const char* json;
    };
    const Case cases[] = {
        {"b = 1, a = [x, \"y\", 2.5, -3, true, null], c { z = {} }", R"({"a":["x","y",2.5,-3,true,null],"b":1,"c":{"z":{}}})"},
        {"{ \"B\" : 1, a : 2 }  # braced, keys in byte order", R"({"B":1,"a":2})"},
        {"", "{}"},
        {"big = 18446744073709551616, small = -0, max = 18446744073709551615", R"({"big":18446744073709551616.0,"max":18446744073709551615,"small":-0.0})"},
        // Duplicate keys: objects merge, anything else hides what came before.
        {"a { x = 1 }\na { y = 2 }", R"({"a":{"x":1,"y":2}})"},
        {"a { x = 1 }\na = 5\na { y = 2 }", R"({"a":{"y":2}})"},
        {"a = [1]\na = [2]", R"({"a":[2]})"},
        {"a { x { p = 1 } }\na { x = null }", R"({"a":{"x":null}})"},
        {"r { a { x = 1 } }\nr { a = 5, a { y = 2 } }", R"({"r":{"a":{"x":1,"y":2}}})"},
        // Path keys nest, and merge like the objects they stand for.
        {"a.b.c = 1\na.b.d = 2\na { e = 3 }", R"({"a":{"b":{"c":1,"d":2},"e":3}})"},
        {"a = 1\na.b = 2", R"({"a":{"b":2}})"},
        {"a.b = 2\na = 1", R"({"a":1})"},
        {"\"a.b\" = 1, a.\"b.c\" = 2", R"({"a":{"b.c":2},"a.b":1})"},
        {"a b . c = 1", R"({"a b ":{" c":1}})"},
        // Concatenations of scalars join their texts as written, whitespace between them kept.
        {"a = foo  bar 1.50 true null", R"({"a":"foo  bar 1.50 true null"})"},
        {"a = \"x\"\"y\" 1e5", R"({"a":"xy 1e5"})"},
        {"a = [one two, 3]", R"({"a":["one two",3]})"},
        {"a { x = 1 }\na = p q", R"({"a":"p q"})"},
        {"a = \"\"\"multi\nline\"\"\" x", "{\"a\":\"multi\\nline x\"}"},
    };
    for (const Case& c : cases) EXPECT_EQ(resolve_text(c.text), c.json) << c.text;
}

// Keys in byte order however they begin: sharing a long start, one a prefix of another (by a
// zero byte too), bytes above 0x7F; and keys written again still merge when they share a start.
TEST(Merging, OrdersKeysByTheirBytes) {
    struct Case {
        const char* text;
        const char* json;
    };
    const Case cases[] = {
        {"abcdefghijklmnopq2 = 1, abcdefghijklmnopq1 = 2, abcdefghijklmnop = 3, abcdefgh = 4, \"\" = 5",
         R"({"":5,"abcdefgh":4,"abcdefghijklmnop":3,"abcdefghijklmnopq1":2,"abcdefghijklmnopq2":1})"},
        {"\"a\\u0000\" = 1, a = 2, \"a\\u0000\\u0000\" = 3, \"a\\u0001\" = 4",
         R"({"a":2,"a\u0000":1,"a\u0000\u0000":3,"a\u0001":4})"},
        {"\xC3\xA9 = 1, z = 2, \"\\u007f\" = 3, Z = 4", "{\"Z\":4,\"z\":2,\"\x7F\":3,\"\xC3\xA9\":1}"},
        {"abcdefghijklmnopqrst { x = 1 }, abcdefghijklmnopqrsu = 0, abcdefghijklmnopqrst { y = 2 }",
         R"({"abcdefghijklmnopqrst":{"x":1,"y":2},"abcdefghijklmnopqrsu":0})"},
        {"abcdefghijklmnop = 1, abcdefghijklmnopq = 2, abcdefghijklmnop = 3", R"({"abcdefghijklmnop":3,"abcdefghijklmnopq":2})"},
    };
    for (const Case& c : cases) EXPECT_EQ(resolve_text(c.text), c.json) << c.text;
    // Enough keys, most of them alike in their first sixteen bytes, that the sort partitions;
    // written in order, the same keys give the same object.
    std::vector<std::string> keys;
    for (int i = 0; i < 3000; ++i) keys.push_back((i % 3 ? "shared_start_of_key_" : "k") + std::to_string(i * 7919 % 3001));
    std::string text;
    for (const std::string& key : keys) text += key + " = " + std::to_string(key.size()) + "\n";
    std::sort(keys.begin(), keys.end());
    std::string sorted;
    for (const std::string& key : keys) sorted += key + " = " + std::to_string(key.size()) + "\n";
    EXPECT_EQ(resolve_text(text), resolve_text(sorted));
}

// Objects side by side at one depth, each larger or smaller than the one before, reuse what the
// read holds for their fields; one of them writes a key twice and one a path key, so it merges.
TEST(Merging, ObjectsOfManySizesAtOneDepth) {
    std::string text;
    for (int size : {20, 3, 130, 0, 49, 16, 300, 1}) {
        text.append("o").append(std::to_string(size)).append(" {\n");
        for (int i = size; i-- > 0;)
            text.append("k").append(std::to_string(i)).append(" = ").append(std::to_string(size * 1000 + i)).append("\n");
        if (size == 130) text += "k7 { x = 1 }\nk7.y = 2\n";
        text += "}\n";
    }
    auto parsed = parse(text);
    ASSERT_TRUE(parsed.has_value());
    auto value = resolve(std::move(*parsed));
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->as_object()->at("o300").as_object()->size(), 300u);
    EXPECT_EQ(json(value->as_object()->at("o130").as_object()->at("k7")), R"({"x":1,"y":2})");
}

// Literals that are numbers, and runs of digits that are words, read as resolution reads them.
TEST(Merging, TellsNumbersFromWordsOfDigits) {
    const std::string text = "a = [0, 01, 007, 10, 9999999999999999999, 99999999999999999999, 1.50, -0, -7, 12ab, 0e1, 3 4]";
    EXPECT_EQ(resolve_text(text), R"({"a":[0,"01","007",10,9999999999999999999,1e+20,1.5,-0.0,-7,"12ab",0.0,"3 4"]})");
}

// Resolution keeps a concatenation in the history of its key, where it hides the older object
// that the enclosing object is merged with: r.a is {y = 2} alone, where a quoted string would
// leave the object {y = 2} to merge with {x = 1}.
TEST(Merging, ConcatenationsHideLikeValuesResolutionTells) {
    EXPECT_EQ(resolve_text("r { a { x = 1 } }\nr { a = p q, a { y = 2 } }"), R"({"r":{"a":{"y":2}}})");
    EXPECT_EQ(resolve_text("r { a { x = 1 } }\nr { a = [1] [2], a.y = 2 }"), R"({"r":{"a":{"y":2}}})");
    EXPECT_EQ(resolve_text("r { a { x = 1 } }\nr { a = \"p q\", a { y = 2 } }"), R"({"r":{"a":{"x":1,"y":2}}})");
    // Whitespace between parts is kept however much of it there is.
    const std::string wide(1 << 16, ' ');
    EXPECT_EQ(resolve_text("a = x" + wide + "y"), "{\"a\":\"x" + wide + "y\"}");
}

// ---- documents and loading files

// A copy of a document copies what is unresolved in it: both resolve, alike.
TEST(Document, CopiesResolveAlike) {
    auto parsed = parse("a = ${b}, b = [1, 2], b = ${b} [3], c { d = ${a} }");
    ASSERT_TRUE(parsed.has_value());
    Document copy = *parsed;
    auto first = resolve(std::move(*parsed));
    auto second = resolve(std::move(copy));
    ASSERT_TRUE(first.has_value() && second.has_value());
    EXPECT_EQ(json(*first), R"({"a":[1,2,3],"b":[1,2,3],"c":{"d":[1,2,3]}})");
    EXPECT_EQ(*first, *second);
}

TEST(Document, LoadReadsAndResolvesAFile) {
    char pattern[] = "/tmp/hocon-config-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path dir = pattern;
    std::ofstream(dir / "app.conf") << "name = demo\ngreeting = hello ${name}\nlist += 1\n";
    std::ofstream(dir / "bad.conf") << "a = 1\nb = ${missing}\n";
    std::ofstream(dir / "data.json") << R"({"a": {"b": [1, 2.5]}})";

    auto app = load((dir / "app.conf").string(), ConfigOptions::defaults());
    EXPECT_EQ(outcome(app), R"({"greeting":"hello demo","list":[1],"name":"demo"})");
    EXPECT_EQ(outcome(load((dir / "data.json").string(), ConfigOptions::defaults())), R"({"a":{"b":[1,2.5]}})");
    auto bad = load((dir / "bad.conf").string(), ConfigOptions::defaults());
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error().render(), (dir / "bad.conf").string() + ": line 2: could not resolve substitution to a value: ${missing}");
    EXPECT_FALSE(load((dir / "none.conf").string(), ConfigOptions::defaults()).has_value());
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace hocon
