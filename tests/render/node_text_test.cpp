#include "render/node_text.hpp"

#include <gtest/gtest.h>

#include <string>

#include "support/arena.hpp"

namespace veskora::render {
namespace {

// Texts on both sides of the in-place bound read back whole, made in an arena or on the heap;
// the sanitizer build sees a copy freed twice or never.
TEST(NodeText, ReadsBackEveryLength) {
    const std::string texts[] = {"", "a", std::string(15, 'x'), std::string(16, 'y'), std::string(1000, 'z'),
                                 std::string("a\0b", 3)};
    support::Arena arena;
    for (const std::string& text : texts) {
        const NodeText on_heap(text);
        EXPECT_EQ(on_heap.view(), text);
        const support::ArenaScope in_arena(arena);
        const NodeText in_arena_text(text);
        EXPECT_EQ(in_arena_text.view(), text);
        EXPECT_EQ("<" + in_arena_text + ">", "<" + text + ">");
    }
}

}  // namespace
}  // namespace veskora::render
