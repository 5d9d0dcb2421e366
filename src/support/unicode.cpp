#include "support/unicode.hpp"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "support/utf8.hpp"

namespace veskora::support {
namespace {

char32_t previous_code_point(std::string_view text, std::size_t& pos) {
    const std::size_t start = pos >= 4 ? pos - 4 : 0;
    const auto* window = reinterpret_cast<const std::uint8_t*>(text.data() + start);
    std::int32_t i = static_cast<std::int32_t>(pos - start);
    UChar32 c = 0;
    U8_PREV_OR_FFFD(window, 0, i, c);
    pos = start + static_cast<std::size_t>(i);
    return static_cast<char32_t>(c);
}

bool is_ascii(std::string_view text) {
    for (const char byte : text) {
        if (static_cast<unsigned char>(byte) >= 0x80) return false;
    }
    return true;
}

// The root locale: Unicode's default mappings, no language tailoring.
const icu::Locale& root_locale() { return icu::Locale::getRoot(); }

void append_unicode_string(std::string& out, const icu::UnicodeString& text) { text.toUTF8String(out); }

icu::UnicodeString from_utf8(std::string_view text) {
    // fromUTF8 substitutes U+FFFD for ill-formed sequences.
    return icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
}

// Non-ASCII text is mapped through UTF-16 in pieces of about kPieceBytes, which keeps the
// temporary copies small and ICU's 32-bit lengths safe for texts of any size. No piece exceeds
// kMaxPieceBytes, whose UTF-16 form and mapping stay far below 2^31 units.
constexpr std::size_t kPieceBytes = std::size_t{1} << 20;
constexpr std::size_t kMaxPieceBytes = std::size_t{1} << 29;

// A character at which the Final_Sigma scan stops in either direction, and which is no sigma
// itself: splitting the text between two of them cannot change any sigma's mapping.
bool blocks_final_sigma(char32_t c) {
    return c != U'\u03A3' && u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_CASE_IGNORABLE) == 0;
}

std::size_t character_boundary_at_or_before(std::string_view text, std::size_t pos, std::size_t floor) {
    std::size_t boundary = pos;
    while (boundary > floor && (static_cast<unsigned char>(text[boundary]) & 0xC0) == 0x80) --boundary;
    return boundary == floor ? pos : boundary;  // only ill-formed text has no boundary there
}

// The end of the piece that starts at `begin`. Upper-casing may split at any character;
// lowering splits only between two characters that block the Final_Sigma scan, so the result
// equals lowering the text in one go. Only a run of half a gigabyte without such a pair (sigmas
// and case-ignorable marks alone) is cut where it must be.
std::size_t piece_end(std::string_view text, std::size_t begin, bool lowering) {
    if (text.size() - begin <= kPieceBytes) return text.size();
    const std::size_t target = character_boundary_at_or_before(text, begin + kPieceBytes, begin);
    if (!lowering) return target;
    const std::size_t limit = std::min(text.size(), begin + kMaxPieceBytes);
    std::size_t candidate = target;
    while (candidate < limit) {
        std::size_t after = candidate;
        std::size_t before = candidate;
        const bool blocks_after = blocks_final_sigma(decode_utf8(text, after));
        if (blocks_after && blocks_final_sigma(previous_code_point(text, before))) return candidate;
        candidate = after;
    }
    if (limit == text.size()) return text.size();
    return character_boundary_at_or_before(text, limit, begin);
}

// ASCII text with the letters from `first` to 26 letters on changed to the other case, eight
// bytes at a time (a byte's top bit, free in ASCII, tells whether it lies in that range), then
// byte by byte.
std::string map_ascii_case(std::string_view text, char first) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    const auto flip = [&](std::uint64_t word) {
        const std::uint64_t at_least_first = word + kOnes * static_cast<std::uint64_t>(0x80 - first);
        const std::uint64_t past_last = word + kOnes * static_cast<std::uint64_t>(0x80 - first - 26);
        return word ^ (((at_least_first & ~past_last) & (kOnes * 0x80)) >> 2);
    };
    std::string out;
    out.resize_and_overwrite(text.size(), [&](char* data, std::size_t) {
        std::size_t i = 0;
        for (; text.size() - i >= 8; i += 8) {
            std::uint64_t word;
            std::memcpy(&word, text.data() + i, sizeof word);
            word = flip(word);
            std::memcpy(data + i, &word, sizeof word);
        }
        for (; i < text.size(); ++i) {
            const char c = text[i];
            data[i] = static_cast<unsigned char>(c - first) < 26 ? static_cast<char>(c ^ 0x20) : c;
        }
        return text.size();
    });
    return out;
}

std::string map_case(std::string_view text, bool lowering) {
    if (is_ascii(text)) return map_ascii_case(text, lowering ? 'A' : 'a');
    std::string out;
    out.reserve(text.size());
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t end = piece_end(text, begin, lowering);
        icu::UnicodeString wide = from_utf8(text.substr(begin, end - begin));
        // Upper-casing in the root locale has no context conditions (those belong to Greek,
        // Lithuanian and Turkic tailorings), so mapping a whole piece equals mapping each
        // character on its own. Lowering's only root-locale context condition is Final_Sigma,
        // exactly the one a whole text must apply.
        if (lowering) {
            wide.toLower(root_locale());
        } else {
            wide.toUpper(root_locale());
        }
        append_unicode_string(out, wide);
        begin = end;
    }
    return out;
}

}  // namespace

bool detail::icu_white_space(char32_t c) { return u_isUWhiteSpace(static_cast<UChar32>(c)) != 0; }

bool detail::icu_alphabetic(char32_t c) {
    return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_ALPHABETIC) != 0;
}

bool detail::icu_numeric(char32_t c) {
    switch (u_charType(static_cast<UChar32>(c))) {
        case U_DECIMAL_DIGIT_NUMBER:
        case U_LETTER_NUMBER:
        case U_OTHER_NUMBER:
            return true;
        default:
            return false;
    }
}

bool detail::icu_uppercase(char32_t c) {
    return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_UPPERCASE) != 0;
}

bool detail::icu_lowercase(char32_t c) {
    return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_LOWERCASE) != 0;
}

void append_upper(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c));
        return;
    }
    icu::UnicodeString text(static_cast<UChar32>(c));
    append_unicode_string(out, text.toUpper(root_locale()));
}

void append_lower(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
        return;
    }
    // A lone character has no context, so capital sigma takes its plain mapping, small sigma.
    icu::UnicodeString text(static_cast<UChar32>(c));
    append_unicode_string(out, text.toLower(root_locale()));
}

std::string to_upper(std::string_view text) { return map_case(text, false); }

std::string to_lower(std::string_view text) { return map_case(text, true); }

std::string_view trim_white_space(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t next = begin;
        if (!is_white_space(decode_utf8(text, next))) break;
        begin = next;
    }
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t previous = end;
        const char32_t c = previous_code_point(text, previous);
        if (previous < begin || !is_white_space(c)) break;
        end = previous;
    }
    return text.substr(begin, end - begin);
}

}  // namespace veskora::support
