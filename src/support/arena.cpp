// Blocks of the arena grow from 4 KiB to 32 KiB: small enough that the C library takes them from
// its heap, where blocks of its mapping size (128 KiB and up) were mapped afresh and faulted in
// page by page on every load; the blocks of a freed arena are kept for the next one. An arena
// that grows past 1 MiB (a ruleset of a few hundred KiB and up), or is asked for a MiB at once
// (the elements of a large array), takes the rest as regions of its own, mapped in 2 MiB huge
// pages where the system offers them on request: one fault then brings in 2 MiB where the heap's
// pages came in one 4 KiB fault at a time, the dearest part of loading a large ruleset, and
// freeing the ruleset gives them straight back.
#include "support/arena.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <string_view>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#define VESKORA_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VESKORA_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef VESKORA_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

namespace veskora::support {

namespace {

// Room a small arena leaves unused against mallocs taken; chosen by load_bench BM_Load/plain/100.
constexpr std::size_t kFirstBlock = std::size_t{4} << 10;
// Fewer mallocs against nearing the C library's mapping size; chosen by load_bench BM_Load/plain/1024.
constexpr std::size_t kLargestBlock = std::size_t{32} << 10;
// Reused heap blocks against one fault per huge page; chosen by load_bench BM_Load/plain/1024, /10240.
constexpr std::size_t kMappedAfter = std::size_t{1} << 20;
// Faults spared the next load against memory held idle; chosen by load_bench BM_Load/plain/100.
constexpr std::size_t kCachedBytes = std::size_t{2} << 20;

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kPage = std::size_t{4} << 10;

// `bytes` rounded up to a multiple of `unit`, a power of two.
constexpr std::size_t round_up(std::size_t bytes, std::size_t unit) { return (bytes + unit - 1) & ~(unit - 1); }

// Whether the kernel backs memory with transparent huge pages, always or where asked.
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

// Heap blocks of arenas that are gone, kept for the arenas that come next on the same thread. A
// small ruleset takes a few dozen blocks, and when they went back to the C library it gave the
// pages at the top of its heap back to the system after every free, so that every load faulted
// them in again. Each thread keeps its own, so nothing is locked: the child of a fork finds the
// forking thread's blocks as that thread left them, and the other threads' merely unused. A
// thread's blocks are freed when it ends; an arena freed after that (held by a static object, on
// the way out of the process) frees its blocks at once.
class BlockCache {
public:
    // A kept block of `size` bytes, or null.
    static void* take(std::size_t size) {
        const int index = size_class(size);
        if (index < 0 || ended) return nullptr;
        Kept* block = mine.kept_[index];
        if (block == nullptr) return nullptr;
        hide(block, size, false);
        mine.kept_[index] = block->next;
        mine.held_ -= size;
        return block;
    }

    // Whether the block of `size` bytes at `memory` is kept; the caller frees it otherwise.
    static bool keep(void* memory, std::size_t size) {
        const int index = size_class(size);
        if (index < 0 || ended || mine.held_ + size > kCachedBytes) return false;
        Kept* block = mine.kept_[index] = new (memory) Kept{mine.kept_[index]};
        mine.held_ += size;
        hide(block, size, true);
        return true;
    }

    ~BlockCache() {
        ended = true;
        for (int index = 0; index < kClasses; ++index) {
            while (Kept* block = kept_[index]) {
                hide(block, kFirstBlock << index, false);
                kept_[index] = block->next;
                ::operator delete(block);
            }
        }
    }

private:
    static constexpr int kClasses = 4;  // kFirstBlock to kLargestBlock, doubling
    static_assert(kFirstBlock << (kClasses - 1) == kLargestBlock);

    struct Kept {
        Kept* next;
    };

    static int size_class(std::size_t size) {
        for (int index = 0; index < kClasses; ++index) {
            if (size == kFirstBlock << index) return index;
        }
        return -1;
    }

    // A kept block is out of bounds for the address sanitizer until an arena takes it again, so
    // that a node used after its ruleset was freed is still reported; all but the link, which the
    // leak checker follows.
    static void hide([[maybe_unused]] Kept* block, [[maybe_unused]] std::size_t size, [[maybe_unused]] bool hidden) {
#ifdef VESKORA_ADDRESS_SANITIZER
        (hidden ? __asan_poison_memory_region : __asan_unpoison_memory_region)(block + 1, size - sizeof(Kept));
#endif
    }

    static thread_local BlockCache mine;
    // Set as the thread's cache is destroyed, never to be touched again; plain data, it outlasts it.
    static constinit thread_local bool ended;

    Kept* kept_[kClasses] = {};
    std::size_t held_ = 0;
};

thread_local BlockCache BlockCache::mine;
constinit thread_local bool BlockCache::ended = false;

}  // namespace

struct Arena::Block {
    Block* previous;
    std::size_t size;
    bool mapped;  // a mapped region, or else a block from the heap
};

Arena::~Arena() {
    for (Finalizer* finalizer = finalizers_; finalizer != nullptr; finalizer = finalizer->previous) {
        finalizer->destroy(reinterpret_cast<char*>(finalizer) + sizeof(Finalizer));
    }
    while (blocks_ != nullptr) {
        Block* block = std::exchange(blocks_, blocks_->previous);
        const std::size_t size = block->size;
        if (block->mapped) {
            ::munmap(block, size);
        } else if (!BlockCache::keep(block, size)) {
            ::operator delete(block);
        }
    }
}

void* Arena::allocate(std::size_t bytes) {
    bytes = round_up(bytes, kAlignment);
    if (static_cast<std::size_t>(end_ - next_) < bytes) grow(bytes);
    return std::exchange(next_, next_ + bytes);
}

bool Arena::maps_regions(std::size_t bytes) const {
    return (held_ >= kMappedAfter || bytes >= kMappedAfter) &&
           (regions_ == Regions::always || huge_pages_offered());
}

void Arena::grow(std::size_t bytes) {
    if (maps_regions(bytes) && map(bytes)) return;
    block_size_ = std::max(block_size_ == 0 ? kFirstBlock : std::min(2 * block_size_, kLargestBlock),
                           kBlockHeader + bytes);
    void* block = BlockCache::take(block_size_);
    start_block(block != nullptr ? block : ::operator new(block_size_), block_size_, false);
}

bool Arena::map(std::size_t bytes) {
    // One huge page (more only for a larger allocation): the arena fills its regions in turn, so
    // no more than the last one's 2 MiB is ever unused.
    const std::size_t size = round_up(kBlockHeader + bytes, kHugePage);
    void* region = map_region(size);
    if (region == nullptr) return false;
    start_block(region, size, true);
    return true;
}

void Arena::start_block(void* memory, std::size_t size, bool mapped) {
    static_assert(sizeof(Block) <= kBlockHeader && kBlockHeader % kAlignment == 0);
    blocks_ = new (memory) Block{blocks_, size, mapped};
    held_ += size;
    next_ = static_cast<char*>(memory) + kBlockHeader;
    end_ = static_cast<char*>(memory) + size;
}

void Arena::release_unused() {
    if (blocks_ == nullptr || !blocks_->mapped) return;
    char* const start = reinterpret_cast<char*>(blocks_);
    char* const unused = start + round_up(static_cast<std::size_t>(next_ - start), kPage);
    if (unused >= end_) return;
    // The pages go back, the addresses stay the region's. Without the huge-page advice on them,
    // the kernel does not gather the emptied pages back into a huge page.
    const auto size = static_cast<std::size_t>(end_ - unused);
    ::madvise(unused, size, MADV_DONTNEED);
    ::madvise(unused, size, MADV_NOHUGEPAGE);
    held_ -= size;
    end_ = next_;
}

}  // namespace veskora::support
