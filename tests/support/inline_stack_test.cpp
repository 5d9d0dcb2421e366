#include "support/inline_stack.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace veskora::support {
namespace {

// Growing past the inline room, and twice past the first heap room, keeps every value in order;
// popping and growing again reuses what is there.
TEST(InlineStackTest, KeepsOrderAcrossItsRooms) {
    InlineStack<int, 2> stack;
    std::vector<int> expected;
    EXPECT_TRUE(stack.empty());
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 9; ++i) {
            stack.push_back(i);
            expected.push_back(i);
            ASSERT_EQ(stack, expected) << "round " << round << ", after " << i;
        }
        for (int i = 0; i < 9; ++i) {
            stack.pop_back();
            expected.pop_back();
            ASSERT_EQ(stack, expected) << "round " << round << ", popping " << i;
        }
        EXPECT_TRUE(stack.empty());
    }
    stack.push_back(7);
    EXPECT_FALSE(stack == std::vector<int>{});
    EXPECT_FALSE(stack == std::vector<int>{8});
    EXPECT_FALSE(stack == (std::vector<int>{7, 7}));
}

}  // namespace
}  // namespace veskora::support
