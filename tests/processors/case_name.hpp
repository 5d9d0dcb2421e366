// Shared shapes of the processor test tables, and one-line case names for the runner's listing:
// an input quoted with its control characters escaped.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

namespace veskora::processors {

inline std::string printable(std::string_view text) {
    constexpr char digits[] = "0123456789abcdef";
    std::string out = "\"";
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20) {
            out += "\\x";
            out += digits[(c >> 4) & 0xf];
            out += digits[c & 0xf];
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// One row of a processor table: the processor's registered name, its input and its output.
struct Case {
    std::string_view processor;
    std::string input;
    std::string output;
};

inline void PrintTo(const Case& c, std::ostream* os) {
    *os << c.processor << "(" << printable(c.input) << ")";
}

}  // namespace veskora::processors
