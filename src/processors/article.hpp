// The built-in processor "article": "a" or "an", one blank, then the input unchanged. The choice
// reads the first word: digit rules, lists of word beginnings, initialisms, then the vowel test.
#pragma once

#include <string_view>

#include "render/processor.hpp"

namespace veskora::processors {

// True when the input's first word takes "an".
bool uses_an(std::string_view input);

// True when the word has at least one alphabetic character and every one is upper case.
bool is_initialism(std::string_view word);

render::ProcessResult article(std::string_view input);

}  // namespace veskora::processors
