#include "processors/registry.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

namespace veskora::processors {
namespace {

const std::vector<std::string> kBuiltinNames = {
    "uppercase", "lowercase",   "trim",        "capitalize",         "titlecase",
    "article",   "past_tense",  "pluralize",   "singularize",        "possessive",
    "present_participle", "ordinal", "sentence", "quote",            "slug",
};

TEST(BuiltinProcessors, HoldExactlyTheFifteenNames) {
    const render::ProcessorMap map = builtin_processors();
    std::vector<std::string> names;
    for (const auto& [name, processor] : map) {
        names.push_back(name);
        EXPECT_NE(processor, nullptr) << name;
    }
    std::vector<std::string> expected = kBuiltinNames;
    std::sort(names.begin(), names.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected);
    // Names compare byte for byte.
    EXPECT_FALSE(map.contains("Uppercase"));
    EXPECT_FALSE(map.contains("uppercase "));
}

TEST(BuiltinProcessors, EveryCallGivesAnIndependentMap) {
    render::ProcessorMap first = builtin_processors();
    const render::ProcessorMap second = builtin_processors();
    for (const std::string& name : kBuiltinNames) {
        ASSERT_TRUE(first.contains(name) && second.contains(name)) << name;
        EXPECT_NE(first.at(name), second.at(name)) << name << " is shared between maps";
        EXPECT_EQ(first.at(name).use_count(), 1) << name;
    }

    // Replacing an entry in one map releases its processor there and leaves the other map alone.
    const std::weak_ptr<const render::Processor> replaced = first.at("slug");
    first.insert_or_assign("slug", first.at("uppercase"));
    first.erase("trim");
    EXPECT_TRUE(replaced.expired());
    EXPECT_EQ(first.at("slug")->process("a b"), "A B");
    EXPECT_EQ(second.at("slug")->process("a b"), "a-b");
    EXPECT_EQ(second.size(), 15u);
    EXPECT_TRUE(second.contains("trim"));
}

// Rendered text is always UTF-8, but a processor must not fault even if it were not.
TEST(BuiltinProcessors, SurviveIllFormedInput) {
    const render::ProcessorMap map = builtin_processors();
    const std::string inputs[] = {"\xC3", "a\xFF", "A\xE3\x80", "\xF0\x9F\x98", "\x80x \xC3", "\xC3 \xC3"};
    for (const std::string& name : kBuiltinNames) {
        for (const std::string& input : inputs) {
            const render::ProcessResult result = map.at(name)->process(input);
            EXPECT_TRUE(result.has_value() || !result.error().empty()) << name;
        }
    }
    EXPECT_EQ(map.at("capitalize")->process("\xC3"), "\uFFFD");
}

// The built-ins keep no state, so one map serves many threads at once.
TEST(BuiltinProcessors, ServeSeveralThreadsAtOnce) {
    const render::ProcessorMap map = builtin_processors();
    struct Call {
        std::string name, input, output;
    };
    const std::vector<Call> calls = {
        {"titlecase", "\u039F\u0394\u039F\u03A3 hello", "\u039F\u03B4\u03BF\u03C3 Hello"},
        {"pluralize", "Knife", "Knives"},
        {"article", "hour", "an hour"},
        {"ordinal", "112", "112th"},
        {"slug", "Don't Stop!", "dont-stop"},
    };
    std::vector<int> failures(8, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < failures.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 500; ++round) {
                for (const Call& call : calls) {
                    const render::ProcessResult result = map.at(call.name)->process(call.input);
                    if (!result || *result != call.output) ++failures[t];
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (const int count : failures) EXPECT_EQ(count, 0);
}

}  // namespace
}  // namespace veskora::processors
