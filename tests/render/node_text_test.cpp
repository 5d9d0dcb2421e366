#include "render/node_text.hpp"

#include <gtest/gtest.h>

#include <string>

#include "support/arena.hpp"

namespace veskora::render {
namespace {

// Texts on both sides of the in-place bound read back whole, and so do their copies once the
// text they were made from is gone.
TEST(NodeText, ReadsBackEveryLength) {
    const std::string texts[] = {"", "a", std::string(15, 'x'), std::string(16, 'y'), std::string(1000, 'z'),
                                 std::string("a\0b", 3)};
    support::Arena arena;
    for (const std::string& text : texts) {
        std::string source = text;
        const NodeText made(arena, source);
        source.assign(source.size(), '?');
        const NodeText copy = made;
        EXPECT_EQ(made.view(), text);
        EXPECT_EQ(copy.view(), text);
        EXPECT_EQ("<" + copy + ">", "<" + text + ">");
    }
}

}  // namespace
}  // namespace veskora::render
