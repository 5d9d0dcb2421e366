// CompactText: a text held in 16 bytes and read as a std::string_view, for the texts a ruleset
// holds by the ten thousand (the names of its maps, the members of its objects, the literal
// texts and names of its nodes). Texts too long to sit in place are copied into the arena the
// text is made with.
#pragma once

#include <compare>
#include <cstddef>
#include <cstring>
#include <iosfwd>
#include <string>
#include <string_view>
#include <type_traits>

namespace veskora::support {

class Arena;

// Up to 15 bytes of text in place, a longer text behind a pointer to a copy that starts with its
// size, made in the arena the text is made with, which owns it. Most such texts are short, and
// a std::string would take 32 bytes in each and a heap block of its own for every text longer
// than 15 bytes. Copies read the same text, valid while that arena is.
class CompactText {
public:
    CompactText(Arena& arena, std::string_view text);

    std::string_view view() const {
        if (bytes_[kInPlace] != kOutOfPlace) return {reinterpret_cast<const char*>(bytes_), bytes_[kInPlace]};
        const char* copy = out_of_place();
        std::size_t size = 0;
        std::memcpy(&size, copy, sizeof size);
        return {copy + sizeof size, size};
    }
    operator std::string_view() const { return view(); }
    // Asks for the copy of a text not held in place, some time before view() reads it: a loop
    // over many long names in a large ruleset would otherwise wait for each copy in turn.
    // Always inlined, since GCC drops a call to a function whose only effect is a prefetch.
    [[gnu::always_inline]] void prefetch() const {
        if (bytes_[kInPlace] == kOutOfPlace) __builtin_prefetch(out_of_place());
    }
    // For the places that keep a name of their own, such as a list of a map's names.
    operator std::string() const { return std::string(view()); }

    friend bool operator==(const CompactText& left, std::string_view right) { return left.view() == right; }
    friend std::strong_ordering operator<=>(const CompactText& left, std::string_view right) {
        return left.view() <=> right;
    }
    friend std::string operator+(std::string left, const CompactText& right) { return left.append(right.view()); }
    friend std::string operator+(const CompactText& left, std::string_view right) {
        return std::string(left.view()).append(right);
    }
    friend std::ostream& operator<<(std::ostream& out, const CompactText& text);

private:
    static constexpr std::size_t kInPlace = 15;
    // The last byte: the size of a text in place, or kOutOfPlace.
    static constexpr unsigned char kOutOfPlace = 0xFF;

    char* out_of_place() const {
        char* copy = nullptr;
        std::memcpy(&copy, bytes_, sizeof copy);
        return copy;
    }
    // A text in place, then its size; or the pointer to the copy, then the marker.
    alignas(const char*) unsigned char bytes_[kInPlace + 1];
};
static_assert(sizeof(CompactText) == 16 && std::is_trivially_copyable_v<CompactText>);

}  // namespace veskora::support
