// Values, number literals, errors and options.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "hocon/error.hpp"
#include "hocon/options.hpp"
#include "hocon/value.hpp"

namespace hocon {
namespace {

TEST(Numbers, LiteralRules) {
    struct Case {
        const char* literal;
        std::optional<Number> number;
    };
    const double big = 18446744073709551616.0;  // 2^64
    const Case cases[] = {
        {"0", Number(std::uint64_t{0})},
        {"42", Number(std::uint64_t{42})},
        {"18446744073709551615", Number(std::numeric_limits<std::uint64_t>::max())},
        {"18446744073709551616", Number(big)},
        {"-1", Number(std::int64_t{-1})},
        {"-9223372036854775808", Number(std::numeric_limits<std::int64_t>::min())},
        {"-9223372036854775809", Number(-9223372036854775809.0)},
        {"1.0", Number(1.0)},
        {"1e2", Number(100.0)},
        {"1E-2", Number(0.01)},
        {"-0.5", Number(-0.5)},
        {"1e-400", Number(0.0)},
        {"1e400", std::nullopt},
        {"01", std::nullopt},
        {"1.", std::nullopt},
        {".5", std::nullopt},
        {"+1", std::nullopt},
        {"-", std::nullopt},
        {"1e", std::nullopt},
        {"", std::nullopt},
        {"0x10", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_number(c.literal), c.number) << c.literal;
    auto negative_zero = parse_number("-0");
    ASSERT_TRUE(negative_zero && std::holds_alternative<double>(*negative_zero));
    EXPECT_TRUE(std::signbit(std::get<double>(*negative_zero)));
}

// Integer literals around the length that can no longer overflow (19 digits) keep every digit,
// or become doubles once they do not fit.
TEST(Numbers, IntegersAroundNineteenDigits) {
    EXPECT_EQ(parse_number("9999999999999999999"), Number(std::uint64_t{9999999999999999999u}));
    EXPECT_EQ(parse_number("1000000000000000000"), Number(std::uint64_t{1000000000000000000u}));
    EXPECT_EQ(parse_number("10000000000000000000"), Number(std::uint64_t{10000000000000000000u}));
    EXPECT_EQ(parse_number("99999999999999999999"), Number(99999999999999999999.0));
    EXPECT_EQ(parse_number("0000000000000000001"), std::nullopt);
}

TEST(Value, NumbersCompareByKind) {
    EXPECT_NE(Value(Number(std::uint64_t{42})), Value(Number(42.0)));
    EXPECT_EQ(Value(Value::Object{{"a", Value(std::string("x"))}}), Value(Value::Object{{"a", Value(std::string("x"))}}));
}

// Members made from a list in any order read back in key order, the first of equal keys kept,
// and are found by key (bytes compared, so "B" sorts before "a").
TEST(Value, ObjectMembersAreSortedAndFoundByKey) {
    const Value::Object object{{"b", Value(std::string("first b"))},
                               {"a", Value(Number(std::uint64_t{1}))},
                               {"b", Value(std::string("second b"))},
                               {"B", Value()}};
    std::vector<std::string> keys;
    for (const auto& [key, member] : object) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "b"}));
    EXPECT_EQ(object.at("b"), Value(std::string("first b")));
    EXPECT_TRUE(object.contains("B"));
    EXPECT_EQ(object.count("c"), 0u);
    EXPECT_EQ(object.find("c"), object.end());
    EXPECT_THROW((void)object.at("c"), std::out_of_range);
    EXPECT_NE(object, (Value::Object{{"a", Value(Number(std::uint64_t{1}))}}));
}

TEST(Error, Rendering) {
    EXPECT_EQ(Error("test.conf", 3, "expected '}' or a new field, found ']'").render(),
              "test.conf: line 3: expected '}' or a new field, found ']'");
    EXPECT_EQ(Error(std::nullopt, 7, "bad").render(), "line 7: bad");
    EXPECT_EQ(Error("bad").render(), "bad");
    EXPECT_EQ(Error("f.conf", 0, "cannot read").render(), "f.conf: cannot read");
}

TEST(Options, DefaultsAndSharedSearchList) {
    ConfigOptions defaults = ConfigOptions::defaults();
    EXPECT_FALSE(defaults.use_environment());
    EXPECT_TRUE(defaults.search_list().empty());
    EXPECT_EQ(defaults.nesting_limit(), 64u);
    EXPECT_EQ(defaults.include_depth(), 64u);
    ConfigOptions options = ConfigOptions::create(true, {"/a", "/b"});
    ConfigOptions copy = options;
    EXPECT_TRUE(copy.use_environment());
    EXPECT_EQ(&copy.search_list(), &options.search_list());
    EXPECT_EQ(copy.search_list(), (std::vector<std::string>{"/a", "/b"}));
}

}  // namespace
}  // namespace hocon
