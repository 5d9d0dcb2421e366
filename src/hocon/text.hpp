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

// HOCON whitespace: Unicode space, line and paragraph separators, the BOM, and the ASCII
// controls tab, newline, vertical tab, form feed, carriage return and 0x1C to 0x1F.
bool is_whitespace(char32_t c);

// Length of the whitespace character at pos (0 when there is none). Newlines count only when
// include_newline is set.
std::size_t whitespace_at(std::string_view s, std::size_t pos, bool include_newline);

// Decodes a JSON string literal whose opening quotation mark is just before pos, appending
// the text to out and leaving pos after the closing quotation mark. On failure, the message,
// with pos at the offending byte.
std::optional<std::string> decode_quoted(std::string_view s, std::size_t& pos, std::string& out);

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
