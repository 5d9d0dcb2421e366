// Memory for the containers of a tree of values made in one go and dropped in one go. The HOCON
// library stands alone, so it has no memory scheme of its own beyond this: a caller that reads a
// large document may hand the reader a source (the engine hands it an arena), and every array,
// object and node of the tree is then made from that source, which goes when the last container
// made from it does. Without a source, containers use the heap as any std::vector does.
#pragma once

#include <atomic>
#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace hocon {

// A source of memory that is never given back piece by piece, only all at once when the source
// is destroyed. It is made with new and held by every container made from it (and by whoever
// made it, through a TreeAllocator), and deletes itself when the last holder lets go. A source is
// drawn on by one thread at a time: the thread that builds the tree.
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

// The allocator of the value tree's containers: the heap, or a source that it holds for as long
// as it lives. A container made with a source takes all its memory from it and frees none of it
// itself. A copy of a container uses the heap, so that a copy made anywhere, on any thread, owes
// the source nothing; a moved container keeps its source, and the one it was moved from is left
// on the heap.
template <class T>
class TreeAllocator {
public:
    using value_type = T;
    using propagate_on_container_move_assignment = std::true_type;
    using propagate_on_container_swap = std::true_type;

    TreeAllocator() noexcept = default;
    explicit TreeAllocator(TreeMemory* memory) noexcept : memory_(memory) { TreeMemory::hold(memory_); }
    TreeAllocator(const TreeAllocator& other) noexcept : memory_(other.memory_) { TreeMemory::hold(memory_); }
    TreeAllocator(TreeAllocator&& other) noexcept : memory_(std::exchange(other.memory_, nullptr)) {}
    template <class U>
    TreeAllocator(const TreeAllocator<U>& other) noexcept : memory_(other.memory_) {
        TreeMemory::hold(memory_);
    }
    TreeAllocator& operator=(const TreeAllocator& other) noexcept {
        TreeMemory::hold(other.memory_);
        TreeMemory::let_go(std::exchange(memory_, other.memory_));
        return *this;
    }
    TreeAllocator& operator=(TreeAllocator&& other) noexcept {
        if (this != &other) TreeMemory::let_go(std::exchange(memory_, std::exchange(other.memory_, nullptr)));
        return *this;
    }
    ~TreeAllocator() { TreeMemory::let_go(memory_); }

    TreeAllocator select_on_container_copy_construction() const { return TreeAllocator(); }

    // The source, or null for the heap.
    TreeMemory* memory() const noexcept { return memory_; }

    T* allocate(std::size_t count) {
        static_assert(alignof(T) <= 8, "tree memory aligns to eight bytes");
        const std::size_t bytes = count * sizeof(T);
        return static_cast<T*>(memory_ != nullptr ? memory_->allocate(bytes) : ::operator new(bytes));
    }
    // Equal allocators hold the same source, so the one that frees knows where the memory came from.
    void deallocate(T* elements, std::size_t) noexcept {
        if (memory_ == nullptr) ::operator delete(elements);
    }

    template <class U>
    bool operator==(const TreeAllocator<U>& other) const noexcept {
        return memory_ == other.memory_;
    }

private:
    template <class U>
    friend class TreeAllocator;

    TreeMemory* memory_ = nullptr;
};

}  // namespace hocon
