// Arena: memory for the many small objects of one compiled ruleset (or one loaded document),
// taken from shared blocks and given back all at once. Whatever is made in an arena is owned by
// it: ArenaPtr and ArenaVector say so in their types, and nothing made there is freed on its own.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace veskora::support {

template <class T>
class ArenaPtr;

class Arena {
public:
    // When an arena past its first MiB maps regions: where the kernel offers transparent huge pages
    // (else reused heap blocks fault less than fresh regions), or always, for tests on any kernel.
    enum class Regions { where_huge_pages, always };

    explicit Arena(Regions regions = Regions::where_huge_pages) : regions_(regions) {}
    // An arena stays where it was made: the lists made in it refer to it.
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    // Destroys what it made that has a destructor, newest first, then frees its memory.
    ~Arena();

    // `bytes` of memory aligned to eight bytes, valid until the arena is destroyed.
    void* allocate(std::size_t bytes);

    // Room for `count` objects of type T, not yet made.
    template <class T>
    T* allocate_array(std::size_t count) {
        static_assert(alignof(T) <= kAlignment, "the arena aligns to eight bytes");
        if (count > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(allocate(count * sizeof(T)));
    }

    // A T made from `args` in the arena. One that is not trivially destructible is destroyed by
    // the arena, before the memory of everything made before it goes.
    template <class T, class... Args>
    ArenaPtr<T> make(Args&&... args);

    // Gives the system back the pages of the newest mapped region that nothing was allocated
    // in, for an arena that is done growing; a later allocation takes a new block.
    void release_unused();

    // The bytes of the blocks and regions the arena holds.
    std::size_t held() const { return held_; }

private:
    static constexpr std::size_t kAlignment = 8;

    struct Block;
    // The room a block keeps at its start for the Block that lists it.
    static constexpr std::size_t kBlockHeader = 24;
    // An object to destroy with the arena; it sits just before the object.
    struct Finalizer {
        Finalizer* previous;  // the one listed before
        void (*destroy)(void* object);
    };

    // Whether a block with room for `bytes` is a region the arena maps.
    bool maps_regions(std::size_t bytes) const;
    // Starts a block with room for `bytes` more.
    void grow(std::size_t bytes);
    // Starts a mapped region with room for `bytes` more; false when the system maps none.
    bool map(std::size_t bytes);
    void start_block(void* memory, std::size_t size, bool mapped);

    Regions regions_;
    Block* blocks_ = nullptr;  // the newest first
    char* next_ = nullptr;     // the free part of the newest block
    char* end_ = nullptr;
    std::size_t block_size_ = 0;  // of the newest block taken from the heap
    std::size_t held_ = 0;        // the size of every block
    Finalizer* finalizers_ = nullptr;
};

// An object made in an arena: a pointer that the arena's destruction alone ends. Copies are
// further views of the one object; there is nothing to delete.
template <class T>
class ArenaPtr {
public:
    ArenaPtr() = default;
    ArenaPtr(std::nullptr_t) {}
    template <class U>
        requires std::convertible_to<U*, T*>
    ArenaPtr(ArenaPtr<U> other) : object_(other.get()) {}

    T* get() const { return object_; }
    T& operator*() const { return *object_; }
    T* operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

private:
    friend class Arena;
    explicit ArenaPtr(T* object) : object_(object) {}

    T* object_ = nullptr;
};

template <class T, class... Args>
ArenaPtr<T> Arena::make(Args&&... args) {
    static_assert(alignof(T) <= kAlignment, "the arena aligns to eight bytes");
    if constexpr (std::is_trivially_destructible_v<T>) {
        return ArenaPtr<T>(new (allocate(sizeof(T))) T(std::forward<Args>(args)...));
    } else {
        static_assert(sizeof(Finalizer) % kAlignment == 0);
        void* memory = allocate(sizeof(Finalizer) + sizeof(T));
        T* object = new (static_cast<char*>(memory) + sizeof(Finalizer)) T(std::forward<Args>(args)...);
        // Listed once made: an object whose constructor threw is not destroyed again.
        finalizers_ = new (memory) Finalizer{finalizers_, [](void* made) { static_cast<T*>(made)->~T(); }};
        return ArenaPtr<T>(object);
    }
}

// A list whose elements live in the arena it is made with: it grows as a std::vector does, and
// what it outgrows stays in the arena until the arena goes. Its elements are trivially
// destructible, so neither the list nor the arena has anything to destroy. A moved-from list is
// empty.
template <class T>
class ArenaVector {
public:
    using iterator = T*;
    using const_iterator = const T*;

    explicit ArenaVector(Arena& arena) : arena_(&arena) {}
    ArenaVector(ArenaVector&& other) noexcept : arena_(other.arena_) { *this = std::move(other); }
    ArenaVector& operator=(ArenaVector&& other) noexcept {
        arena_ = other.arena_;
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        return *this;
    }

    Arena& arena() const { return *arena_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const T* data() const { return data_; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    const T& front() const { return data_[0]; }
    const T& back() const { return data_[size_ - 1]; }

    // Room for `count` elements in all, so that adding up to them moves none.
    void reserve(std::size_t count) {
        if (count > capacity_) move_into(room(count));
    }

    template <class... Args>
    T& emplace_back(Args&&... args) {
        if (size_ < capacity_) return *new (data_ + size_++) T(std::forward<Args>(args)...);
        // Made in the new room before the elements move there: `args` may name one of them.
        T* data = room(larger());
        T* element = new (data + size_) T(std::forward<Args>(args)...);
        move_into(data);
        ++size_;
        return *element;
    }
    void push_back(const T& element) { emplace_back(element); }
    void push_back(T&& element) { emplace_back(std::move(element)); }

    // Makes an element before `position`, moving those from there on up by one.
    template <class... Args>
    T* emplace(const T* position, Args&&... args) {
        const auto index = static_cast<std::size_t>(position - data_);
        T element(std::forward<Args>(args)...);
        if (index == size_) return &emplace_back(std::move(element));
        emplace_back(std::move(data_[size_ - 1]));
        std::move_backward(data_ + index, data_ + size_ - 2, data_ + size_ - 1);
        data_[index] = std::move(element);
        return data_ + index;
    }

    // Keeps the first `count` elements.
    void shrink_to(std::size_t count) {
        if (count < size_) size_ = static_cast<std::uint32_t>(count);
    }

    // `count` copies of `value`.
    void assign(std::size_t count, const T& value) {
        shrink_to(0);
        reserve(count);
        while (size_ < count) emplace_back(value);
    }

private:
    std::size_t larger() const { return capacity_ == 0 ? 4 : 2 * std::size_t{capacity_}; }

    // Room for `capacity` elements, which becomes the list's capacity.
    T* room(std::size_t capacity) {
        static_assert(std::is_trivially_destructible_v<T>, "the arena destroys nothing in its lists");
        if (capacity > UINT32_MAX) throw std::length_error("ArenaVector: too many elements");
        T* data = arena_->allocate_array<T>(capacity);
        capacity_ = static_cast<std::uint32_t>(capacity);
        return data;
    }
    // Moves the elements into `data`, from room(); the old room stays in the arena, unused.
    void move_into(T* data) {
        for (std::size_t i = 0; i < size_; ++i) new (data + i) T(std::move(data_[i]));
        data_ = data;
    }

    Arena* arena_;
    T* data_ = nullptr;
    std::uint32_t size_ = 0;
    std::uint32_t capacity_ = 0;
};

}  // namespace veskora::support
