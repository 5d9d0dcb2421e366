#include "processors/article.hpp"

#include <gtest/gtest.h>

#include "case_name.hpp"

#include <ostream>
#include <string>
#include <string_view>

#include "processors/registry.hpp"

namespace veskora::processors {
namespace {

struct ArticleCase {
    std::string input;
    std::string output;
};


// Readable test names in the runner's listing.
void PrintTo(const ArticleCase& c, std::ostream* os) { *os << printable(c.input); }

class Article : public ::testing::TestWithParam<ArticleCase> {};

TEST_P(Article, PutsTheArticleBeforeTheWholeInput) {
    const ArticleCase& c = GetParam();
    static const render::ProcessorMap map = builtin_processors();
    const render::ProcessResult result = map.at("article")->process(c.input);
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(*result, c.output);
    EXPECT_EQ(uses_an(c.input), c.output.starts_with("an "));
}

INSTANTIATE_TEST_SUITE_P(Untrimmed, Article, ::testing::Values(
    ArticleCase{"", "a "},
    ArticleCase{"   ", "a    "},
    ArticleCase{"  apple pie", "an   apple pie"},
    ArticleCase{"apple \n", "an apple \n"}));

INSTANTIATE_TEST_SUITE_P(VowelTest, Article, ::testing::Values(
    ArticleCase{"apple", "an apple"}, ArticleCase{"banana", "a banana"}, ArticleCase{"iPhone", "an iPhone"},
    ArticleCase{"e-mail", "an e-mail"}, ArticleCase{"umbrella", "an umbrella"}, ArticleCase{"unusual", "an unusual"},
    ArticleCase{"utter", "an utter"}, ArticleCase{"onion", "an onion"}, ArticleCase{"hotel", "a hotel"},
    ArticleCase{"honey", "a honey"}, ArticleCase{"x-ray", "a x-ray"}, ArticleCase{"X-ray", "a X-ray"},
    ArticleCase{"Apple", "an Apple"}, ArticleCase{"\u00E9t\u00E9", "a \u00E9t\u00E9"},
    ArticleCase{"\u00C9t\u00E9", "a \u00C9t\u00E9"}));

INSTANTIATE_TEST_SUITE_P(ListedBeginnings, Article, ::testing::Values(
    ArticleCase{"hour", "an hour"}, ArticleCase{"HOUR", "an HOUR"}, ArticleCase{"Honest man", "an Honest man"},
    ArticleCase{"heiress", "an heiress"}, ArticleCase{"honourable", "an honourable"},
    ArticleCase{"honorable", "an honorable"}, ArticleCase{"European", "a European"},
    ArticleCase{"one-time", "a one-time"}, ArticleCase{"onerous", "a onerous"}, ArticleCase{"unicorn", "a unicorn"},
    ArticleCase{"union", "a union"}, ArticleCase{"uniform", "a uniform"}, ArticleCase{"user", "a user"},
    ArticleCase{"useful", "a useful"}, ArticleCase{"ukulele", "a ukulele"}, ArticleCase{"UK", "a UK"},
    ArticleCase{"\"hour\"", "an \"hour\""}, ArticleCase{"ubiquitous", "a ubiquitous"},
    ArticleCase{"unanimous", "a unanimous"}, ArticleCase{"unique", "a unique"}, ArticleCase{"unit", "a unit"},
    ArticleCase{"university", "a university"}, ArticleCase{"usual", "a usual"}, ArticleCase{"utensil", "a utensil"},
    ArticleCase{"utility", "a utility"}, ArticleCase{"utopia", "a utopia"}));

INSTANTIATE_TEST_SUITE_P(Initialisms, Article, ::testing::Values(
    ArticleCase{"FBI agent", "an FBI agent"}, ArticleCase{"MRI", "an MRI"}, ArticleCase{"SUV", "an SUV"},
    ArticleCase{"NASA", "an NASA"}, ArticleCase{"HTML", "an HTML"}, ArticleCase{"X", "an X"}, ArticleCase{"I", "an I"},
    ArticleCase{"A1", "an A1"}, ArticleCase{"UFO", "a UFO"}, ArticleCase{"URL", "a URL"},
    ArticleCase{"UNESCO", "a UNESCO"}, ArticleCase{"Y", "a Y"}, ArticleCase{"\u00C9T\u00C9", "a \u00C9T\u00C9"},
    ArticleCase{"1-UP", "a 1-UP"}, ArticleCase{"B", "a B"}, ArticleCase{"EU", "an EU"}, ArticleCase{"LCD", "an LCD"},
    ArticleCase{"OBE", "an OBE"}, ArticleCase{"RPG", "an RPG"}));

INSTANTIATE_TEST_SUITE_P(Digits, Article, ::testing::Values(
    ArticleCase{"8-ball", "an 8-ball"}, ArticleCase{"$8", "an $8"}, ArticleCase{"80s", "an 80s"},
    ArticleCase{"800", "an 800"}, ArticleCase{"11", "an 11"}, ArticleCase{"18th", "an 18th"},
    ArticleCase{"1800s", "an 1800s"}, ArticleCase{"110", "an 110"}, ArticleCase{"1", "a 1"}, ArticleCase{"12", "a 12"},
    ArticleCase{"'80s", "a '80s"}));

INSTANTIATE_TEST_SUITE_P(Punctuation, Article, ::testing::Values(
    ArticleCase{"...", "a ..."}, ArticleCase{"(apple)", "an (apple)"}, ArticleCase{"\u00AB\u00BB", "a \u00AB\u00BB"},
    ArticleCase{"--", "a --"}));

TEST(IsInitialism, CountsOnlyAlphabeticCharacters) {
    const std::pair<std::string_view, bool> cases[] = {
        {"FBI", true}, {"A1", true}, {"3-D", true}, {"O'NEIL", true}, {"\u00C9T\u00C9", true},
        {"X-ray", false}, {"iPhone", false}, {"123", false}, {"", false}, {"-'", false},
        {"\u4E2D", false},
    };
    for (const auto& [word, expected] : cases) {
        EXPECT_EQ(is_initialism(word), expected) << word;
    }
}

}  // namespace
}  // namespace veskora::processors
