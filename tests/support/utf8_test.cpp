#include "support/utf8.hpp"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace veskora::support {
namespace {

TEST(Utf8Test, ValidationReportsWhereAndHow) {
    const struct {
        std::string bytes;
        std::optional<std::size_t> valid_up_to;  // none: valid
        std::optional<std::size_t> error_len;
    } cases[] = {
        {"", std::nullopt, std::nullopt},
        {"plain ascii", std::nullopt, std::nullopt},
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", std::nullopt, std::nullopt},
        {"\xEF\xBF\xBF\xED\x9F\xBF\xEE\x80\x80", std::nullopt, std::nullopt},
        {"ab\x80", 2, 1},                      // lone continuation byte
        {"\xC0\xAF", 0, 1},                    // overlong two-byte lead
        {"\xC1\xBF", 0, 1},
        {"\xE0\x80\xAF", 0, 1},                // overlong three-byte
        {"\xF0\x80\x80\xAF", 0, 1},            // overlong four-byte
        {"x\xED\xA0\x80", 1, 1},               // surrogate
        {"\xF4\x90\x80\x80", 0, 1},            // above U+10FFFF
        {"\xF5\x80\x80\x80", 0, 1},
        {"\xFF", 0, 1},
        {"\xC3(", 0, 1},
        {"\xE2\x82(", 0, 2},
        {"\xF0\x9F\x98(", 0, 3},
        {"\xF0\x9F(", 0, 2},
        {"ok\xC3", 2, std::nullopt},           // cut short at the end
        {"\xE2\x82", 0, std::nullopt},
        {"\xF0\x9F\x98", 0, std::nullopt},
        {"\xF0", 0, std::nullopt},
        {"\xE0\x80", 0, 1},                    // invalid before it is short
        {"\xC3\xA9\xFF\xC3", 2, 1},            // the first fault counts
    };
    for (const auto& c : cases) {
        const auto error = validate_utf8(c.bytes);
        if (!c.valid_up_to) {
            EXPECT_FALSE(error) << testing::PrintToString(c.bytes);
            continue;
        }
        ASSERT_TRUE(error) << testing::PrintToString(c.bytes);
        EXPECT_EQ(error->valid_up_to, *c.valid_up_to) << testing::PrintToString(c.bytes);
        EXPECT_EQ(error->error_len, c.error_len) << testing::PrintToString(c.bytes);
    }
}

// ASCII is skipped a word at a time: faults just before, at and after word boundaries, and
// sequences that straddle one, are still found where they are.
TEST(Utf8Test, FaultsAroundWordBoundaries) {
    const std::string ascii(16, 'a');
    const struct {
        std::string bytes;
        std::optional<std::size_t> valid_up_to;  // none: valid
    } cases[] = {
        {ascii.substr(0, 8), std::nullopt},
        {ascii, std::nullopt},
        {ascii.substr(0, 7) + "\xC3\xA9" + ascii, std::nullopt},  // straddles the first word
        {ascii.substr(0, 7) + "\x80", 7},
        {ascii.substr(0, 8) + "\x80", 8},
        {ascii.substr(0, 9) + "\x80", 9},
        {ascii + "\xFF" + ascii, 16},
        {ascii.substr(0, 7) + "\xE2\x82", 7},  // cut short across a boundary
    };
    for (const auto& c : cases) {
        const auto error = validate_utf8(c.bytes);
        ASSERT_EQ(error.has_value(), c.valid_up_to.has_value()) << testing::PrintToString(c.bytes);
        if (error) {
            EXPECT_EQ(error->valid_up_to, *c.valid_up_to) << testing::PrintToString(c.bytes);
        }
    }
}

TEST(Utf8Test, Messages) {
    EXPECT_EQ((Utf8Error{5, 2}).message(), "invalid utf-8 sequence of 2 bytes from index 5");
    EXPECT_EQ((Utf8Error{1, 1}).message(), "invalid utf-8 sequence of 1 bytes from index 1");
    EXPECT_EQ((Utf8Error{0, std::nullopt}).message(), "incomplete utf-8 byte sequence from index 0");
}

TEST(Utf8Test, DecodeAndAppendRoundTrip) {
    const char32_t scalars[] = {0x0, 0x41, 0x7F, 0x80, 0xE9, 0x7FF, 0x800, 0x20AC, 0xD7FF,
                                0xE000, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
    std::string text;
    for (char32_t c : scalars) append_utf8(text, c);
    EXPECT_FALSE(validate_utf8(text));
    std::size_t pos = 0;
    for (char32_t c : scalars) {
        ASSERT_LT(pos, text.size());
        EXPECT_EQ(decode_utf8(text, pos), c);
    }
    EXPECT_EQ(pos, text.size());

    std::string euro;
    append_utf8(euro, 0x20AC);
    EXPECT_EQ(euro, "\xE2\x82\xAC");
}

}  // namespace
}  // namespace veskora::support

namespace veskora::support {
namespace {

// Malformed input decodes to U+FFFD over its longest well-formed prefix and never moves past
// the end, so callers that slice at the returned position stay inside the text.
TEST(Utf8Test, DecodeOfMalformedInputStaysInsideTheText) {
    struct Case {
        std::string_view text;
        std::vector<std::pair<char32_t, std::size_t>> steps;  // character, position after it
    };
    const Case cases[] = {
        {"\xC3", {{U'\uFFFD', 1}}},
        {"\xE2\x82", {{U'\uFFFD', 2}}},
        {"\xE2\x82x", {{U'\uFFFD', 2}, {U'x', 3}}},
        {"\xF0\x9F\x98", {{U'\uFFFD', 3}}},
        {"\xFF" "a", {{U'\uFFFD', 1}, {U'a', 2}}},
        {"\xC0\xAF", {{U'\uFFFD', 1}, {U'\uFFFD', 2}}},      // overlong
        {"\xED\xA0\x80", {{U'\uFFFD', 1}, {U'\uFFFD', 2}, {U'\uFFFD', 3}}},  // surrogate
        {"\xF4\x90\x80\x80", {{U'\uFFFD', 1}, {U'\uFFFD', 2}, {U'\uFFFD', 3}, {U'\uFFFD', 4}}},
    };
    for (const Case& c : cases) {
        std::size_t pos = 0;
        for (const auto& [expected, after] : c.steps) {
            EXPECT_EQ(decode_utf8(c.text, pos), expected) << testing::PrintToString(c.text);
            EXPECT_EQ(pos, after) << testing::PrintToString(c.text);
        }
        EXPECT_EQ(pos, c.text.size());
        EXPECT_EQ(decode_utf8(c.text, pos), U'\uFFFD');
        EXPECT_EQ(pos, c.text.size());
    }
}

}  // namespace
}  // namespace veskora::support
