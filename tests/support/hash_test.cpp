#include "support/hash.hpp"

#include <gtest/gtest.h>

#include <set>
#include <thread>

namespace veskora::support {
namespace {

TEST(KeyedHashTest, StableWithinAHasherAndVariedBetweenMaps) {
    const KeyedHash a;
    const KeyedHash b;
    const std::string text = "some rule name";
    EXPECT_EQ(a(text), a(std::string_view(text)));
    EXPECT_EQ(a(""), a(std::string_view()));
    // Two maps of one thread get different keys.
    EXPECT_NE(a(text), b(text));

    std::size_t other_thread = 0;
    std::thread([&] { other_thread = KeyedHash{}(text); }).join();
    EXPECT_NE(other_thread, a(text));

    // Every tail length and block boundary hashes apart.
    std::set<std::size_t> seen;
    std::string grow;
    for (int i = 0; i < 40; ++i) {
        seen.insert(a(grow));
        grow.push_back('x');
    }
    EXPECT_EQ(seen.size(), 40u);
    EXPECT_NE(a(std::string("a\0", 2)), a("a"));
}

// Texts that differ in one byte, at any place of any length up to three words, hash apart: no
// byte is dropped, whether it is read in a word or in the tail.
TEST(KeyedHashTest, EveryByteCounts) {
    const KeyedHash hash;
    for (std::size_t length = 1; length <= 24; ++length) {
        const std::string base(length, 'a');
        const std::size_t base_hash = hash(base);
        for (std::size_t at = 0; at < length; ++at) {
            std::string changed = base;
            changed[at] = 'b';
            EXPECT_NE(hash(changed), base_hash) << "length " << length << ", byte " << at;
        }
    }
}

TEST(KeyedHashTest, MapsLookUpByView) {
    StringMap<int> map;
    map.emplace("alpha", 1);
    map.emplace("beta", 2);
    const std::string_view key = "alpha-and-more";
    EXPECT_EQ(map.find(key.substr(0, 5))->second, 1);
    EXPECT_EQ(map.find(std::string_view("gamma")), map.end());
    StringMap<int> copy = map;
    EXPECT_EQ(copy.find(std::string_view("beta"))->second, 2);
}

}  // namespace
}  // namespace veskora::support
