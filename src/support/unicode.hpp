// Unicode character classes and case mappings over ICU, on UTF-8 text. Mappings are Unicode's
// default full mappings without language tailoring; one character may map to several.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace veskora::support {

namespace detail {

// The classes of the ASCII characters, answered inline without ICU: among them only the
// letters are Alphabetic (and cased), only the digits numeric, only tab to carriage return and
// space White_Space.
enum AsciiClass : unsigned char { kSpace = 1, kDigit = 2, kUpper = 4, kLower = 8 };

inline constexpr std::array<unsigned char, 0x80> kAsciiClasses = [] {
    std::array<unsigned char, 0x80> classes{};
    for (char32_t c = U'\t'; c <= U'\r'; ++c) classes[c] = kSpace;
    classes[U' '] = kSpace;
    for (char32_t c = U'0'; c <= U'9'; ++c) classes[c] = kDigit;
    for (char32_t c = U'A'; c <= U'Z'; ++c) classes[c] = kUpper;
    for (char32_t c = U'a'; c <= U'z'; ++c) classes[c] = kLower;
    return classes;
}();

// ICU's answers, for the characters beyond ASCII.
bool icu_white_space(char32_t c);
bool icu_alphabetic(char32_t c);
bool icu_numeric(char32_t c);
bool icu_uppercase(char32_t c);
bool icu_lowercase(char32_t c);

inline bool classify(char32_t c, unsigned char ascii_classes, bool (*icu)(char32_t)) {
    return c < 0x80 ? (kAsciiClasses[c] & ascii_classes) != 0 : icu(c);
}

}  // namespace detail

// White_Space
inline bool is_white_space(char32_t c) { return detail::classify(c, detail::kSpace, detail::icu_white_space); }
// Alphabetic
inline bool is_alphabetic(char32_t c) {
    return detail::classify(c, detail::kUpper | detail::kLower, detail::icu_alphabetic);
}
// General category Nd, Nl or No
inline bool is_numeric(char32_t c) { return detail::classify(c, detail::kDigit, detail::icu_numeric); }
// Alphabetic or numeric
inline bool is_alphanumeric(char32_t c) { return is_alphabetic(c) || is_numeric(c); }
// Uppercase
inline bool is_uppercase(char32_t c) { return detail::classify(c, detail::kUpper, detail::icu_uppercase); }
// Lowercase
inline bool is_lowercase(char32_t c) { return detail::classify(c, detail::kLower, detail::icu_lowercase); }

// Full mapping of one character, appended to `out`.
void append_upper(std::string& out, char32_t c);
void append_lower(std::string& out, char32_t c);  // no Final_Sigma: capital sigma gives small sigma

// Whole-text mappings: upper-casing maps each character on its own; lowering applies the
// Final_Sigma condition to capital sigma.
std::string to_upper(std::string_view text);
std::string to_lower(std::string_view text);

// The text without White_Space at either end.
std::string_view trim_white_space(std::string_view text);

}  // namespace veskora::support
