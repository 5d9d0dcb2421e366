#include "processors/article.hpp"

#include <array>
#include <optional>
#include <span>
#include <string>

#include "support/unicode.hpp"
#include "support/utf8.hpp"

namespace veskora::processors {
namespace {

// Beginnings whose sound differs from their first letter, tested as byte prefixes of the
// lowered word, so longer words match too («honorable», «unicorn»).
constexpr std::array<std::string_view, 5> kAnBeginnings{"heir", "honest", "honor", "honour", "hour"};

constexpr std::array<std::string_view, 17> kABeginnings{
    "euro",  "one",   "ubiquit", "uk",         "unanim", "unic",  "uniform", "union",  "unique",
    "unit",  "university", "use", "user", "usual", "utensil", "utility", "utopia"};

// Capitals read with a leading vowel sound when spelt out: «an FBI agent», «an X».
constexpr std::string_view kAnInitialismLetters = "AEFHILMNORSX";

bool is_word_character(char32_t c) { return c == U'-' || c == U'\'' || support::is_alphanumeric(c); }

bool is_vowel(char c) { return c == 'a' || c == 'e' || c == 'i' || c == 'o' || c == 'u'; }

// The first whitespace-separated piece of the input, empty when there is none.
std::string_view first_piece(std::string_view input) {
    const std::string_view text = support::trim_white_space(input);
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t begin = pos;
        if (support::is_white_space(support::decode_utf8(text, pos))) return text.substr(0, begin);
    }
    return text;
}

// The piece without the punctuation around it; characters inside stay.
std::string_view strip_punctuation(std::string_view piece) {
    std::size_t begin = piece.size();
    std::size_t end = 0;
    std::size_t pos = 0;
    while (pos < piece.size()) {
        const std::size_t start = pos;
        if (is_word_character(support::decode_utf8(piece, pos))) {
            if (begin == piece.size()) begin = start;
            end = pos;
        }
    }
    return begin < end ? piece.substr(begin, end - begin) : std::string_view();
}

bool starts_with_any(std::string_view word, std::span<const std::string_view> beginnings) {
    if (word.empty()) return false;
    for (const std::string_view beginning : beginnings) {
        // The first letters tell most beginnings apart without a call to compare the rest.
        if (beginning.front() == word.front() && word.starts_with(beginning)) return true;
    }
    return false;
}

// The first alphabetic character of the word, if any.
std::optional<char32_t> first_alphabetic(std::string_view word) {
    std::size_t pos = 0;
    while (pos < word.size()) {
        const char32_t c = support::decode_utf8(word, pos);
        if (support::is_alphabetic(c)) return c;
    }
    return std::nullopt;
}

}  // namespace

bool is_initialism(std::string_view word) {
    bool seen_alphabetic = false;
    std::size_t pos = 0;
    while (pos < word.size()) {
        const char32_t c = support::decode_utf8(word, pos);
        if (!support::is_alphabetic(c)) continue;
        if (!support::is_uppercase(c)) return false;
        seen_alphabetic = true;
    }
    return seen_alphabetic;
}

bool uses_an(std::string_view input) {
    const std::string_view word = strip_punctuation(first_piece(input));
    if (word.empty()) return false;
    // Numbers read with a leading vowel sound: eight..., eleven, eighteen...
    if (word.front() == '8') return true;
    if (word.starts_with("11") || word.starts_with("18")) return true;
    const std::string lowered = support::to_lower(word);
    if (starts_with_any(lowered, kAnBeginnings)) return true;
    if (starts_with_any(lowered, kABeginnings)) return false;
    // Tested after the lists, so «UK» follows the list and takes "a".
    if (is_initialism(word)) {
        const char32_t letter = *first_alphabetic(word);
        return letter < 0x80 && kAnInitialismLetters.find(static_cast<char>(letter)) != std::string_view::npos;
    }
    return is_vowel(lowered.front());
}

render::ProcessResult article(std::string_view input) {
    std::string out(uses_an(input) ? "an " : "a ");
    out.append(input);
    return out;
}

}  // namespace veskora::processors
