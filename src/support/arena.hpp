// Arena: memory for the many small objects of one compiled ruleset, taken from shared blocks
// and given back all at once. ArenaScope makes an arena the one that the objects derived from
// ArenaAllocated (the compiled nodes) come from while they are made on this thread.
#pragma once

#include <cstddef>

namespace veskora::support {

class Arena {
public:
    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    Arena(Arena&& other) noexcept;
    // Swaps, so the blocks this arena held stay alive until the other one is destroyed: the
    // owner of an arena assigns its objects after the arena, and they still live in those blocks.
    Arena& operator=(Arena&& other) noexcept;
    ~Arena();

    // `bytes` of memory aligned to eight bytes, valid until the arena is destroyed.
    void* allocate(std::size_t bytes);

private:
    struct Block;

    Block* blocks_ = nullptr;  // the newest first
    char* next_ = nullptr;     // the free part of the newest block
    char* end_ = nullptr;
    std::size_t block_size_ = 0;  // of the newest block
};

// Makes `arena` the current one of this thread for the scope's life; scopes nest.
class ArenaScope {
public:
    explicit ArenaScope(Arena& arena);
    ArenaScope(const ArenaScope&) = delete;
    ArenaScope& operator=(const ArenaScope&) = delete;
    ~ArenaScope();

private:
    Arena* previous_;
};

// A base for objects made by the hundred thousand and owned by std::unique_ptr like any other:
// made while an arena is current, they live in it, and their delete runs their destructor but
// frees nothing (the arena frees the block they share with thousands of others); made
// elsewhere, they live on the heap as usual. A word before each object says which.
struct ArenaAllocated {
    static void* operator new(std::size_t bytes);
    static void operator delete(void* object) noexcept;
};

}  // namespace veskora::support
