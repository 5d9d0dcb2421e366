// NodeText: a text that a compiled node holds (literal text, a name) in 16 bytes, read as a
// std::string_view. Texts too long to sit in place are copied into the current arena, like the
// nodes that hold them.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace veskora::render {

// Up to 15 bytes of text in place, a longer text behind a pointer to a copy that starts with its
// size, made where the node is (in its ruleset's arena, or on the heap). Most nodes of a
// document are literal text or name a rule, and a std::string would take 32 bytes in each and a
// heap block of its own for every text longer than 15 bytes.
class NodeText {
public:
    explicit NodeText(std::string_view text);
    // Takes the other's text (or its copy), leaving it empty: a list of texts can grow.
    NodeText(NodeText&& other) noexcept {
        std::memcpy(bytes_, other.bytes_, sizeof bytes_);
        other.bytes_[kInPlace] = 0;
    }
    NodeText& operator=(NodeText&&) = delete;
    ~NodeText();

    std::string_view view() const {
        if (bytes_[kInPlace] != kOutOfPlace) return {reinterpret_cast<const char*>(bytes_), bytes_[kInPlace]};
        const char* copy = nullptr;
        std::memcpy(&copy, bytes_, sizeof copy);
        std::size_t size = 0;
        std::memcpy(&size, copy, sizeof size);
        return {copy + sizeof size, size};
    }
    operator std::string_view() const { return view(); }

    friend std::string operator+(std::string left, const NodeText& right) {
        return left.append(right.view());
    }
    friend std::string operator+(const NodeText& left, std::string_view right) {
        return std::string(left.view()).append(right);
    }

private:
    static constexpr std::size_t kInPlace = 15;
    // The last byte: the size of a text in place, or kOutOfPlace.
    static constexpr unsigned char kOutOfPlace = 0xFF;

    // A text in place, then its size; or the pointer to the copy, then the marker.
    alignas(const char*) unsigned char bytes_[kInPlace + 1];
};

}  // namespace veskora::render
