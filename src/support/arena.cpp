// Blocks of the arena grow from 4 KiB to 32 KiB: small enough that the C library takes them from
// its heap and reuses them for the next ruleset, where blocks of its mapping size (128 KiB and
// up) were mapped afresh and faulted in page by page on every load. An arena that grows past
// 1 MiB (a ruleset of a few hundred KiB and up), or is asked for a MiB at once (the elements of a
// large array), takes the rest as regions of its own, mapped in
// 2 MiB huge pages where the system offers them on request: one fault then brings in 2 MiB where
// the heap's pages came in one 4 KiB fault at a time, the dearest part of loading a large
// ruleset, and freeing the ruleset gives them straight back. The word before each
// ArenaAllocated object tells arena from heap.
#include "support/arena.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <string_view>
#include <utility>

namespace veskora::support {

namespace {

constexpr std::size_t kAlignment = 8;
constexpr std::size_t kFirstBlock = std::size_t{4} << 10;
constexpr std::size_t kLargestBlock = std::size_t{32} << 10;

constexpr std::size_t kMappedAfter = std::size_t{1} << 20;
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kPage = std::size_t{4} << 10;

// `bytes` rounded up to a multiple of `unit`, a power of two.
constexpr std::size_t round_up(std::size_t bytes, std::size_t unit) { return (bytes + unit - 1) & ~(unit - 1); }
constexpr std::size_t aligned(std::size_t bytes) { return round_up(bytes, kAlignment); }

// Whether the kernel backs memory with transparent huge pages, always or where asked. Without
// them a region would be faulted in 4 KiB pages afresh on every load, which the heap's reuse of
// freed blocks spares, so the arena then keeps to the heap.
bool huge_pages_offered() {
    static const bool offered = [] {
        const int file = ::open("/sys/kernel/mm/transparent_hugepage/enabled", O_RDONLY | O_CLOEXEC);
        if (file < 0) return false;
        char text[128];
        const ssize_t length = ::read(file, text, sizeof text);
        ::close(file);
        if (length <= 0) return false;
        const std::string_view setting(text, static_cast<std::size_t>(length));
        return setting.find("[always]") != std::string_view::npos ||
               setting.find("[madvise]") != std::string_view::npos;
    }();
    return offered;
}

// `size` bytes (a multiple of kHugePage) at an address aligned to kHugePage, so that every
// 2 MiB of it can be one huge page; null when the system maps nothing.
void* map_region(std::size_t size) {
    void* raw = ::mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t region = round_up(start, kHugePage);
    if (region > start) ::munmap(raw, region - start);
    if (const std::size_t tail = start + size + kHugePage - (region + size); tail > 0) {
        ::munmap(reinterpret_cast<void*>(region + size), tail);
    }
    ::madvise(reinterpret_cast<void*>(region), size, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(region);
}

thread_local Arena* current_arena = nullptr;

// The word before an ArenaAllocated object.
enum class Home : std::size_t { Heap, Arena };
constexpr std::size_t kHeader = aligned(sizeof(Home));

}  // namespace

struct Arena::Block {
    Block* previous;
    std::size_t mapped;  // the size of a mapped region; 0 for a block from the heap
};

Arena::Arena(Arena&& other) noexcept
    : blocks_(std::exchange(other.blocks_, nullptr)),
      next_(std::exchange(other.next_, nullptr)),
      end_(std::exchange(other.end_, nullptr)),
      block_size_(std::exchange(other.block_size_, 0)),
      held_(std::exchange(other.held_, 0)) {}

Arena& Arena::operator=(Arena&& other) noexcept {
    std::swap(blocks_, other.blocks_);
    std::swap(next_, other.next_);
    std::swap(end_, other.end_);
    std::swap(block_size_, other.block_size_);
    std::swap(held_, other.held_);
    return *this;
}

Arena::~Arena() {
    while (blocks_ != nullptr) {
        Block* block = std::exchange(blocks_, blocks_->previous);
        if (block->mapped != 0) {
            ::munmap(block, block->mapped);
        } else {
            ::operator delete(block);
        }
    }
}

void* Arena::allocate(std::size_t bytes) {
    bytes = aligned(bytes);
    if (static_cast<std::size_t>(end_ - next_) < bytes) grow(bytes);
    return std::exchange(next_, next_ + bytes);
}

void Arena::grow(std::size_t bytes) {
    constexpr std::size_t header = aligned(sizeof(Block));
    void* memory = nullptr;
    std::size_t size = 0;
    std::size_t mapped = 0;
    if ((held_ >= kMappedAfter || bytes >= kMappedAfter) && huge_pages_offered()) {
        // One huge page (more only for a larger allocation): the arena fills its regions in
        // turn, so no more than the last one's 2 MiB is ever unused.
        size = round_up(header + bytes, kHugePage);
        memory = map_region(size);
        mapped = memory != nullptr ? size : 0;
    }
    if (memory == nullptr) {
        block_size_ = std::max(block_size_ == 0 ? kFirstBlock : std::min(2 * block_size_, kLargestBlock),
                               header + bytes);
        size = block_size_;
        memory = ::operator new(size);
    }
    blocks_ = new (memory) Block{blocks_, mapped};
    held_ += size;
    next_ = static_cast<char*>(memory) + header;
    end_ = static_cast<char*>(memory) + size;
}

void Arena::release_unused() {
    if (blocks_ == nullptr || blocks_->mapped == 0) return;
    const auto start = reinterpret_cast<std::uintptr_t>(blocks_);
    const std::size_t used = round_up(reinterpret_cast<std::uintptr_t>(next_) - start, kPage);
    if (used >= blocks_->mapped) return;
    ::munmap(reinterpret_cast<char*>(blocks_) + used, blocks_->mapped - used);
    held_ -= blocks_->mapped - used;
    blocks_->mapped = used;
    end_ = next_;
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
