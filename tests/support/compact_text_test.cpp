#include "support/compact_text.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>

#include "support/arena.hpp"

namespace veskora::support {
namespace {

// A text in place or copied out reads back whole, and so do its copies and the texts assigned
// over them, once the text it was made from is gone.
TEST(CompactTextTest, CopiesReadTheirText) {
    const std::string texts[] = {"", "short", std::string(15, 'x'), std::string(16, 'y'), std::string(300, 'z')};
    Arena arena;
    for (const std::string& from : texts) {
        for (const std::string& to : texts) {
            SCOPED_TRACE(testing::Message() << from.size() << " onto " << to.size());
            std::string source = from;
            const CompactText made(arena, source);
            source.assign(source.size(), '?');
            CompactText target(arena, to);
            EXPECT_EQ(target, to);
            target = made;
            EXPECT_EQ(target, from);
            EXPECT_EQ(made.view(), from);
        }
    }
}

// Compared, ordered, streamed and converted as the text it holds, bytes past a NUL included.
TEST(CompactTextTest, ReadsAsItsText) {
    Arena arena;
    const CompactText text(arena, std::string("ab\0c", 4));
    EXPECT_TRUE(text == std::string("ab\0c", 4));
    EXPECT_FALSE(text == "ab");
    EXPECT_TRUE(text > "ab");
    EXPECT_TRUE(text < "ac");
    std::ostringstream out;
    out << text;
    EXPECT_EQ(out.str(), std::string("ab\0c", 4));
    const std::string copy = text;
    EXPECT_EQ(copy, std::string("ab\0c", 4));
}

}  // namespace
}  // namespace veskora::support
