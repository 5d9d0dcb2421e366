// Unicode character classes and case mappings over ICU, on UTF-8 text. Mappings are Unicode's
// default full mappings without language tailoring; one character may map to several.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace veskora::support {

bool is_white_space(char32_t c);   // White_Space
bool is_alphabetic(char32_t c);    // Alphabetic
bool is_numeric(char32_t c);       // general category Nd, Nl or No
bool is_alphanumeric(char32_t c);  // alphabetic or numeric
bool is_uppercase(char32_t c);     // Uppercase
bool is_lowercase(char32_t c);     // Lowercase

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
