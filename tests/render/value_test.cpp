#include "render/value.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "node_builders.hpp"

namespace veskora::test {
namespace {

using Obj = VeskoraValue::Object;
using Arr = VeskoraValue::Array;

VeskoraValue str(std::string s) { return VeskoraValue{std::move(s)}; }
VeskoraValue num(VeskoraNumber n) { return VeskoraValue{n}; }

TEST(NumberTextTest, MatchesTheLayoutTable) {
    const struct {
        VeskoraNumber number;
        const char* text;
    } cases[] = {
        {std::int64_t{1}, "1"},
        {std::int64_t{-42}, "-42"},
        {std::int64_t{0}, "0"},
        {std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
        {std::numeric_limits<std::int64_t>::max(), "9223372036854775807"},
        {std::numeric_limits<std::uint64_t>::max(), "18446744073709551615"},
        {std::uint64_t{0}, "0"},
        {1.0, "1.0"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {100.0, "100.0"},
        {12.5, "12.5"},
        {-12.5, "-12.5"},
        {0.1, "0.1"},
        {1e-5, "0.00001"},
        {1.25e-5, "0.0000125"},
        {1e-6, "1e-6"},
        {1.5e-7, "1.5e-7"},
        {-1.5e-7, "-1.5e-7"},
        {1e15, "1000000000000000.0"},
        {1.5e15, "1500000000000000.0"},
        {123456.789, "123456.789"},
        {1e16, "1e+16"},
        {1.5e16, "1.5e+16"},
        {1e100, "1e+100"},
        {std::numeric_limits<double>::denorm_min(), "5e-324"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
        {0.30000000000000004, "0.30000000000000004"},
        {2.5, "2.5"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(number_text(c.number), c.text);
        std::string out = "<";
        append_number_text(out, c.number);
        EXPECT_EQ(out, std::string("<") + c.text);
    }
}

VeskoraValue example_value() {
    Obj weight;
    weight.emplace("weight", num(2.5));
    Arr elements;
    elements.push_back(VeskoraValue{std::move(weight)});
    elements.push_back(VeskoraValue{Arr{}});
    elements.push_back(VeskoraValue{Obj{}});
    Obj top;
    top.emplace("value", VeskoraValue{std::move(elements)});
    return VeskoraValue{std::move(top)};
}

TEST(JsonTest, CompactAndIndentedLayoutOfTheExample) {
    const VeskoraValue value = example_value();
    EXPECT_EQ(value.to_compact_json().value(), R"({"value":[{"weight":2.5},[],{}]})");
    EXPECT_EQ(value.to_formatted_json().value(),
              "{\n"
              "\t\"value\": [\n"
              "\t\t{\n"
              "\t\t\t\"weight\": 2.5\n"
              "\t\t},\n"
              "\t\t[],\n"
              "\t\t{}\n"
              "\t]\n"
              "}");
}

TEST(JsonTest, ScalarsAndEmptyContainers) {
    const struct {
        VeskoraValue value;
        const char* compact;
        const char* pretty;
    } cases[] = {
        {VeskoraValue{Obj{}}, "{}", "{}"},
        {VeskoraValue{Arr{}}, "[]", "[]"},
        {VeskoraValue{}, "null", "null"},
        {VeskoraValue{true}, "true", "true"},
        {VeskoraValue{false}, "false", "false"},
        {num(1.0), "1.0", "1.0"},
        {num(1e16), "1e+16", "1e+16"},
        {num(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615", "18446744073709551615"},
        {num(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808", "-9223372036854775808"},
        {num(std::nan("")), "null", "null"},
        {VeskoraValue{Arr{num(std::int64_t{1}), str("a")}}, R"([1,"a"])", "[\n\t1,\n\t\"a\"\n]"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.value.to_compact_json().value(), c.compact);
        EXPECT_EQ(c.value.to_formatted_json().value(), c.pretty);
    }
}

TEST(JsonTest, StringEscapes) {
    const struct {
        std::string text;
        const char* json;
    } cases[] = {
        {"plain", R"("plain")"},
        {"q\"b\\", R"("q\"b\\")"},
        {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
        {std::string("\x01\x1f\x00", 3), R"("\u0001\u001f\u0000")"},
        {"a/b\x7f", "\"a/b\x7f\""},
        {"\xC3\xA9\xE2\x82\xAC", "\"\xC3\xA9\xE2\x82\xAC\""},
        {"", R"("")"},
    };
    for (const auto& c : cases) {
        std::string out;
        append_json_string(out, c.text);
        EXPECT_EQ(out, c.json);
        EXPECT_EQ(str(c.text).to_compact_json().value(), c.json);
    }
}

TEST(JsonTest, KeysFollowByteOrder) {
    Obj members;
    for (const char* key : {"\xC3\xA9t\xC3\xA9", "ab", "a", "B", ""}) members.emplace(key, VeskoraValue{});
    EXPECT_EQ(VeskoraValue{std::move(members)}.to_compact_json().value(),
              "{\"\":null,\"B\":null,\"a\":null,\"ab\":null,\"\xC3\xA9t\xC3\xA9\":null}");
}

TEST(JsonTest, IndentedOutputIsCheckedAsUtf8) {
    const auto r = str("\xff").to_formatted_json();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().fmt(), "failed to serialize structured value as JSON: "
                               "invalid utf-8 sequence of 1 bytes from index 1");
}

TEST(ValueTest, RenderedTextByKind) {
    EXPECT_EQ(str("é x").to_rendered_text().value(), "é x");
    EXPECT_EQ(num(12.5).to_rendered_text().value(), "12.5");
    EXPECT_EQ(VeskoraValue{true}.to_rendered_text().value(), "true");
    EXPECT_EQ(VeskoraValue{}.to_rendered_text().value(), "null");
    EXPECT_EQ(VeskoraValue{Obj{}}.to_rendered_text().error().fmt(), "unsupported value type: object");
    EXPECT_EQ(VeskoraValue{Arr{}}.to_rendered_text().error().fmt(), "unsupported value type: array");
    EXPECT_STREQ(kind_text(VeskoraValue{Obj{}}), "object");
    EXPECT_STREQ(kind_text(VeskoraValue{Arr{}}), "array");
    EXPECT_STREQ(kind_text(str("")), "string");
    EXPECT_STREQ(kind_text(num(1.0)), "number");
    EXPECT_STREQ(kind_text(VeskoraValue{false}), "boolean");
    EXPECT_STREQ(kind_text(VeskoraValue{}), "null");
}

TEST(ValueTest, ChildPaths) {
    Obj inner;
    inner.emplace("b", str("ab"));
    inner.emplace("", str("empty"));
    Obj empty_key;
    empty_key.emplace("b", str("a..b"));
    inner.emplace("x", VeskoraValue{std::move(empty_key)});
    Obj top;
    top.emplace("a", VeskoraValue{std::move(inner)});
    top.emplace("s", str("text"));
    top.emplace("l", VeskoraValue{Arr{str("e")}});
    const VeskoraValue value{std::move(top)};

    EXPECT_EQ(value.child(""), &value);
    EXPECT_EQ(*value.child("a.b"), str("ab"));
    EXPECT_EQ(*value.child("a."), str("empty"));  // trailing point: the empty key
    EXPECT_EQ(*value.child("a.x.b"), str("a..b"));
    EXPECT_EQ(value.child("a..b"), nullptr);     // no member "" with a member "b"
    EXPECT_EQ(value.child("s.length"), nullptr);  // past a string
    EXPECT_EQ(value.child("l.0"), nullptr);       // arrays are never entered
    EXPECT_EQ(value.child("missing"), nullptr);

    const StructuredNode node = SObj{}.add("a", SObj{}.add("", SObj{}.add("b", s_num(std::int64_t{7})))).add("t", s_text("x"));
    ASSERT_NE(node.child("a..b"), nullptr);
    EXPECT_EQ(std::get<VeskoraNumber>(node.child("a..b")->data), VeskoraNumber{std::int64_t{7}});
    EXPECT_EQ(node.child(""), &node);
    EXPECT_EQ(node.child("t.x"), nullptr);
}

// Structured generation under a ruleset and a render state.
class GenerateTest : public ::testing::Test {
protected:
    Result<VeskoraValue> generate(const RuleSet& rs, const StructuredNode& node) {
        auto state = RenderState::with_context_and_options(rs, context({{"who", "you"}}), 0);
        auto value = node.generate_value(state);
        EXPECT_TRUE(state.scopes.empty());
        EXPECT_TRUE(state.rule_stack.empty());
        return value;
    }
};

TEST_F(GenerateTest, ScalarsTemplatesAndLoops) {
    const RuleSet rs = Doc{}
                           .text("greet", "hi {who}")
                           .member("items", SArr{}.add(s_text("a")).add(s_text("b")).add(s_text("c")))
                           .member("none", SArr{})
                           .build();
    const StructuredNode node =
        SObj{}
            .add("n", s_num(std::uint64_t{3}))
            .add("f", s_num(0.5))
            .add("b", s_bool(true))
            .add("z", s_null())
            .add("t", s_text("{greet}!"))
            .add("e", s_text(""))
            .add("list", SArr{}.add(s_num(std::int64_t{1})).loop("it", "items",
                                                                 SObj{}
                                                                     .add("v", s_text("{it}"))
                                                                     .add("i", s_text("{loop.index}/{loop.length}"))))
            .add("empty", SArr{}.loop("it", "none", s_text("{it}")));
    const auto value = generate(rs, node);
    ASSERT_TRUE(value) << value.error().fmt();
    EXPECT_EQ(value->to_compact_json().value(),
              R"({"b":true,"e":"","empty":[],"f":0.5,"list":[1,{"i":"1/3","v":"a"},{"i":"2/3","v":"b"},)"
              R"({"i":"3/3","v":"c"}],"n":3,"t":"hi you!","z":null})");
}

TEST_F(GenerateTest, FirstErrorInGenerationOrderWins) {
    int counted = 0;
    const RuleSet rs = Doc{}
                           .member("items", SArr{}
                                                .add(SObj{}.add("ok", s_text("1")))
                                                .add(SObj{})
                                                .add(SObj{}.add("ok", s_text("3"))))
                           .processor("count",
                                      [&counted](std::string_view in) -> ProcessResult {
                                          ++counted;
                                          return std::string(in);
                                      })
                           .build();
    // The body fails for the second element; the third is never generated.
    const StructuredNode body_fails =
        SArr{}.loop("it", "items", StructuredNode{StructuredNode::Text{pipe({"count"}, call("it.ok"))}});
    auto r = generate(rs, body_fails);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().fmt(), "unknown rule: it.ok");
    EXPECT_EQ(counted, 1);

    const StructuredNode two_bad = SObj{}.add("b", s_text("{nope_b}")).add("a", s_text("{nope_a}"));
    r = generate(rs, two_bad);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().fmt(), "unknown rule: nope_a");

    r = generate(rs, SArr{}.loop("it", "missing.source", s_null()));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().fmt(), "unknown rule: missing.source");
}

// JSON written while walking the tree is the JSON of the value generated from it, in both
// layouts, and a failure is the same failure, reached after the same renders.
TEST_F(GenerateTest, WrittenJsonIsTheJsonOfTheValue) {
    int counted = 0;
    const RuleSet rs = Doc{}
                           .text("greet", "hi {who}")
                           .member("items", SArr{}.add(s_text("a")).add(s_text("b")).add(s_text("c")))
                           .member("rows", SArr{}
                                               .add(SObj{}.add("ok", s_text("1")))
                                               .add(SObj{})
                                               .add(SObj{}.add("ok", s_text("3"))))
                           .member("none", SArr{})
                           .processor("count",
                                      [&counted](std::string_view in) -> ProcessResult {
                                          ++counted;
                                          return std::string(in);
                                      })
                           .build();
    const auto counted_text = [](const char* name) {
        return StructuredNode{StructuredNode::Text{pipe({"count"}, call(name))}};
    };
    std::vector<StructuredNode> nodes;
    nodes.push_back(SObj{});
    nodes.push_back(SObj{}
                        .add("n", s_num(std::int64_t{-3}))
                        .add("f", s_num(1e-7))
                        .add("inf", s_num(std::numeric_limits<double>::infinity()))
                        .add("b", s_bool(false))
                        .add("z", s_null())
                        .add("t", s_text("{greet} \"quoted\"\\ \t\n\u0001"))
                        .add("nested", SObj{}.add("empty", SObj{}).add("list", SArr{}))
                        .add("loops", SArr{}
                                          .add(s_num(std::int64_t{1}))
                                          .loop("it", "items",
                                                SObj{}
                                                    .add("v", s_text("{it}"))
                                                    .add("in", SArr{}.loop("x", "items", s_text("{it}{x}{loop.index}"))))
                                          .loop("it", "none", s_text("{it}"))
                                          .add(SArr{})));
    nodes.push_back(SArr{}.loop("it", "none", s_null()));
    nodes.push_back(SArr{}.loop("it", "rows", counted_text("it.ok")));  // fails at the second row
    nodes.push_back(SObj{}.add("b", s_text("{nope_b}")).add("a", s_text("{nope_a}")));
    nodes.push_back(SArr{}.add(s_null()).loop("it", "missing.source", s_null()));
    nodes.push_back(SObj{}.add("bad", StructuredNode{StructuredNode::Text{lit("\xFF")}}));
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        for (const bool pretty : {false, true}) {
            SCOPED_TRACE(testing::Message() << "node " << i << (pretty ? " pretty" : " compact"));
            counted = 0;
            const auto value = generate(rs, nodes[i]);
            const Result<std::string> expected =
                !value ? Result<std::string>(std::unexpected(value.error()))
                       : (pretty ? value->to_formatted_json() : value->to_compact_json());
            const int expected_count = counted;
            counted = 0;
            auto state = RenderState::with_context_and_options(rs, context({{"who", "you"}}), 0);
            std::string written;
            const auto done = nodes[i].write_json(state, pretty, written);
            EXPECT_EQ(counted, expected_count);
            EXPECT_TRUE(state.scopes.empty());
            if (expected) {
                ASSERT_TRUE(done) << done.error().fmt();
                EXPECT_EQ(written, *expected);
            } else {
                ASSERT_FALSE(done);
                EXPECT_EQ(done.error().fmt(), expected.error().fmt());
            }
        }
    }
}

TEST_F(GenerateTest, TextOfNodes) {
    const RuleSet rs = Doc{}.build();
    auto state = RenderState::with_context_and_options(rs, {}, 0);
    const struct {
        StructuredNode node;
        const char* text;
    } cases[] = {
        {SObj{}, "error: unsupported value type: object"},
        {SArr{}, "error: unsupported value type: array"},
        {s_num(1e-7), "1e-7"},
        {s_bool(false), "false"},
        {s_null(), "null"},
        {s_text("x"), "x"},
    };
    for (const auto& c : cases) EXPECT_EQ(text_or_error(c.node.generate_text(state)), c.text);
    EXPECT_STREQ(kind_text(s_text("x")), "string");
}

}  // namespace
}  // namespace veskora::test
