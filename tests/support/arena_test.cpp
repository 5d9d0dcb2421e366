#include "support/arena.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace veskora::support {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

// Allocations of every size, also larger than any block, are aligned, writable and disjoint,
// in the blocks of a small arena and in the regions a large one maps, whatever the kernel offers.
TEST(ArenaTest, AllocationsAreAlignedAndDisjoint) {
    for (const Arena::Regions regions : {Arena::Regions::where_huge_pages, Arena::Regions::always}) {
        Arena arena(regions);
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

// Past its first MiB an arena fills a mapped region; releasing the unused part of it keeps
// everything allocated before, gives the rest of the region up, and the arena goes on allocating
// after it. Where huge pages fault the whole region in, the process then holds less.
TEST(ArenaTest, ReleasingUnusedMemoryKeepsWhatWasAllocated) {
    Arena arena(Arena::Regions::always);
    std::vector<unsigned char*> pieces;
    auto fill = [&](std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            auto* data = static_cast<unsigned char*>(arena.allocate(1000));
            std::memset(data, static_cast<int>(pieces.size() % 251), 1000);
            pieces.push_back(data);
        }
    };
    fill(1500);  // past the first MiB, into a region
    const std::size_t held = arena.held();
    const std::size_t resident = resident_bytes();
    arena.release_unused();
    EXPECT_LE(arena.held() + kMiB, held) << "the region's unused part is given up";
    if (huge_pages_on_request()) {
        EXPECT_LE(resident_bytes() + kMiB, resident);
    }
    const std::size_t released = arena.held();
    arena.release_unused();
    EXPECT_EQ(arena.held(), released);
    fill(3000);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        for (std::size_t j = 0; j < 1000; ++j) ASSERT_EQ(pieces[i][j], i % 251) << i;
    }
}

// An arena of heap blocks has no region to release from: what it holds stays, and stays whole.
TEST(ArenaTest, ReleasingUnusedMemoryOfHeapBlocksKeepsThem) {
    Arena arena(Arena::Regions::always);
    auto* data = static_cast<unsigned char*>(arena.allocate(3000));
    std::memset(data, 7, 3000);
    const std::size_t held = arena.held();
    arena.release_unused();
    EXPECT_EQ(arena.held(), held);
    for (std::size_t i = 0; i < 3000; ++i) ASSERT_EQ(data[i], 7) << i;
}

struct Counted {
    Counted(std::vector<int>& destroyed, int id) : destroyed(destroyed), id(id) {}
    Counted(std::vector<int>& destroyed, int id, bool fail) : destroyed(destroyed), id(id) {
        if (fail) throw std::runtime_error("not made");
    }
    ~Counted() { destroyed.push_back(id); }
    std::vector<int>& destroyed;
    int id;
    char payload[40] = {};
};

struct Plain {
    int value;
};

// What an arena makes with a destructor is destroyed by the arena, once, newest first; trivially
// destructible objects beside them are made as well, and one whose constructor throws is not
// destroyed (the sanitizer build sees a destructor run on freed memory, or twice).
TEST(ArenaTest, DestroysWhatItMadeNewestFirst) {
    std::vector<int> destroyed;
    {
        Arena arena;
        std::vector<ArenaPtr<Counted>> made;
        for (int id = 0; id < 300; ++id) {
            made.push_back(arena.make<Counted>(destroyed, id));
            EXPECT_EQ(arena.make<Plain>(id)->value, id);
            if (id % 100 == 50) {
                EXPECT_THROW(arena.make<Counted>(destroyed, -1, true), std::runtime_error);
            }
        }
        arena.allocate(2 * kMiB);
        made.push_back(arena.make<Counted>(destroyed, 300));
        for (int id = 0; id <= 300; ++id) EXPECT_EQ(made[static_cast<std::size_t>(id)]->id, id);
        EXPECT_TRUE(destroyed.empty());
    }
    ASSERT_EQ(destroyed.size(), 301u);
    for (std::size_t i = 0; i < destroyed.size(); ++i) EXPECT_EQ(destroyed[i], 300 - static_cast<int>(i));
}

// A list in an arena grows, takes elements in any place and keeps them in order, as a
// std::vector does: the same steps on both give the same elements, also where a step names an
// element of the list itself.
TEST(ArenaTest, ListsKeepTheirElementsAsTheyGrow) {
    Arena arena;
    ArenaVector<ArenaVector<int>> lists(arena);
    std::vector<std::vector<int>> expected;
    for (int i = 0; i < 200; ++i) {
        const std::size_t at = i % 3 == 0 ? 0 : i % 3 == 1 ? lists.size() : lists.size() / 2;
        ArenaVector<int> list(arena);
        for (int j = 0; j <= i % 7; ++j) list.push_back(i * 10 + j);
        lists.emplace(lists.begin() + at, std::move(list));
        expected.insert(expected.begin() + static_cast<std::ptrdiff_t>(at), std::vector<int>());
        for (int j = 0; j <= i % 7; ++j) expected[at].push_back(i * 10 + j);
        EXPECT_TRUE(list.empty());
    }
    ArenaVector<int> numbers(arena);
    for (int i = 0; i < 100; ++i) numbers.push_back(i);
    for (int i = 0; i < 100; ++i) numbers.emplace_back(numbers[static_cast<std::size_t>(i)]);
    numbers.emplace(numbers.begin() + 5, numbers.back());
    numbers.shrink_to(150);

    ASSERT_EQ(lists.size(), expected.size());
    for (std::size_t i = 0; i < lists.size(); ++i) {
        EXPECT_EQ(std::vector<int>(lists[i].begin(), lists[i].end()), expected[i]) << i;
    }
    ASSERT_EQ(numbers.size(), 150u);
    EXPECT_EQ(numbers[5], 99);
    EXPECT_EQ(numbers[6], 5);
    EXPECT_EQ(numbers[149], 48);
    numbers.assign(3, 7);
    EXPECT_EQ(std::vector<int>(numbers.begin(), numbers.end()), (std::vector<int>{7, 7, 7}));
}

// A thread's next arena takes the heap blocks its freed arenas kept, and its kept blocks are
// freed when it ends (the leak checker of the sanitizer build sees any that are not).
TEST(ArenaTest, FreedBlocksServeTheThreadsNextArena) {
    std::thread([] {
        void* first = nullptr;
        {
            Arena arena;
            first = arena.allocate(8);
        }
        Arena next;
        EXPECT_EQ(next.allocate(8), first);
        for (int i = 0; i < 100; ++i) next.allocate(1000);
    }).join();
}

// A child forked while another thread makes and frees arenas without pause makes and frees its
// own: no cached block is left locked or half linked by the other thread.
TEST(ArenaTest, AForkedChildMakesArenasWhileAnotherThreadDid) {
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            Arena arena;
            arena.allocate(8);
        }
    });
    for (int round = 0; round < 20; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 0; i < 10; ++i) {
                Arena arena;
                for (int j = 0; j < 40; ++j) arena.allocate(1000);
            }
            ::_exit(0);
        }
        int status = 0;
        pid_t done = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while ((done = ::waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (done == 0) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            ADD_FAILURE() << "the child of round " << round << " hangs";
            break;
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << round;
    }
    stop = true;
    churn.join();
}

}  // namespace
}  // namespace veskora::support
