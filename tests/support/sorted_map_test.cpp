#include "support/sorted_map.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/arena.hpp"

namespace veskora::support {
namespace {

std::vector<std::pair<std::string, int>> members(const SortedMap<int>& map) {
    return {map.begin(), map.end()};
}

// Keys added in any order are kept in byte order; emplace keeps the first value of a key and
// insert_or_assign the last; lookups tell keys that share a prefix apart.
TEST(SortedMapTest, KeepsKeysInByteOrder) {
    Arena arena;
    SortedMap<int> map(arena);
    const std::pair<const char*, int> added[] = {{"b", 1}, {"a.b", 2}, {"", 3}, {"\xff", 4}, {"B", 5}, {"a", 6}};
    for (const auto& [key, value] : added) EXPECT_TRUE(map.emplace(key, value).second) << key;
    EXPECT_FALSE(map.emplace("a", 60).second);
    EXPECT_FALSE(map.insert_or_assign("b", 10).second);
    EXPECT_TRUE(map.insert_or_assign("c", 7).second);

    const std::vector<std::pair<std::string, int>> expected = {
        {"", 3}, {"B", 5}, {"a", 6}, {"a.b", 2}, {"b", 10}, {"c", 7}, {"\xff", 4}};
    EXPECT_EQ(members(map), expected);
    for (const auto& [key, value] : expected) {
        ASSERT_TRUE(map.contains(key)) << key;
        EXPECT_EQ(map.at(key), value) << key;
    }
    for (const char* missing : {"a.", "A", "bb", "\xfe", "d"}) {
        EXPECT_EQ(map.find(missing), map.end()) << missing;
        EXPECT_THROW(static_cast<void>(map.at(missing)), std::out_of_range) << missing;
    }
}

// Keys too long to sit in place move up with their members when a smaller key comes later, and
// read back whole.
TEST(SortedMapTest, MovesLongKeysWithTheirMembers) {
    Arena arena;
    SortedMap<int> map(arena);
    std::vector<std::pair<std::string, int>> expected;
    for (int i = 9; i >= 0; --i) {
        const std::string key = std::string(static_cast<std::size_t>(10 + 2 * i), 'k') + std::to_string(i);
        EXPECT_TRUE(map.emplace(key, i).second) << key;
        expected.insert(expected.begin(), {key, i});
    }
    EXPECT_FALSE(map.insert_or_assign(expected[4].first, 40).second);
    expected[4].second = 40;
    EXPECT_EQ((std::vector<std::pair<std::string, int>>(map.begin(), map.end())), expected);
    for (const auto& [key, value] : expected) EXPECT_EQ(map.at(key), value) << key;
}

}  // namespace
}  // namespace veskora::support
