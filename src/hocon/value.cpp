#include "hocon/value.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace hocon {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Checks the JSON number grammar and reports whether a fraction or exponent is present.
bool json_number_shape(std::string_view s, bool& integral) {
    std::size_t i = 0;
    const std::size_t n = s.size();
    if (i < n && s[i] == '-') ++i;
    if (i >= n) return false;
    if (s[i] == '0') {
        ++i;
    } else if (is_digit(s[i])) {
        while (i < n && is_digit(s[i])) ++i;
    } else {
        return false;
    }
    integral = true;
    if (i < n && s[i] == '.') {
        ++i;
        if (i >= n || !is_digit(s[i])) return false;
        while (i < n && is_digit(s[i])) ++i;
        integral = false;
    }
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
        if (i >= n || !is_digit(s[i])) return false;
        while (i < n && is_digit(s[i])) ++i;
        integral = false;
    }
    return i == n;
}

// The value of a literal of at most 19 digits, without sign or leading zero: such a literal
// always fits, and most literals are of this kind, so they skip the general reading.
std::optional<std::uint64_t> short_unsigned(std::string_view s) {
    if (s.empty() || s.size() > 19 || (s[0] == '0' && s.size() > 1)) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : s) {
        if (!is_digit(c)) return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

}  // namespace

ValueObject::ValueObject(std::initializer_list<std::pair<const std::string, Value>> members) {
    members_.reserve(members.size());
    for (const auto& [key, value] : members) members_.emplace_back(key, value);
    // A stable sort keeps equal keys in the order given, so the first can be kept.
    std::stable_sort(members_.begin(), members_.end(),
                     [](const value_type& a, const value_type& b) { return a.first < b.first; });
    members_.erase(std::unique(members_.begin(), members_.end(),
                               [](const value_type& a, const value_type& b) { return a.first == b.first; }),
                   members_.end());
}

std::optional<Number> parse_number(std::string_view literal) {
    if (auto value = short_unsigned(literal)) return Number(*value);
    bool integral = false;
    if (!json_number_shape(literal, integral)) return std::nullopt;
    const char* first = literal.data();
    const char* last = literal.data() + literal.size();
    if (integral) {
        if (literal == "-0") return Number(-0.0);
        if (literal.front() == '-') {
            std::int64_t v = 0;
            auto [ptr, ec] = std::from_chars(first, last, v);
            if (ec == std::errc() && ptr == last) return Number(v);
        } else {
            std::uint64_t v = 0;
            auto [ptr, ec] = std::from_chars(first, last, v);
            if (ec == std::errc() && ptr == last) return Number(v);
        }
        // Out of range for both: falls through to a double.
    }
    double d = 0;
    auto [ptr, ec] = std::from_chars(first, last, d);
    if (ptr != last) return std::nullopt;
    if (ec == std::errc::result_out_of_range) {
        // from_chars leaves the value untouched here; strtod tells overflow (infinite, no
        // finite double) from underflow (a value at or near zero, which is kept).
        std::string copy(literal);
        d = std::strtod(copy.c_str(), nullptr);
        if (std::isinf(d)) return std::nullopt;
        return Number(d);
    }
    if (ec != std::errc() || std::isinf(d)) return std::nullopt;
    return Number(d);
}

}  // namespace hocon
