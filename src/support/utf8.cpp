// UTF-8 decoding, encoding and a validator that reports where and how the text goes wrong.
#include "support/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace veskora::support {

char32_t detail::decode_utf8_sequence(std::string_view text, std::size_t& pos) noexcept {
    constexpr char32_t replacement = U'\uFFFD';
    if (pos >= text.size()) {
        pos = text.size();
        return replacement;
    }
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    if (lead < 0x80) {
        pos += 1;
        return lead;
    }
    // The continuation range of the second byte excludes overlongs, surrogates and values
    // above U+10FFFF; later bytes are plain continuations.
    std::size_t continuations = 0;
    char32_t c = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        continuations = 1;
        c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        continuations = 2;
        c = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        continuations = 3;
        c = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        pos += 1;
        return replacement;
    }
    std::size_t i = pos + 1;
    for (std::size_t k = 0; k < continuations; ++k, ++i) {
        // A broken sequence ends before the byte that breaks it, which is read afresh.
        if (i >= text.size() || byte(i) < low || byte(i) > high) {
            pos = i;
            return replacement;
        }
        c = (c << 6) | (byte(i) & 0x3F);
        low = 0x80;
        high = 0xBF;
    }
    pos = i;
    return c;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::string Utf8Error::message() const {
    if (error_len) {
        return "invalid utf-8 sequence of " + std::to_string(*error_len) + " bytes from index " +
               std::to_string(valid_up_to);
    }
    return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
}

std::optional<Utf8Error> validate_utf8(std::string_view bytes) noexcept {
    const std::size_t n = bytes.size();
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const auto is_cont = [](unsigned char b) { return (b & 0xC0) == 0x80; };
    std::size_t i = 0;
    while (i < n) {
        // ASCII, the common case: eight bytes at a time, then byte by byte.
        while (n - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, bytes.data() + i, sizeof word);
            if ((word & 0x8080808080808080ULL) != 0) break;
            i += 8;
        }
        while (i < n && at(i) < 0x80) ++i;
        if (i == n) break;
        const unsigned char b0 = at(i);
        // The error length is the longest prefix that could still have begun a valid
        // sequence; running out of bytes inside such a prefix makes the text incomplete.
        const auto invalid = [&](std::size_t len) { return Utf8Error{i, len}; };
        const auto incomplete = [&]() { return Utf8Error{i, std::nullopt}; };
        std::size_t width = 0;
        unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            width = 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            width = 3;
            if (b0 == 0xE0) lo = 0xA0;       // overlong
            else if (b0 == 0xED) hi = 0x9F;  // surrogates
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            width = 4;
            if (b0 == 0xF0) lo = 0x90;       // overlong
            else if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
        } else {
            return invalid(1);
        }
        if (i + 1 >= n) return incomplete();
        const unsigned char b1 = at(i + 1);
        if (b1 < lo || b1 > hi) return invalid(1);
        for (std::size_t k = 2; k < width; ++k) {
            if (i + k >= n) return incomplete();
            if (!is_cont(at(i + k))) return invalid(k);
        }
        i += width;
    }
    return std::nullopt;
}

}  // namespace veskora::support
