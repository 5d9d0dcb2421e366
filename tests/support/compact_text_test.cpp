#include "support/compact_text.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <utility>

#include "support/arena.hpp"

namespace veskora::support {
namespace {

// A text moved onto another, either of them in place or copied out, on the heap or in an arena,
// reads back whole and leaves the source empty; the sanitizer build sees a copy leaked by the
// assignment or freed twice.
TEST(CompactTextTest, MoveAssignmentTakesTheText) {
    const std::string texts[] = {"", "short", std::string(15, 'x'), std::string(16, 'y'), std::string(300, 'z')};
    Arena arena;
    for (const bool in_arena : {false, true}) {
        for (const std::string& from : texts) {
            for (const std::string& to : texts) {
                SCOPED_TRACE(testing::Message() << from.size() << " onto " << to.size() << (in_arena ? " in arena" : ""));
                std::optional<ArenaScope> scope;
                if (in_arena) scope.emplace(arena);
                CompactText source(from);
                CompactText target(to);
                target = std::move(source);
                EXPECT_EQ(target, from);
                EXPECT_EQ(source, "");
                CompactText& same = target;
                target = std::move(same);
                EXPECT_EQ(target.view(), from);
            }
        }
    }
}

// Compared, ordered, streamed and converted as the text it holds, bytes past a NUL included.
TEST(CompactTextTest, ReadsAsItsText) {
    const CompactText text(std::string("ab\0c", 4));
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
