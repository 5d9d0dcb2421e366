// The two forms of a compact text: in place, or a sized copy in an arena.
#include "support/compact_text.hpp"

#include <cstring>
#include <ostream>

#include "support/arena.hpp"

namespace veskora::support {

CompactText::CompactText(Arena& arena, std::string_view text) {
    if (text.size() <= kInPlace) {
        std::memcpy(bytes_, text.data(), text.size());
        bytes_[kInPlace] = static_cast<unsigned char>(text.size());
        return;
    }
    auto* copy = static_cast<char*>(arena.allocate(sizeof(std::size_t) + text.size()));
    const std::size_t size = text.size();
    std::memcpy(copy, &size, sizeof size);
    std::memcpy(copy + sizeof size, text.data(), size);
    std::memcpy(bytes_, &copy, sizeof copy);
    bytes_[kInPlace] = kOutOfPlace;
}

std::ostream& operator<<(std::ostream& out, const CompactText& text) { return out << text.view(); }

}  // namespace veskora::support
