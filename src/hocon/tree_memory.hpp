// Memory for the containers of a tree of values made in one go and dropped in one go: while a
// TreeMemoryScope is open on a thread, the arrays and objects made there draw on its memory, and
// that memory goes at once when the last container holding a part of it does.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace hocon {

// A source of memory that is never given back piece by piece, only all at once when the source
// is destroyed. Backed by regions mapped in huge pages, it spares the read of a large document a
// malloc and a free for each container and a heap faulted in 4 KiB at a time. A source is held by
// the scope that opened it and by every container that uses it, and goes with the last of them.
class TreeMemory {
public:
    TreeMemory() = default;
    TreeMemory(const TreeMemory&) = delete;
    TreeMemory& operator=(const TreeMemory&) = delete;
    virtual ~TreeMemory() = default;

    // `bytes` aligned to eight bytes, valid until the source is destroyed.
    virtual void* allocate(std::size_t bytes) = 0;

    static void hold(TreeMemory* memory) noexcept {
        if (memory != nullptr) memory->holders_.fetch_add(1, std::memory_order_relaxed);
    }
    static void let_go(TreeMemory* memory) noexcept {
        if (memory != nullptr && memory->holders_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete memory;
    }

private:
    std::atomic<std::size_t> holders_{0};
};

// Makes `memory` the source of this thread's containers for the scope's life; scopes nest.
class TreeMemoryScope {
public:
    explicit TreeMemoryScope(std::unique_ptr<TreeMemory> memory);
    TreeMemoryScope(const TreeMemoryScope&) = delete;
    TreeMemoryScope& operator=(const TreeMemoryScope&) = delete;
    ~TreeMemoryScope();

private:
    TreeMemory* memory_;
    TreeMemory* previous_;
};

namespace detail {
// The source of the scope open on this thread, null when there is none.
TreeMemory* current_tree_memory() noexcept;
// `bytes` from `memory` (not null) while it is the current source of this thread, which alone
// may draw on it, else from the heap, with a word before them that says which; released by
// release_tree_memory, which frees only what came from the heap.
void* allocate_tree_memory(TreeMemory& memory, std::size_t bytes);
void release_tree_memory(void* memory) noexcept;
}  // namespace detail

// The allocator of the value tree's containers. It holds the source that was current where it
// was made, and keeps that source alive while it is; a copy of a container takes the source
// current where the copy is made, and a moved or swapped container keeps its source.
template <class T>
class TreeAllocator {
public:
    using value_type = T;
    using propagate_on_container_move_assignment = std::true_type;
    using propagate_on_container_swap = std::true_type;

    TreeAllocator() noexcept : memory_(detail::current_tree_memory()) { TreeMemory::hold(memory_); }
    TreeAllocator(const TreeAllocator& other) noexcept : memory_(other.memory_) { TreeMemory::hold(memory_); }
    template <class U>
    TreeAllocator(const TreeAllocator<U>& other) noexcept : memory_(other.memory_) {
        TreeMemory::hold(memory_);
    }
    TreeAllocator& operator=(const TreeAllocator& other) noexcept {
        TreeMemory::hold(other.memory_);
        TreeMemory::let_go(std::exchange(memory_, other.memory_));
        return *this;
    }
    ~TreeAllocator() { TreeMemory::let_go(memory_); }

    TreeAllocator select_on_container_copy_construction() const { return TreeAllocator(); }

    T* allocate(std::size_t count) {
        static_assert(alignof(T) <= 8, "tree memory aligns to eight bytes");
        const std::size_t bytes = count * sizeof(T);
        return static_cast<T*>(memory_ != nullptr ? detail::allocate_tree_memory(*memory_, bytes)
                                                  : ::operator new(bytes));
    }
    // Equal allocators hold the same source, so the one that frees knows where the memory came from.
    void deallocate(T* elements, std::size_t) noexcept {
        if (memory_ != nullptr)
            detail::release_tree_memory(elements);
        else
            ::operator delete(elements);
    }

    template <class U>
    bool operator==(const TreeAllocator<U>& other) const noexcept {
        return memory_ == other.memory_;
    }

private:
    template <class U>
    friend class TreeAllocator;

    TreeMemory* memory_;
};

}  // namespace hocon
