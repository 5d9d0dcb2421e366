#include "processors/article.hpp"

#include <gtest/gtest.h>

#include "case_name.hpp"

#include <ostream>
#include <string>
#include <string_view>

#include "processors/registry.hpp"

namespace veskora::processors {
namespace {

struct Case {
    std::string input;
    std::string output;
};


// Readable test names in the runner's listing.
void PrintTo(const Case& c, std::ostream* os) { *os << printable(c.input); }

class Article : public ::testing::TestWithParam<Case> {};

TEST_P(Article, PutsTheArticleBeforeTheWholeInput) {
    const Case& c = GetParam();
    static const render::ProcessorMap map = builtin_processors();
    const render::ProcessResult result = map.at("article")->process(c.input);
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(*result, c.output);
    EXPECT_EQ(uses_an(c.input), c.output.starts_with("an "));
}

INSTANTIATE_TEST_SUITE_P(Untrimmed, Article, ::testing::Values(
    Case{"", "a "},
    Case{"   ", "a    "},
    Case{"  apple pie", "an   apple pie"},
    Case{"apple \n", "an apple \n"}));

INSTANTIATE_TEST_SUITE_P(VowelTest, Article, ::testing::Values(
    Case{"apple", "an apple"}, Case{"banana", "a banana"}, Case{"iPhone", "an iPhone"},
    Case{"e-mail", "an e-mail"}, Case{"umbrella", "an umbrella"}, Case{"unusual", "an unusual"},
    Case{"utter", "an utter"}, Case{"onion", "an onion"}, Case{"hotel", "a hotel"},
    Case{"honey", "a honey"}, Case{"x-ray", "a x-ray"}, Case{"X-ray", "a X-ray"},
    Case{"Apple", "an Apple"}, Case{"\u00E9t\u00E9", "a \u00E9t\u00E9"},
    Case{"\u00C9t\u00E9", "a \u00C9t\u00E9"}));

INSTANTIATE_TEST_SUITE_P(ListedBeginnings, Article, ::testing::Values(
    Case{"hour", "an hour"}, Case{"HOUR", "an HOUR"}, Case{"Honest man", "an Honest man"},
    Case{"heiress", "an heiress"}, Case{"honourable", "an honourable"},
    Case{"honorable", "an honorable"}, Case{"European", "a European"},
    Case{"one-time", "a one-time"}, Case{"onerous", "a onerous"}, Case{"unicorn", "a unicorn"},
    Case{"union", "a union"}, Case{"uniform", "a uniform"}, Case{"user", "a user"},
    Case{"useful", "a useful"}, Case{"ukulele", "a ukulele"}, Case{"UK", "a UK"},
    Case{"\"hour\"", "an \"hour\""}, Case{"ubiquitous", "a ubiquitous"},
    Case{"unanimous", "a unanimous"}, Case{"unique", "a unique"}, Case{"unit", "a unit"},
    Case{"university", "a university"}, Case{"usual", "a usual"}, Case{"utensil", "a utensil"},
    Case{"utility", "a utility"}, Case{"utopia", "a utopia"}));

INSTANTIATE_TEST_SUITE_P(Initialisms, Article, ::testing::Values(
    Case{"FBI agent", "an FBI agent"}, Case{"MRI", "an MRI"}, Case{"SUV", "an SUV"},
    Case{"NASA", "an NASA"}, Case{"HTML", "an HTML"}, Case{"X", "an X"}, Case{"I", "an I"},
    Case{"A1", "an A1"}, Case{"UFO", "a UFO"}, Case{"URL", "a URL"},
    Case{"UNESCO", "a UNESCO"}, Case{"Y", "a Y"}, Case{"\u00C9T\u00C9", "a \u00C9T\u00C9"},
    Case{"1-UP", "a 1-UP"}, Case{"B", "a B"}, Case{"EU", "an EU"}, Case{"LCD", "an LCD"},
    Case{"OBE", "an OBE"}, Case{"RPG", "an RPG"}));

INSTANTIATE_TEST_SUITE_P(Digits, Article, ::testing::Values(
    Case{"8-ball", "an 8-ball"}, Case{"$8", "an $8"}, Case{"80s", "an 80s"},
    Case{"800", "an 800"}, Case{"11", "an 11"}, Case{"18th", "an 18th"},
    Case{"1800s", "an 1800s"}, Case{"110", "an 110"}, Case{"1", "a 1"}, Case{"12", "a 12"},
    Case{"'80s", "a '80s"}));

INSTANTIATE_TEST_SUITE_P(Punctuation, Article, ::testing::Values(
    Case{"...", "a ..."}, Case{"(apple)", "an (apple)"}, Case{"\u00AB\u00BB", "a \u00AB\u00BB"},
    Case{"--", "a --"}));

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
