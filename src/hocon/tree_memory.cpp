#include "hocon/tree_memory.hpp"

#include <new>

namespace hocon {

namespace {

thread_local TreeMemory* current_memory = nullptr;

// The word before each allocation: a container may outlive its scope, or move to another
// thread, and then takes what it needs from the heap.
enum class Home : std::size_t { Heap, Source };
constexpr std::size_t kHeader = sizeof(Home);

}  // namespace

TreeMemoryScope::TreeMemoryScope(std::unique_ptr<TreeMemory> memory)
    : memory_(memory.release()), previous_(current_memory) {
    TreeMemory::hold(memory_);
    current_memory = memory_;
}

TreeMemoryScope::~TreeMemoryScope() {
    current_memory = previous_;
    TreeMemory::let_go(memory_);
}

namespace detail {

TreeMemory* current_tree_memory() noexcept { return current_memory; }

void* allocate_tree_memory(TreeMemory& memory, std::size_t bytes) {
    const Home home = &memory == current_memory ? Home::Source : Home::Heap;
    void* block = home == Home::Source ? memory.allocate(kHeader + bytes) : ::operator new(kHeader + bytes);
    *static_cast<Home*>(block) = home;
    return static_cast<char*>(block) + kHeader;
}

void release_tree_memory(void* memory) noexcept {
    if (memory == nullptr) return;
    void* block = static_cast<char*>(memory) - kHeader;
    if (*static_cast<Home*>(block) == Home::Heap) ::operator delete(block);
}

}  // namespace detail
}  // namespace hocon
