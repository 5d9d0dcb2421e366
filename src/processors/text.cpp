#include "processors/text.hpp"

#include <string>

#include "support/unicode.hpp"
#include "support/utf8.hpp"

namespace veskora::processors {

render::ProcessResult capitalize(std::string_view input) {
    if (input.empty()) return std::string();
    std::size_t pos = 0;
    const char32_t first = support::decode_utf8(input, pos);
    std::string out;
    support::append_upper(out, first);
    // The rest is lowered on its own, so a sigma right after the first character is judged
    // without it: «ΑΣ» gives «Ασ».
    out += support::to_lower(input.substr(pos));
    return out;
}

render::ProcessResult titlecase(std::string_view input) {
    std::string out;
    out.reserve(input.size());
    bool word_start = true;
    std::size_t pos = 0;
    while (pos < input.size()) {
        const std::size_t begin = pos;
        const char32_t c = support::decode_utf8(input, pos);
        if (support::is_white_space(c)) {
            out.append(input.substr(begin, pos - begin));
            word_start = true;
        } else {
            // Upper-case mapping rather than title-case mapping, and character-wise lowering
            // without the final-sigma rule.
            if (word_start) {
                support::append_upper(out, c);
            } else {
                support::append_lower(out, c);
            }
            word_start = false;
        }
    }
    return out;
}

render::ProcessResult sentence(std::string_view input) {
    std::size_t pos = 0;
    while (pos < input.size()) {
        const std::size_t begin = pos;
        const char32_t c = support::decode_utf8(input, pos);
        if (support::is_alphabetic(c)) {
            std::string out(input.substr(0, begin));
            support::append_upper(out, c);
            out.append(input.substr(pos));
            return out;
        }
    }
    return std::string(input);
}

render::ProcessResult quote(std::string_view input) {
    std::string out;
    out.reserve(input.size() + 2);
    out.push_back('"');
    for (const char byte : input) {
        if (byte == '"' || byte == '\\') out.push_back('\\');
        out.push_back(byte);
    }
    out.push_back('"');
    return out;
}

render::ProcessResult slug(std::string_view input) {
    const std::string_view text = support::trim_white_space(input);
    std::string out;
    out.reserve(text.size());
    bool pending_separator = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char32_t c = support::decode_utf8(text, pos);
        if (support::is_alphanumeric(c)) {
            if (pending_separator && !out.empty()) out.push_back('-');
            support::append_lower(out, c);
            pending_separator = false;
        } else if (c == U'\'' || c == U'\u2019') {
            // «don't» is one word, not «don-t».
        } else if (!out.empty()) {
            pending_separator = true;
        }
    }
    return out;
}

}  // namespace veskora::processors
