#include "render/error.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace veskora::render {
namespace {

struct DisplayCase {
    RenderError error;
    RenderError::Kind kind;
    const char* text;
};

TEST(RenderErrorTest, EveryKindDisplaysItsTemplate) {
    using K = RenderError::Kind;
    const DisplayCase cases[] = {
        {RenderError::unknown_rule("x"), K::UnknownRule, "unknown rule: x"},
        {RenderError::unknown_processor("p"), K::UnknownProcessor, "unknown processor: p"},
        {RenderError::processor_failed("p", "m"), K::ProcessorFailed, "processor p failed: m"},
        {RenderError::invalid_template("bad"), K::InvalidTemplate, "invalid template expression: bad"},
        {RenderError::empty_choice(), K::EmptyChoice, "cannot render an empty choice"},
        {RenderError::unique_choice_exhausted("k"), K::UniqueChoiceExhausted, "exhausted unique choice: k"},
        {RenderError::not_a_choice("k"), K::NotAChoice, "unique choice target is not a choice: k"},
        {RenderError::invalid_weighted_choice("w"), K::InvalidWeightedChoice, "invalid weighted choice: w"},
        {RenderError::circular_reference({"a", "b", "a"}), K::CircularReference,
         "circular rule reference: a -> b -> a"},
        {RenderError::unsupported_value("object"), K::UnsupportedValue, "unsupported value type: object"},
        {RenderError::not_iterable("a.b", "string"), K::NotIterable,
         "iteration source is not iterable: a.b (string)"},
        {RenderError::immutable_loop_binding("loop"), K::ImmutableLoopBinding,
         "cannot overwrite immutable loop binding: loop"},
        {RenderError::config_root_not_object(), K::ConfigRootNotObject, "config root must be an object"},
        {RenderError::structured_target_not_object("t"), K::StructuredTargetNotObject,
         "structured render target must be an object: t"},
        {RenderError::json_serialization("d"), K::JsonSerialization,
         "failed to serialize structured value as JSON: d"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(c.error.kind(), c.kind) << c.text;
        EXPECT_EQ(static_cast<std::size_t>(c.error.kind()), i) << "kind order: " << c.text;
        EXPECT_EQ(c.error.fmt(), c.text);
    }
}

TEST(RenderErrorTest, PayloadsAreInsertedVerbatim) {
    const struct {
        RenderError error;
        const char* text;
    } cases[] = {
        {RenderError::circular_reference({"only"}), "circular rule reference: only"},
        {RenderError::circular_reference({}), "circular rule reference: "},
        {RenderError::unknown_rule(""), "unknown rule: "},
        {RenderError::processor_failed("", ""), "processor  failed: "},
        {RenderError::unknown_rule("a\nb {x} \xC3\xA9"), "unknown rule: a\nb {x} \xC3\xA9"},
        {RenderError::processor_failed("{}", "{} and {}"), "processor {} failed: {} and {}"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.error.fmt(), c.text);
}

TEST(RenderErrorTest, StreamsItsDisplayText) {
    std::ostringstream os;
    const RenderError error = RenderError::not_iterable("src", "number");
    const RenderError& ref = error;
    os << ref;
    EXPECT_EQ(os.str(), "iteration source is not iterable: src (number)");
    EXPECT_EQ(error.payload(), (std::vector<std::string>{"src", "number"}));
}

}  // namespace
}  // namespace veskora::render
