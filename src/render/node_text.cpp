// The two forms of a literal text: in place, or a sized copy in the arena or on the heap.
#include "render/node_text.hpp"

#include <cstring>

#include "support/arena.hpp"

namespace veskora::render {

NodeText::NodeText(std::string_view text) {
    if (text.size() <= kInPlace) {
        std::memcpy(bytes_, text.data(), text.size());
        bytes_[kInPlace] = static_cast<unsigned char>(text.size());
        return;
    }
    auto* copy = static_cast<char*>(support::allocate_in_arena_or_heap(sizeof(std::size_t) + text.size()));
    const std::size_t size = text.size();
    std::memcpy(copy, &size, sizeof size);
    std::memcpy(copy + sizeof size, text.data(), size);
    std::memcpy(bytes_, &copy, sizeof copy);
    bytes_[kInPlace] = kOutOfPlace;
}

NodeText::~NodeText() {
    if (bytes_[kInPlace] != kOutOfPlace) return;
    char* copy = nullptr;
    std::memcpy(&copy, bytes_, sizeof copy);
    support::release_arena_or_heap(copy);
}

}  // namespace veskora::render
