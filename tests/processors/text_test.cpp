#include "processors/text.hpp"

#include <gtest/gtest.h>

#include "case_name.hpp"

#include <ostream>
#include <string>
#include <string_view>

#include "processors/registry.hpp"

namespace veskora::processors {
namespace {

// Every case goes through the registry by name, so a wrongly wired entry fails too.
class TextProcessors : public ::testing::TestWithParam<Case> {
protected:
    static const render::ProcessorMap& map() {
        static const render::ProcessorMap processors = builtin_processors();
        return processors;
    }
};

TEST_P(TextProcessors, GiveTheExpectedText) {
    const Case& c = GetParam();
    const auto entry = map().find(c.processor);
    ASSERT_NE(entry, map().end()) << c.processor;
    const render::ProcessResult result = entry->second->process(c.input);
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(*result, c.output);
}

const std::string kSigmaWord = "\u039F\u0394\u039F\u03A3";  // ΟΔΟΣ

INSTANTIATE_TEST_SUITE_P(Uppercase, TextProcessors, ::testing::Values(
    Case{"uppercase", "", ""},
    Case{"uppercase", "stra\u00DFe", "STRASSE"},
    Case{"uppercase", "\uFB01", "FI"},
    Case{"uppercase", "  mixed Case 1! \u00E9 ", "  MIXED CASE 1! \u00C9 "}));

INSTANTIATE_TEST_SUITE_P(Lowercase, TextProcessors, ::testing::Values(
    Case{"lowercase", kSigmaWord, "\u03BF\u03B4\u03BF\u03C2"},
    Case{"lowercase", "\u0130", "i\u0307"},
    Case{"lowercase", "  HeLLo WORLD ", "  hello world "}));

INSTANTIATE_TEST_SUITE_P(Trim, TextProcessors, ::testing::Values(
    Case{"trim", "\u00A0x\u3000", "x"},
    Case{"trim", "\u200Bx", "\u200Bx"},
    Case{"trim", " \t a \n b \r\n", "a \n b"},
    Case{"trim", " \u2028\u0085 ", ""},
    Case{"trim", "", ""}));

INSTANTIATE_TEST_SUITE_P(Capitalize, TextProcessors, ::testing::Values(
    Case{"capitalize", "", ""},
    Case{"capitalize", "hELLO wORLD", "Hello world"},
    Case{"capitalize", " hello", " hello"},
    Case{"capitalize", "\u00DFx", "SSx"},
    Case{"capitalize", "1ST", "1st"},
    Case{"capitalize", "\u0391\u03A3", "\u0391\u03C3"},           // ΑΣ gives Ασ
    Case{"capitalize", kSigmaWord, "\u039F\u03B4\u03BF\u03C2"},  // Οδος
    Case{"capitalize", "\u01C6emal", "\u01C4emal"}));             // upper-case, not title-case mapping

INSTANTIATE_TEST_SUITE_P(Titlecase, TextProcessors, ::testing::Values(
    Case{"titlecase", kSigmaWord, "\u039F\u03B4\u03BF\u03C3"},  // Οδοσ: no final sigma
    Case{"titlecase", "hello  wORLD\tfoo", "Hello  World\tFoo"},
    Case{"titlecase", "jean-luc o'neil", "Jean-luc O'neil"},
    Case{"titlecase", "(new) york", "(new) York"},
    Case{"titlecase", "\u01C6 \u00DFx", "\u01C4 SSx"},
    Case{"titlecase", "\u3000a\u00A0b", "\u3000A\u00A0B"},
    Case{"titlecase", "", ""}));

INSTANTIATE_TEST_SUITE_P(Sentence, TextProcessors, ::testing::Values(
    Case{"sentence", "  hello World", "  Hello World"},
    Case{"sentence", "3 apples. more", "3 Apples. more"},
    Case{"sentence", "123", "123"},
    Case{"sentence", "", ""},
    Case{"sentence", "\u00DFtrASSE", "SStrASSE"},
    Case{"sentence", "... \u00E9t\u00E9", "... \u00C9t\u00E9"}));

INSTANTIATE_TEST_SUITE_P(Quote, TextProcessors, ::testing::Values(
    Case{"quote", "a\"b\\c", "\"a\\\"b\\\\c\""},
    Case{"quote", "line\nbreak\t\u00E9", "\"line\nbreak\t\u00E9\""},
    Case{"quote", "", "\"\""},
    Case{"quote", std::string("nul\0in", 6), std::string("\"nul\0in\"", 8)}));

INSTANTIATE_TEST_SUITE_P(Slug, TextProcessors, ::testing::Values(
    Case{"slug", kSigmaWord, "\u03BF\u03B4\u03BF\u03C3"},
    Case{"slug", "  --Hello,   World--  ", "hello-world"},
    Case{"slug", "R&D / Q&A", "r-d-q-a"},
    Case{"slug", "Top 10 Tips", "top-10-tips"},
    Case{"slug", "na\u00EFve caf\u00E9", "na\u00EFve-caf\u00E9"},
    Case{"slug", "don\u2019t", "dont"},
    Case{"slug", "Don't Stop!", "dont-stop"},
    Case{"slug", "a_b", "a-b"},
    Case{"slug", "!!!", ""},
    Case{"slug", " \t\u3000 ", ""},
    Case{"slug", "'quoted'", "quoted"},
    Case{"slug", "\u0130 \u2167 \u00BD", "i\u0307-\u2177-\u00BD"}));

}  // namespace
}  // namespace veskora::processors
