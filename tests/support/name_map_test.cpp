#include "support/name_map.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace veskora::support {
namespace {

// Every name finds its own value, in maps small enough to be scanned and in hashed ones whatever
// runs of slots their names share, whether the map was sized first or grew name by name; names
// that differ only in length or in their last byte, and the empty name, are told apart.
TEST(NameMapTest, FindsEachNameAndNothingElse) {
    for (const bool reserved : {false, true}) {
        for (const int count : {0, 1, 2, 3, 7, 8, 9, 200}) {
            SCOPED_TRACE(testing::Message() << count << (reserved ? " reserved" : " grown"));
            std::vector<std::string> names;
            for (int i = 0; i < count; ++i) names.push_back(std::string(static_cast<std::size_t>(i % 5), 'n') + std::to_string(i));
            if (count > 0) names.push_back("");
            Arena arena;
            NameMap<int> map(arena);
            if (reserved) map.reserve(names.size());
            for (std::size_t i = 0; i < names.size(); ++i) {
                EXPECT_TRUE(map.emplace(names[i], static_cast<int>(i)).second);
            }
            ASSERT_EQ(map.size(), names.size());

            for (std::size_t i = 0; i < names.size(); ++i) {
                ASSERT_TRUE(map.contains(names[i])) << names[i];
                EXPECT_EQ(map.at(names[i]), static_cast<int>(i)) << names[i];
            }
            for (const std::string& name : names) {
                EXPECT_EQ(map.find(name + "x"), map.end()) << name;
                if (!name.empty()) {
                    EXPECT_FALSE(map.contains(name.substr(0, name.size() - 1) + "#")) << name;
                }
            }
            if (count == 0) {
                EXPECT_FALSE(map.contains(""));
                EXPECT_THROW(map.at(""), std::out_of_range);
            }
        }
    }
}

// A name added again keeps its one entry: emplace leaves the value, insert_or_assign replaces it;
// the entries stay in the order first added.
TEST(NameMapTest, AddsEachNameOnce) {
    Arena arena;
    NameMap<ArenaPtr<int>> map(arena);
    for (int i = 0; i < 20; ++i) map.emplace("n" + std::to_string(i), arena.make<int>(i));
    const auto* first = &*map.find("n3");

    const auto [kept, kept_added] = map.emplace("n3", arena.make<int>(-1));
    EXPECT_FALSE(kept_added);
    EXPECT_EQ(*kept->second, 3);
    const auto [assigned, assigned_added] = map.insert_or_assign("n3", arena.make<int>(33));
    EXPECT_FALSE(assigned_added);
    EXPECT_EQ(&*assigned, first);
    EXPECT_EQ(*map.at("n3"), 33);
    EXPECT_EQ(map.size(), 20u);

    int expected = 0;
    for (const auto& [name, value] : map) {
        EXPECT_EQ(name, "n" + std::to_string(expected));
        ++expected;
    }
}

// Names n0, n1, ... with every `repeat`-th one (when nonzero) a repeat of an earlier name.
std::vector<std::string> names_with_repeats(int count, int repeat) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        const bool repeated = repeat != 0 && i % repeat == repeat - 1;
        names.push_back("n" + std::to_string(repeated ? i / 2 : i));
    }
    return names;
}

// A map made from a list in one go is the map that inserting the list in order makes: a repeated
// name keeps its first place and the last value, however many entries that leaves, on either side
// of the size where the map starts hashing.
TEST(NameMapTest, MadeFromAListAsIfInsertedInOrder) {
    const std::pair<int, int> cases[] = {{0, 0},  {3, 2},  {8, 0},   {9, 0},
                                         {9, 3},  {12, 2}, {300, 7}, {300, 2}};
    for (const auto& [count, repeat] : cases) {
        SCOPED_TRACE(testing::Message() << count << " names, repeat " << repeat);
        const std::vector<std::string> names = names_with_repeats(count, repeat);
        Arena arena;
        NameMap<ArenaPtr<int>> inserted(arena);
        ArenaVector<NameMap<ArenaPtr<int>>::value_type> list(arena);
        for (int i = 0; i < count; ++i) {
            inserted.insert_or_assign(names[i], arena.make<int>(i));
            list.emplace_back(CompactText(arena, names[i]), arena.make<int>(i));
        }
        const NameMap<ArenaPtr<int>> made(std::move(list));

        ASSERT_EQ(made.size(), inserted.size());
        auto expected = inserted.begin();
        for (const auto& [name, value] : made) {
            EXPECT_EQ(name, expected->first.view());
            EXPECT_EQ(*value, *expected->second) << name;
            EXPECT_EQ(made.find(name)->second.get(), value.get()) << name;
            ++expected;
        }
        EXPECT_FALSE(made.contains("n" + std::to_string(count)));
    }
}

// find_each finds what find() finds, in order, in empty, scanned and hashed maps, for more names
// than it looks ahead.
TEST(NameMapTest, FindEachAgreesWithFind) {
    for (const int count : {0, 5, 300}) {
        SCOPED_TRACE(count);
        Arena arena;
        NameMap<int> map(arena);
        for (int i = 0; i < count; ++i) map.emplace("n" + std::to_string(i), i);
        std::vector<std::string> wanted;
        for (int i = 0; i < 40; ++i) wanted.push_back("n" + std::to_string(i * 13 % 350));
        std::vector<const NameMap<int>::value_type*> found;
        map.find_each(
            wanted.size(), [&](std::size_t i) -> std::string_view { return wanted[i]; },
            [&](std::size_t i, const NameMap<int>::value_type* entry) {
                EXPECT_EQ(i, found.size());
                found.push_back(entry);
            });
        ASSERT_EQ(found.size(), wanted.size());
        for (std::size_t i = 0; i < wanted.size(); ++i) {
            const auto it = map.find(wanted[i]);
            EXPECT_EQ(found[i], it == map.end() ? nullptr : &*it) << wanted[i];
        }
    }
}

TEST(NameMapTest, SameNameComparesEveryByte) {
    EXPECT_TRUE(same_name("", ""));
    EXPECT_TRUE(same_name("rule", std::string("rule")));
    EXPECT_FALSE(same_name("rule", "rules"));
    EXPECT_FALSE(same_name("rule", "rulf"));
    EXPECT_FALSE(same_name("rule", "Rule"));
    EXPECT_FALSE(same_name(std::string_view("a\0b", 3), std::string_view("a\0c", 3)));
}

}  // namespace
}  // namespace veskora::support
