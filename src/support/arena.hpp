// Arena: memory for the many small objects of one compiled ruleset, taken from shared blocks
// and given back all at once. ArenaScope makes an arena the one that the objects derived from
// ArenaAllocated (the compiled nodes) come from while they are made on this thread.
#pragma once

#include <cstddef>
#include <vector>

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

    // `bytes` as allocate() gives them, but only from a region whose address tells it from the
    // heap (see allocate_in_arena_or_heap); null while the arena takes blocks from the heap.
    void* allocate_in_marked_region(std::size_t bytes);

    // Gives the system back the pages of the newest mapped region that nothing was allocated
    // in, for an arena that is done growing; a later allocation takes a new block.
    void release_unused();

private:
    struct Block;
    // The room a block keeps at its start for the Block that lists it.
    static constexpr std::size_t kBlockHeader = 24;

    // Whether a block with room for `bytes` is a region the arena maps.
    bool maps_regions(std::size_t bytes) const;
    // Starts a block with room for `bytes` more.
    void grow(std::size_t bytes);
    // Starts a mapped region with room for `bytes` more; false when the system maps none.
    bool map(std::size_t bytes);
    void start_block(void* memory, std::size_t size, bool mapped);

    Block* blocks_ = nullptr;  // the newest first
    char* next_ = nullptr;     // the free part of the newest block
    char* end_ = nullptr;
    std::size_t block_size_ = 0;  // of the newest block taken from the heap
    std::size_t held_ = 0;        // the size of every block
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

// The memory behind ArenaAllocated and ArenaAllocator: `bytes` from the current arena when there
// is one, else from the heap; released by release_arena_or_heap, which frees only what came from
// the heap. Memory in an arena's mapped regions is told by its address; any other has a word
// before it that says which.
void* allocate_in_arena_or_heap(std::size_t bytes);
void release_arena_or_heap(void* memory) noexcept;

// A base for objects made by the hundred thousand and owned by std::unique_ptr like any other:
// made while an arena is current, they live in it, and their delete runs their destructor but
// frees nothing (the arena frees the block they share with thousands of others); made
// elsewhere, they live on the heap as usual.
struct ArenaAllocated {
    static void* operator new(std::size_t bytes) { return allocate_in_arena_or_heap(bytes); }
    static void operator delete(void* object) noexcept { release_arena_or_heap(object); }
};

// The same for the lists those objects hold: a list made while an arena is current keeps its
// elements there, so a ruleset's lists cost neither a malloc nor a free each.
template <class T>
struct ArenaAllocator {
    using value_type = T;

    ArenaAllocator() = default;
    template <class U>
    constexpr ArenaAllocator(const ArenaAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        static_assert(alignof(T) <= 8, "the arena aligns to eight bytes");
        return static_cast<T*>(allocate_in_arena_or_heap(count * sizeof(T)));
    }
    void deallocate(T* elements, std::size_t) noexcept { release_arena_or_heap(elements); }

    friend bool operator==(const ArenaAllocator&, const ArenaAllocator&) { return true; }
};

template <class T>
using ArenaVector = std::vector<T, ArenaAllocator<T>>;

}  // namespace veskora::support
