// Byte-level helpers shared by the HOCON, JSON and properties readers (internal to the
// library): UTF-8 checks and decoding, HOCON whitespace, JSON string and number literals,
// describing a position for an error, and reading whole files.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace hocon::text {

// Offset of the first byte that does not belong to well-formed UTF-8 (overlong forms,
// surrogates and code points above U+10FFFF are refused), or nothing.
std::optional<std::size_t> find_invalid_utf8(std::string_view s);

// 1-based line of a byte offset.
std::size_t line_at(std::string_view s, std::size_t offset);

// Decodes the character at pos of well-formed UTF-8; len receives its byte count.
char32_t decode_utf8(std::string_view s, std::size_t pos, std::size_t& len);
void append_utf8(std::string& out, char32_t c);

// The ASCII part of HOCON whitespace: space, tab, newline, vertical tab, form feed, carriage
// return and 0x1C to 0x1F. Inline because the readers ask it of nearly every byte.
constexpr bool is_ascii_whitespace(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1C && c <= 0x1F);
}

// HOCON whitespace: the ASCII characters above, Unicode space, line and paragraph separators,
// and the BOM.
bool is_whitespace(char32_t c);

// Length of the whitespace character beginning with a byte of 0x80 or more at pos (0 when
// there is none).
std::size_t non_ascii_whitespace_at(std::string_view s, std::size_t pos);

// Length of the whitespace character at pos (0 when there is none). Newlines count only when
// include_newline is set. ASCII is decided here; only other bytes need the Unicode tables.
inline std::size_t whitespace_at(std::string_view s, std::size_t pos, bool include_newline) {
    if (pos >= s.size()) return 0;
    const auto c = static_cast<unsigned char>(s[pos]);
    if (c < 0x80) {
        if (c == '\n') return include_newline ? 1 : 0;
        return is_ascii_whitespace(c) ? 1 : 0;
    }
    return non_ascii_whitespace_at(s, pos);
}

// Decodes a JSON string literal whose opening quotation mark is just before pos, appending
// the text to out (or only passing over it when out is null) and leaving pos after the closing
// quotation mark. On failure, the message, with pos at the offending byte.
std::optional<std::string> decode_quoted(std::string_view s, std::size_t& pos, std::string* out);
inline std::optional<std::string> decode_quoted(std::string_view s, std::size_t& pos, std::string& out) {
    return decode_quoted(s, pos, &out);
}

// Where the pieces of HOCON that can hold any text end, as the parser reads them. A scan that
// must see a text as the parser does (one looking for a reader's own syntax outside strings and
// comments) steps over strings with decode_quoted and over these with the functions below.
//
// The triple-quoted string whose opening """ is at pos: the offset just past the run of three or
// more quotation marks that closes it (the extra ones belong to the string), or npos when the
// text ends first.
std::size_t multi_line_end(std::string_view s, std::size_t pos);
// Whether a comment ("#" or "//") begins at pos.
inline bool comment_at(std::string_view s, std::size_t pos) {
    return pos < s.size() && (s[pos] == '#' || (s[pos] == '/' && pos + 1 < s.size() && s[pos + 1] == '/'));
}
// The end of the comment at pos: the offset of the line feed that ends it, or the end of the text.
inline std::size_t comment_end(std::string_view s, std::size_t pos) {
    const std::size_t line_feed = s.find('\n', pos);
    return line_feed == std::string_view::npos ? s.size() : line_feed;
}

// Whether the whole text is one literal of the JSON number grammar.
bool is_json_number(std::string_view s);

// The text with line breaks and other control characters written as escapes, so that a
// message quoting it stays on one line.
std::string printable(std::string_view s);

// "end of input", "a newline", or the character in single quotes.
std::string describe_at(std::string_view s, std::size_t pos);

// The whole file, or the operating system's description of the failure.
std::expected<std::string, std::string> read_file(const std::string& path);

}  // namespace hocon::text
