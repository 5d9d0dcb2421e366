#include "support/unicode.hpp"

#include <gtest/gtest.h>
#include <unicode/uchar.h>

#include <string>
#include <string_view>

namespace veskora::support {
namespace {

TEST(UnicodeClasses, FollowTheCharacterDatabase) {
    struct Case {
        char32_t c;
        bool white_space, alphabetic, numeric, upper, lower;
    };
    const Case cases[] = {
        {U' ', true, false, false, false, false},
        {U'\t', true, false, false, false, false},
        {U'\r', true, false, false, false, false},
        {U'\u001F', false, false, false, false, false},  // a control, not White_Space
        {U'\u0085', true, false, false, false, false},
        {U'\u00A0', true, false, false, false, false},
        {U'\u1680', true, false, false, false, false},
        {U'\u180E', false, false, false, false, false},  // no longer White_Space
        {U'\u200A', true, false, false, false, false},
        {U'\u200B', false, false, false, false, false},  // zero width space
        {U'\u2028', true, false, false, false, false},
        {U'\u202F', true, false, false, false, false},
        {U'\u3000', true, false, false, false, false},
        {U'a', false, true, false, false, true},
        {U'Z', false, true, false, true, false},
        {U'\u00E9', false, true, false, false, true},   // é
        {U'\u00C9', false, true, false, true, false},   // É
        {U'\u01C5', false, true, false, false, false},  // ǅ, title case: neither
        {U'\u4E2D', false, true, false, false, false},  // 中
        {U'\u00AA', false, true, false, false, true},   // ª is Lowercase though not Ll
        {U'7', false, false, true, false, false},
        {U'\u0661', false, false, true, false, false},  // Arabic-Indic one, Nd
        {U'\u216B', false, true, true, true, false},    // Roman twelve, Nl, Alphabetic and Uppercase
        {U'\u00BD', false, false, true, false, false},  // ½, No
        {U'_', false, false, false, false, false},
        {U'\u2019', false, false, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<unsigned>(c.c));
        EXPECT_EQ(is_white_space(c.c), c.white_space);
        EXPECT_EQ(is_alphabetic(c.c), c.alphabetic);
        EXPECT_EQ(is_numeric(c.c), c.numeric);
        EXPECT_EQ(is_alphanumeric(c.c), c.alphabetic || c.numeric);
        EXPECT_EQ(is_uppercase(c.c), c.upper);
        EXPECT_EQ(is_lowercase(c.c), c.lower);
    }
}

// The classes of ASCII characters are answered without ICU; they must agree with it.
TEST(UnicodeClasses, AsciiAgreesWithTheCharacterDatabase) {
    for (char32_t c = 0; c < 0x80; ++c) {
        SCOPED_TRACE(static_cast<unsigned>(c));
        const auto u = static_cast<UChar32>(c);
        const auto category = u_charType(u);
        EXPECT_EQ(is_white_space(c), u_isUWhiteSpace(u) != 0);
        EXPECT_EQ(is_alphabetic(c), u_hasBinaryProperty(u, UCHAR_ALPHABETIC) != 0);
        EXPECT_EQ(is_numeric(c), category == U_DECIMAL_DIGIT_NUMBER || category == U_LETTER_NUMBER ||
                                     category == U_OTHER_NUMBER);
        EXPECT_EQ(is_uppercase(c), u_hasBinaryProperty(u, UCHAR_UPPERCASE) != 0);
        EXPECT_EQ(is_lowercase(c), u_hasBinaryProperty(u, UCHAR_LOWERCASE) != 0);
    }
}

TEST(UnicodeCaseMapping, SingleCharactersUseFullMappings) {
    struct Case {
        char32_t c;
        std::string_view upper, lower;
    };
    const Case cases[] = {
        {U'a', "A", "a"},
        {U'Q', "Q", "q"},
        {U'1', "1", "1"},
        {U'\u00DF', "SS", "\u00DF"},                // ß
        {U'\uFB01', "FI", "\uFB01"},                // ﬁ
        {U'\u0130', "\u0130", "i\u0307"},           // İ lowers to two characters
        {U'\u01C6', "\u01C4", "\u01C6"},            // ǆ upper-cases to Ǆ, not title case ǅ
        {U'\u03A3', "\u03A3", "\u03C3"},            // a lone capital sigma lowers to small sigma
        {U'\u0390', "\u0399\u0308\u0301", "\u0390"},  // three characters
        {U'\U00010400', "\U00010400", "\U00010428"},  // Deseret, outside the BMP
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<unsigned>(c.c));
        std::string upper = "<";
        append_upper(upper, c.c);
        EXPECT_EQ(upper, "<" + std::string(c.upper));
        std::string lower = "<";
        append_lower(lower, c.c);
        EXPECT_EQ(lower, "<" + std::string(c.lower));
    }
}

// ASCII texts are mapped without ICU; every ASCII character must map as ICU maps it.
TEST(UnicodeCaseMapping, AsciiAgreesWithTheCharacterDatabase) {
    std::string ascii;
    std::string upper;
    std::string lower;
    for (char32_t c = 0; c < 0x80; ++c) {
        ascii.push_back(static_cast<char>(c));
        upper.push_back(static_cast<char>(u_toupper(static_cast<UChar32>(c))));
        lower.push_back(static_cast<char>(u_tolower(static_cast<UChar32>(c))));
    }
    // Whole words of eight at a time, and every character alone, as the tail of a text.
    EXPECT_EQ(to_upper(ascii), upper);
    EXPECT_EQ(to_lower(ascii), lower);
    for (std::size_t i = 0; i < ascii.size(); ++i) {
        EXPECT_EQ(to_upper(ascii.substr(i, 1)), upper.substr(i, 1)) << i;
        EXPECT_EQ(to_lower(ascii.substr(i, 1)), lower.substr(i, 1)) << i;
    }
}

TEST(UnicodeCaseMapping, WholeTexts) {
    struct Case {
        std::string_view text, upper, lower;
    };
    const Case cases[] = {
        {"", "", ""},
        {"Hello, World 42", "HELLO, WORLD 42", "hello, world 42"},
        {"stra\u00DFe", "STRASSE", "stra\u00DFe"},
        {"\uFB01ne", "FINE", "\uFB01ne"},
        {"\u0130stanbul", "\u0130STANBUL", "i\u0307stanbul"},
        // Final_Sigma: final after a cased letter, small otherwise.
        {"\u039F\u0394\u039F\u03A3", "\u039F\u0394\u039F\u03A3", "\u03BF\u03B4\u03BF\u03C2"},
        {"\u03A3", "\u03A3", "\u03C3"},
        {"\u03A3\u0391", "\u03A3\u0391", "\u03C3\u03B1"},
        {"\u0391\u03A3 \u0391", "\u0391\u03A3 \u0391", "\u03B1\u03C2 \u03B1"},
        {"\u0391\u03A3\u0391", "\u0391\u03A3\u0391", "\u03B1\u03C3\u03B1"},
        // Case-ignorable characters are skipped in both directions.
        {"\u0391'\u03A3", "\u0391'\u03A3", "\u03B1'\u03C2"},
        {"\u0391\u03A3'\u0391", "\u0391\u03A3'\u0391", "\u03B1\u03C3'\u03B1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(to_upper(c.text), c.upper);
        EXPECT_EQ(to_lower(c.text), c.lower);
    }
}

TEST(UnicodeCaseMapping, EmbeddedNulAndBrokenSequencesAreSafe) {
    EXPECT_EQ(to_upper(std::string_view("a\0b", 3)), std::string_view("A\0B", 3));
    EXPECT_EQ(to_lower(std::string_view("\u00C9\0X", 4)), std::string_view("\u00E9\0x", 4));
    // Ill-formed bytes should never reach these functions; if they do, they read as U+FFFD.
    EXPECT_EQ(to_lower("\u00C9\xFF"), "\u00E9\uFFFD");
    EXPECT_EQ(to_upper("\xC3"), "\uFFFD");
    EXPECT_EQ(trim_white_space("\xE3\x80\x80\x80 "), "\x80");
}

std::string repeat(std::string_view piece, std::size_t count) {
    std::string out;
    out.reserve(piece.size() * count);
    for (std::size_t i = 0; i < count; ++i) out.append(piece);
    return out;
}

// Texts of several megabytes are mapped in pieces; no sigma may change at a piece boundary.
TEST(UnicodeCaseMapping, LongTextsMapLikeShortOnes) {
    const std::size_t count = 700'000;  // about 4 MiB of Greek
    // EXPECT_TRUE keeps a failure from printing megabytes.
    EXPECT_TRUE(to_lower(repeat("\u0391\u03A3\u0391", count) + "\u039F\u0394\u039F\u03A3") ==
                repeat("\u03B1\u03C3\u03B1", count) + "\u03BF\u03B4\u03BF\u03C2");
    EXPECT_TRUE(to_lower(repeat("\u0391\u03A3 ", count)) == repeat("\u03B1\u03C2 ", count));
    EXPECT_TRUE(to_lower(repeat("\u0391\u0301\u03A3", count)) ==
                repeat("\u03B1\u0301\u03C3", count - 1) + "\u03B1\u0301\u03C2");
    EXPECT_TRUE(to_upper(repeat("\u00DF\u03C2", count)) == repeat("SS\u03A3", count));
}

TEST(UnicodeTrim, RemovesWhiteSpaceAtBothEndsOnly) {
    struct Case {
        std::string_view text, trimmed;
    };
    const Case cases[] = {
        {"", ""},
        {" \t\r\n", ""},
        {"\u00A0x\u3000", "x"},
        {"\u2028 a  b \u0085", "a  b"},
        {"\u200Bx\u200B", "\u200Bx\u200B"},
        {"x", "x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(trim_white_space(c.text), c.trimmed);
    }
}

}  // namespace
}  // namespace veskora::support
