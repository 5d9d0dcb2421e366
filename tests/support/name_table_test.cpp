#include "support/name_table.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace veskora::support {
namespace {

// Every name finds its own value, in tables small enough to be scanned and in hashed ones
// whatever runs of slots their names share; names that differ only in length or in their last
// byte, and the empty name, are told apart.
TEST(NameTableTest, FindsEachNameAndNothingElse) {
    for (const int count : {0, 1, 2, 3, 7, 8, 9, 200}) {
        SCOPED_TRACE(count);
        std::vector<std::string> names;
        for (int i = 0; i < count; ++i) names.push_back(std::string(static_cast<std::size_t>(i % 5), 'n') + std::to_string(i));
        if (count > 0) names.push_back("");
        std::vector<std::pair<std::string_view, int>> entries;
        for (std::size_t i = 0; i < names.size(); ++i) entries.emplace_back(names[i], static_cast<int>(i));
        const NameTable<int> table(entries);

        for (std::size_t i = 0; i < names.size(); ++i) {
            const int* value = table.find(names[i]);
            ASSERT_NE(value, nullptr) << names[i];
            EXPECT_EQ(*value, static_cast<int>(i)) << names[i];
        }
        for (const std::string& name : names) {
            EXPECT_EQ(table.find(name + "x"), nullptr) << name;
            if (!name.empty()) {
                EXPECT_EQ(table.find(name.substr(0, name.size() - 1) + "#"), nullptr) << name;
            }
        }
        if (count == 0) {
            EXPECT_EQ(table.find(""), nullptr);
        }
    }
}

TEST(NameTableTest, SameNameComparesEveryByte) {
    EXPECT_TRUE(same_name("", ""));
    EXPECT_TRUE(same_name("rule", std::string("rule")));
    EXPECT_FALSE(same_name("rule", "rules"));
    EXPECT_FALSE(same_name("rule", "rulf"));
    EXPECT_FALSE(same_name("rule", "Rule"));
    EXPECT_FALSE(same_name(std::string_view("a\0b", 3), std::string_view("a\0c", 3)));
}

}  // namespace
}  // namespace veskora::support
