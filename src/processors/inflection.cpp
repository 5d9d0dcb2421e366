#include "processors/inflection.hpp"

#include <array>
#include <optional>
#include <utility>

#include "processors/text.hpp"
#include "support/unicode.hpp"
#include "support/utf8.hpp"

namespace veskora::processors {
namespace {

using Pair = std::pair<std::string_view, std::string_view>;

constexpr std::array<Pair, 24> kIrregularPastTenses{{
    {"am", "was"},      {"is", "was"},       {"be", "was"},       {"are", "were"},
    {"go", "went"},     {"do", "did"},       {"run", "ran"},      {"eat", "ate"},
    {"see", "saw"},     {"say", "said"},     {"get", "got"},      {"buy", "bought"},
    {"have", "had"},    {"make", "made"},    {"take", "took"},    {"come", "came"},
    {"give", "gave"},   {"find", "found"},   {"read", "read"},    {"think", "thought"},
    {"catch", "caught"}, {"teach", "taught"}, {"bring", "brought"}, {"write", "wrote"},
}};

// Singular, plural.
constexpr std::array<Pair, 9> kIrregularPlurals{{
    {"ox", "oxen"},     {"man", "men"},      {"foot", "feet"},
    {"child", "children"}, {"mouse", "mice"}, {"goose", "geese"},
    {"woman", "women"}, {"tooth", "teeth"},  {"person", "people"},
}};

bool is_vowel(char c) { return c == 'a' || c == 'e' || c == 'i' || c == 'o' || c == 'u'; }

bool is_ascii_consonant(char c) {
    const bool upper = c >= 'A' && c <= 'Z';
    const bool lower = c >= 'a' && c <= 'z';
    if (!upper && !lower) return false;
    return !is_vowel(upper ? static_cast<char>(c - 'A' + 'a') : c);
}

// The word without its last `count` bytes, followed by `suffix`.
std::string replace_end(std::string_view word, std::size_t count, std::string_view suffix) {
    std::string out(word.substr(0, word.size() - count));
    out.append(suffix);
    return out;
}

std::string append_suffix(std::string_view word, std::string_view suffix) { return replace_end(word, 0, suffix); }

// The word with its last byte once more and the suffix; only reached for ASCII endings.
std::string double_last(std::string_view word, std::string_view suffix) {
    std::string out(word);
    out.push_back(word.back());
    out.append(suffix);
    return out;
}

bool ends_in_consonant_y(std::string_view word) {
    return word.size() >= 2 && word.back() == 'y' && is_ascii_consonant(word[word.size() - 2]);
}

std::string past_tense_rule(std::string_view word) {
    for (const auto& [base, past] : kIrregularPastTenses) {
        if (word == base) return std::string(past);
    }
    if (word.ends_with('e')) return append_suffix(word, "d");
    if (ends_in_consonant_y(word)) return replace_end(word, 1, "ied");
    if (should_double_final_consonant(word)) return double_last(word, "ed");
    return append_suffix(word, "ed");
}

std::string pluralize_rule(std::string_view word) {
    for (const auto& [singular, plural] : kIrregularPlurals) {
        if (word == singular) return std::string(plural);
    }
    if (word.ends_with("fe")) return replace_end(word, 2, "ves");
    if (word.ends_with('f')) return replace_end(word, 1, "ves");
    if (word.ends_with('s') || word.ends_with('x') || word.ends_with('z')) return append_suffix(word, "es");
    if (ends_in_consonant_y(word)) return replace_end(word, 1, "ies");
    if (word.ends_with("ch") || word.ends_with("sh")) return append_suffix(word, "es");
    return append_suffix(word, "s");
}

std::string singularize_rule(std::string_view word) {
    for (const auto& [singular, plural] : kIrregularPlurals) {
        if (word == plural) return std::string(singular);
    }
    if (word.size() == 1) return std::string(word);
    if (word.size() == 2) return std::string(word.ends_with('s') ? word.substr(0, 1) : word);
    if (word.ends_with("ies")) return replace_end(word, 3, "y");
    if (word.ends_with("ves")) return replace_end(word, 3, "f");
    for (const std::string_view ending : {"ches", "shes", "xes", "ses", "zes"}) {
        if (word.ends_with(ending)) return replace_end(word, 2, "");
    }
    if (word.ends_with('s')) return replace_end(word, 1, "");
    return std::string(word);
}

std::string present_participle_rule(std::string_view word) {
    if (word.ends_with("ie")) return replace_end(word, 2, "ying");
    if (word.ends_with('e') && !word.ends_with("ee") && !word.ends_with("ye") && !word.ends_with("oe")) {
        return replace_end(word, 1, "ing");
    }
    if (should_double_final_consonant(word)) return double_last(word, "ing");
    return append_suffix(word, "ing");
}

// The common frame of the four word rules: one token, the rule applied to its lowered form, the
// result in the token's case style, the surrounding whitespace kept.
template <class Rule>
render::ProcessResult inflect(std::string_view input, std::string_view noun, Rule rule) {
    auto parts = single_token_parts(input, noun);
    if (!parts) return std::unexpected(std::move(parts.error()));
    const std::string word = support::to_lower(parts->token);
    std::string out(parts->leading);
    out += apply_case_style(parts->token, rule(word));
    out.append(parts->trailing);
    return out;
}

bool is_ascii_digits(std::string_view text) {
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

}  // namespace

std::expected<TokenParts, std::string> single_token_parts(std::string_view input, std::string_view noun) {
    const std::string_view token = support::trim_white_space(input);
    if (token.empty()) return std::unexpected("input must contain one " + std::string(noun));
    // The candidate has no whitespace at its ends, so any whitespace inside separates two pieces.
    std::size_t pos = 0;
    while (pos < token.size()) {
        if (support::is_white_space(support::decode_utf8(token, pos))) {
            return std::unexpected("input must contain exactly one " + std::string(noun) + " token");
        }
    }
    const std::size_t begin = static_cast<std::size_t>(token.data() - input.data());
    return TokenParts{input.substr(0, begin), token, input.substr(begin + token.size())};
}

bool should_double_final_consonant(std::string_view word) {
    // Counting bytes gives the same answer as counting characters: all three tested characters
    // must be ASCII, and an ASCII byte is never part of a longer character.
    if (word.size() < 3) return false;
    const char last = word[word.size() - 1];
    return is_ascii_consonant(word[word.size() - 3]) && is_vowel(word[word.size() - 2]) &&
           is_ascii_consonant(last) && last != 'w' && last != 'x' && last != 'y';
}

std::string apply_case_style(std::string_view source, std::string_view replacement) {
    bool all_upper = true;
    bool first_upper_rest_lower = true;
    bool seen_alphabetic = false;
    std::size_t pos = 0;
    while (pos < source.size()) {
        const char32_t c = support::decode_utf8(source, pos);
        if (!support::is_alphabetic(c)) continue;
        if (!support::is_uppercase(c)) all_upper = false;
        if (seen_alphabetic ? !support::is_lowercase(c) : !support::is_uppercase(c)) {
            first_upper_rest_lower = false;
        }
        seen_alphabetic = true;
    }
    // A source without letters counts as all capitals: «123» pluralizes to «123S».
    if (all_upper) return support::to_upper(replacement);
    if (first_upper_rest_lower) return *capitalize(replacement);
    return std::string(replacement);
}

render::ProcessResult past_tense(std::string_view input) { return inflect(input, "verb", past_tense_rule); }

render::ProcessResult pluralize(std::string_view input) { return inflect(input, "noun", pluralize_rule); }

render::ProcessResult singularize(std::string_view input) { return inflect(input, "noun", singularize_rule); }

render::ProcessResult present_participle(std::string_view input) {
    return inflect(input, "verb", present_participle_rule);
}

render::ProcessResult possessive(std::string_view input) {
    auto parts = single_token_parts(input, "name");
    if (!parts) return std::unexpected(std::move(parts.error()));
    // Only a lower-case s takes the bare apostrophe: «James'» but «JAMES's».
    std::string out(parts->leading);
    out.append(parts->token);
    out.append(parts->token.ends_with('s') ? "'" : "'s");
    out.append(parts->trailing);
    return out;
}

render::ProcessResult ordinal(std::string_view input) {
    auto parts = single_token_parts(input, "integer");
    if (!parts) return std::unexpected(std::move(parts.error()));
    std::string_view digits = parts->token;
    if (digits.starts_with('-')) digits.remove_prefix(1);
    if (digits.empty() || !is_ascii_digits(digits)) return std::unexpected(std::string("input must contain one integer"));
    // The digits stay text: leading zeros remain and any length works.
    std::string_view suffix = "th";
    const char last = digits.back();
    const bool eleven_to_thirteen = digits.size() >= 2 && digits[digits.size() - 2] == '1' && last >= '1' && last <= '3';
    if (!eleven_to_thirteen) {
        switch (last) {
            case '1': suffix = "st"; break;
            case '2': suffix = "nd"; break;
            case '3': suffix = "rd"; break;
            default: break;
        }
    }
    std::string out(parts->leading);
    out.append(parts->token);
    out.append(suffix);
    out.append(parts->trailing);
    return out;
}

}  // namespace veskora::processors
