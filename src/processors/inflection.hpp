// The built-in processors that work on exactly one token: English inflection by fixed tables
// and suffix rules ("past_tense", "pluralize", "singularize", "present_participle", keeping the
// token's case style), and the suffixing processors "possessive" and "ordinal".
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "render/processor.hpp"

namespace veskora::processors {

// An input split around its single token; the three views cover the input without a gap.
struct TokenParts {
    std::string_view leading;
    std::string_view token;
    std::string_view trailing;
};

// Splits `input` into whitespace, token and whitespace. `noun` names the expected token in the
// messages "input must contain one {}" and "input must contain exactly one {} token".
std::expected<TokenParts, std::string> single_token_parts(std::string_view input, std::string_view noun);

// True when a lowered word doubles its last consonant before "ed" or "ing": it ends in
// consonant, vowel, consonant (the last one not w, x or y).
bool should_double_final_consonant(std::string_view word);

// `replacement` in the case style of `source`: all capitals, capitalised, or left as it is.
std::string apply_case_style(std::string_view source, std::string_view replacement);

render::ProcessResult past_tense(std::string_view input);
render::ProcessResult pluralize(std::string_view input);
render::ProcessResult singularize(std::string_view input);
render::ProcessResult present_participle(std::string_view input);
render::ProcessResult possessive(std::string_view input);
render::ProcessResult ordinal(std::string_view input);

}  // namespace veskora::processors
