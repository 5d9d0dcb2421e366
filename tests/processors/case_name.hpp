// Test-name helper: an input quoted with its control characters escaped, so every case of a
// table gets a one-line name in the runner's listing.
#pragma once

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

}  // namespace veskora::processors
