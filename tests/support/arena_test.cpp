#include "support/arena.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace veskora::support {
namespace {

// Allocations of every size, also larger than any block, are aligned, writable and disjoint,
// in the blocks of a small arena and in the regions a large one maps.
TEST(ArenaTest, AllocationsAreAlignedAndDisjoint) {
    Arena arena;
    struct Piece {
        unsigned char* data;
        std::size_t size;
    };
    std::vector<Piece> pieces;
    for (const std::size_t size : {1, 7, 8, 9, 24, 100, 4096, 5000, 3 << 20, 16, 1, 2 << 20, 5000, 5 << 20, 8, 1 << 20}) {
        auto* data = static_cast<unsigned char*>(arena.allocate(size));
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(data) % 8, 0u) << size;
        std::memset(data, static_cast<int>(pieces.size()), size);
        pieces.push_back({data, size});
    }
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        for (std::size_t j = 0; j < pieces[i].size; ++j) ASSERT_EQ(pieces[i].data[j], i) << i;
    }
}

std::size_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t size = 0;
    std::size_t resident = 0;
    statm >> size >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

bool huge_pages_on_request() {
    std::ifstream setting("/sys/kernel/mm/transparent_hugepage/enabled");
    const std::string text((std::istreambuf_iterator<char>(setting)), std::istreambuf_iterator<char>());
    return text.find("[always]") != std::string::npos || text.find("[madvise]") != std::string::npos;
}

// Releasing the unused part of the last region keeps everything allocated before it, and the
// arena goes on allocating after it; where the arena maps regions, the process holds less.
TEST(ArenaTest, ReleasingUnusedMemoryKeepsWhatWasAllocated) {
    Arena arena;
    std::vector<unsigned char*> pieces;
    auto fill = [&](std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            auto* data = static_cast<unsigned char*>(arena.allocate(1000));
            std::memset(data, static_cast<int>(pieces.size() % 251), 1000);
            pieces.push_back(data);
        }
    };
    fill(1500);  // past the first MiB, into a region
    const std::size_t before = resident_bytes();
    arena.release_unused();
    if (huge_pages_on_request()) {
        EXPECT_LE(resident_bytes() + (1u << 20), before);
    }
    arena.release_unused();
    fill(3000);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        for (std::size_t j = 0; j < 1000; ++j) ASSERT_EQ(pieces[i][j], i % 251) << i;
    }
}

struct Counted : ArenaAllocated {
    explicit Counted(int& destroyed) : destroyed(destroyed) {}
    ~Counted() { ++destroyed; }
    int& destroyed;
    char payload[40] = {};
};

// Objects made in a scope, in a nested one, after it and outside any are each destroyed once
// by their owner (the sanitizer build sees a heap object that is not freed, or an arena object
// that is).
TEST(ArenaTest, ObjectsAreDestroyedByTheirOwnersWhereverTheyLive) {
    int destroyed = 0;
    auto outside = std::make_unique<Counted>(destroyed);
    {
        Arena outer;
        Arena inner;
        std::vector<std::unique_ptr<Counted>> owned;
        {
            const ArenaScope in_outer(outer);
            owned.push_back(std::make_unique<Counted>(destroyed));
            {
                const ArenaScope in_inner(inner);
                owned.push_back(std::make_unique<Counted>(destroyed));
            }
            owned.push_back(std::make_unique<Counted>(destroyed));
        }
        owned.push_back(std::make_unique<Counted>(destroyed));
        owned.clear();
        EXPECT_EQ(destroyed, 4);
    }
    outside.reset();
    EXPECT_EQ(destroyed, 5);
}

// Objects in a region the arena maps go without the word that tells arena from heap (they sit
// side by side), and are still told apart from heap objects when their owners delete them.
TEST(ArenaTest, ObjectsInMappedRegionsAreToldByTheirAddress) {
    int destroyed = 0;
    Arena arena;
    arena.allocate(std::size_t{1} << 20);  // the arena now maps its regions
    std::vector<std::unique_ptr<Counted>> owned;
    {
        const ArenaScope scope(arena);
        for (int i = 0; i < 3; ++i) owned.push_back(std::make_unique<Counted>(destroyed));
    }
    if (huge_pages_on_request()) {
        const auto* first = reinterpret_cast<const char*>(owned[0].get());
        EXPECT_EQ(reinterpret_cast<const char*>(owned[1].get()), first + sizeof(Counted));
    }
    owned.push_back(std::make_unique<Counted>(destroyed));  // on the heap
    owned.clear();
    EXPECT_EQ(destroyed, 4);
}

// A list keeps its elements in the arena current when it allocates: one begun in a scope and
// grown after it holds blocks of both homes in turn, and lists swapped between homes free only
// what came from the heap (the sanitizer build sees any other free, or a leak).
TEST(ArenaTest, ListsLiveWhereTheyAllocate) {
    Arena arena;
    ArenaVector<std::string> in_arena;
    ArenaVector<std::string> on_heap{"heap"};
    {
        const ArenaScope scope(arena);
        for (int i = 0; i < 20; ++i) in_arena.push_back("element " + std::to_string(i) + " long enough for the heap");
    }
    for (int i = 20; i < 40; ++i) in_arena.push_back("element " + std::to_string(i));
    std::swap(in_arena, on_heap);
    ASSERT_EQ(on_heap.size(), 40u);
    EXPECT_EQ(on_heap[39], "element 39");
    EXPECT_EQ(in_arena, ArenaVector<std::string>{"heap"});
    in_arena = std::move(on_heap);
    EXPECT_EQ(in_arena.front(), "element 0 long enough for the heap");
}

}  // namespace
}  // namespace veskora::support
