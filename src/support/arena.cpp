// Blocks of the arena grow from 4 KiB to 32 KiB: small enough that the C library takes them from
// its heap and reuses them for the next ruleset, where blocks of its mapping size (128 KiB and
// up) were mapped afresh and faulted in page by page on every load. The word before each
// ArenaAllocated object tells arena from heap.
#include "support/arena.hpp"

#include <algorithm>
#include <new>
#include <utility>

namespace veskora::support {

namespace {

constexpr std::size_t kAlignment = 8;
constexpr std::size_t kFirstBlock = std::size_t{4} << 10;
constexpr std::size_t kLargestBlock = std::size_t{32} << 10;

constexpr std::size_t aligned(std::size_t bytes) { return (bytes + kAlignment - 1) & ~(kAlignment - 1); }

thread_local Arena* current_arena = nullptr;

// The word before an ArenaAllocated object.
enum class Home : std::size_t { Heap, Arena };
constexpr std::size_t kHeader = aligned(sizeof(Home));

}  // namespace

struct Arena::Block {
    Block* previous;
};

Arena::Arena(Arena&& other) noexcept
    : blocks_(std::exchange(other.blocks_, nullptr)),
      next_(std::exchange(other.next_, nullptr)),
      end_(std::exchange(other.end_, nullptr)),
      block_size_(std::exchange(other.block_size_, 0)) {}

Arena& Arena::operator=(Arena&& other) noexcept {
    std::swap(blocks_, other.blocks_);
    std::swap(next_, other.next_);
    std::swap(end_, other.end_);
    std::swap(block_size_, other.block_size_);
    return *this;
}

Arena::~Arena() {
    while (blocks_ != nullptr) ::operator delete(std::exchange(blocks_, blocks_->previous));
}

void* Arena::allocate(std::size_t bytes) {
    bytes = aligned(bytes);
    if (static_cast<std::size_t>(end_ - next_) < bytes) {
        constexpr std::size_t header = aligned(sizeof(Block));
        block_size_ = std::max(block_size_ == 0 ? kFirstBlock : std::min(2 * block_size_, kLargestBlock),
                               header + bytes);
        auto* block = static_cast<char*>(::operator new(block_size_));
        blocks_ = new (block) Block{blocks_};
        next_ = block + header;
        end_ = block + block_size_;
    }
    return std::exchange(next_, next_ + bytes);
}

ArenaScope::ArenaScope(Arena& arena) : previous_(std::exchange(current_arena, &arena)) {}

ArenaScope::~ArenaScope() { current_arena = previous_; }

void* allocate_in_arena_or_heap(std::size_t bytes) {
    const Home home = current_arena != nullptr ? Home::Arena : Home::Heap;
    void* memory = home == Home::Arena ? current_arena->allocate(kHeader + bytes) : ::operator new(kHeader + bytes);
    *static_cast<Home*>(memory) = home;
    return static_cast<char*>(memory) + kHeader;
}

void release_arena_or_heap(void* object) noexcept {
    if (object == nullptr) return;
    void* memory = static_cast<char*>(object) - kHeader;
    if (*static_cast<Home*>(memory) == Home::Heap) ::operator delete(memory);
}

}  // namespace veskora::support
