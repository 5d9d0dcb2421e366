// UTF-8 decoding, encoding and validation shared by the text processors and the exported
// interface.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace veskora::support {

namespace detail {
// decode_utf8 beyond ASCII and at the end of the text.
char32_t decode_utf8_sequence(std::string_view text, std::size_t& pos) noexcept;
}  // namespace detail

// Decodes the character at `pos` and advances `pos` past it. A malformed sequence gives U+FFFD
// and advances past its longest well-formed prefix (at least one byte); at or past the end it
// gives U+FFFD and leaves `pos` at the end, so `pos` never passes the text. ASCII is decoded
// inline.
inline char32_t decode_utf8(std::string_view text, std::size_t& pos) noexcept {
    if (pos < text.size() && static_cast<unsigned char>(text[pos]) < 0x80) {
        return static_cast<unsigned char>(text[pos++]);
    }
    return detail::decode_utf8_sequence(text, pos);
}

// Appends the UTF-8 encoding of a scalar value.
void append_utf8(std::string& out, char32_t c);

// Where and how a byte string stops being UTF-8: the length of the valid prefix, and the length
// of the invalid sequence after it (none when the text ends inside an incomplete sequence).
struct Utf8Error {
    std::size_t valid_up_to = 0;
    std::optional<std::size_t> error_len;

    // "invalid utf-8 sequence of {} bytes from index {}" or
    // "incomplete utf-8 byte sequence from index {}".
    std::string message() const;
};

std::optional<Utf8Error> validate_utf8(std::string_view bytes) noexcept;

}  // namespace veskora::support
