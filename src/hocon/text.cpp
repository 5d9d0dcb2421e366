#include "hocon/text.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unicode/uchar.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace hocon::text {

std::optional<std::size_t> find_invalid_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        // Most text is ASCII: pass over eight such bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, p + i, sizeof word);
            if (word & 0x8080808080808080ull) break;
            i += 8;
        }
        if (i >= n) break;
        unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len = 0;
        char32_t cp = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return i;
        }
        if (i + len > n) return i;
        for (std::size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return i;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return i;
        i += len;
    }
    return std::nullopt;
}

std::size_t line_at(std::string_view s, std::size_t offset) {
    std::size_t line = 1;
    if (offset > s.size()) offset = s.size();
    for (std::size_t i = 0; i < offset; ++i)
        if (s[i] == '\n') ++line;
    return line;
}

char32_t decode_utf8(std::string_view s, std::size_t pos, std::size_t& len) {
    auto c = static_cast<unsigned char>(s[pos]);
    if (c < 0x80) {
        len = 1;
        return c;
    }
    char32_t cp;
    if (c < 0xE0) {
        len = 2;
        cp = c & 0x1F;
    } else if (c < 0xF0) {
        len = 3;
        cp = c & 0x0F;
    } else {
        len = 4;
        cp = c & 0x07;
    }
    if (pos + len > s.size()) {  // only for text that skipped validation
        len = 1;
        return 0xFFFD;
    }
    for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[pos + k]) & 0x3F);
    return cp;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool is_whitespace(char32_t c) {
    if (c < 0x80) return is_ascii_whitespace(static_cast<unsigned char>(c));
    if (c == 0xFEFF) return true;
    const auto type = u_charType(static_cast<UChar32>(c));
    return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

std::size_t non_ascii_whitespace_at(std::string_view s, std::size_t pos) {
    std::size_t len = 0;
    char32_t cp = decode_utf8(s, pos, len);
    return is_whitespace(cp) ? len : 0;
}

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool read_hex4(std::string_view s, std::size_t pos, char32_t& out) {
    if (pos + 4 > s.size()) return false;
    out = 0;
    for (std::size_t k = 0; k < 4; ++k) {
        int h = hex_value(s[pos + k]);
        if (h < 0) return false;
        out = (out << 4) | static_cast<char32_t>(h);
    }
    return true;
}

}  // namespace

std::optional<std::string> decode_quoted(std::string_view s, std::size_t& pos, std::string* out) {
    const std::size_t n = s.size();
    const auto put = [out](char c) {
        if (out) out->push_back(c);
    };
    while (true) {
        std::size_t run = pos;
        // Eight bytes at a time while none of them is a quotation mark, a backslash or a control
        // character (the usual word tricks: a zero byte after xor, a byte below 0x20).
        constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
        while (run + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, s.data() + run, sizeof w);
            const std::uint64_t quote = w ^ (ones * '"'), backslash = w ^ (ones * '\\');
            const std::uint64_t special = ((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) | ((w - ones * 0x20) & ~w);
            if (special & highs) break;
            run += 8;
        }
        while (run < n) {
            auto c = static_cast<unsigned char>(s[run]);
            if (c == '"' || c == '\\' || c < 0x20) break;
            ++run;
        }
        if (out) out->append(s.data() + pos, run - pos);
        pos = run;
        if (pos >= n) return "unterminated quoted string";
        auto c = static_cast<unsigned char>(s[pos]);
        if (c == '"') {
            ++pos;
            return std::nullopt;
        }
        if (c == '\n') return "newline in a quoted string (write \\n, or use a triple-quoted string)";
        if (c < 0x20) {
            static const char* hex = "0123456789ABCDEF";
            std::string msg = "control character U+00";
            msg += hex[c >> 4];
            msg += hex[c & 15];
            msg += " in a quoted string must be escaped";
            return msg;
        }
        // backslash
        if (pos + 1 >= n) return "unterminated quoted string (it ends with a backslash)";
        char e = s[pos + 1];
        switch (e) {
            case '"': put('"'); pos += 2; break;
            case '\\': put('\\'); pos += 2; break;
            case '/': put('/'); pos += 2; break;
            case 'b': put('\b'); pos += 2; break;
            case 'f': put('\f'); pos += 2; break;
            case 'n': put('\n'); pos += 2; break;
            case 'r': put('\r'); pos += 2; break;
            case 't': put('\t'); pos += 2; break;
            case 'u': {
                char32_t cp = 0;
                if (!read_hex4(s, pos + 2, cp)) return "a \\u escape needs four hexadecimal digits";
                std::size_t next = pos + 6;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    char32_t low = 0;
                    if (next + 1 < n && s[next] == '\\' && s[next + 1] == 'u' && read_hex4(s, next + 2, low) &&
                        low >= 0xDC00 && low <= 0xDFFF) {
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                        next += 6;
                    } else {
                        return "a \\u escape of a high surrogate must be followed by one of a low surrogate";
                    }
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    return "a \\u escape of a low surrogate must follow one of a high surrogate";
                }
                if (out) append_utf8(*out, cp);
                pos = next;
                break;
            }
            default: {
                ++pos;
                if (static_cast<unsigned char>(e) < 0x20 || e == 0x7F)
                    return "invalid escape: a backslash before " + describe_at(s, pos) + " in a quoted string";
                std::size_t len = 1;
                if (static_cast<unsigned char>(e) >= 0x80) decode_utf8(s, pos, len);
                return "invalid escape '\\" + std::string(s.substr(pos, len)) + "' in a quoted string";
            }
        }
    }
}

std::size_t multi_line_end(std::string_view s, std::size_t pos) {
    const std::size_t close = s.find("\"\"\"", pos + 3);
    if (close == std::string_view::npos) return close;
    std::size_t end = close + 3;
    while (end < s.size() && s[end] == '"') ++end;
    return end;
}

bool is_json_number(std::string_view s) {
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    std::size_t i = 0;
    const std::size_t n = s.size();
    if (i < n && s[i] == '-') ++i;
    if (i >= n) return false;
    if (s[i] == '0') {
        ++i;
    } else if (digit(s[i])) {
        while (i < n && digit(s[i])) ++i;
    } else {
        return false;
    }
    if (i < n && s[i] == '.') {
        ++i;
        if (i >= n || !digit(s[i])) return false;
        while (i < n && digit(s[i])) ++i;
    }
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
        if (i >= n || !digit(s[i])) return false;
        while (i < n && digit(s[i])) ++i;
    }
    return i == n;
}

std::string printable(std::string_view s) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    out.reserve(s.size());
    for (unsigned char c : s) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string describe_at(std::string_view s, std::size_t pos) {
    if (pos >= s.size()) return "end of input";
    auto c = static_cast<unsigned char>(s[pos]);
    if (c == '\n') return "a newline";
    if (c < 0x20 || c == 0x7F) {
        static const char* hex = "0123456789ABCDEF";
        std::string out = "control character U+00";
        out += hex[c >> 4];
        out += hex[c & 15];
        return out;
    }
    std::size_t len = 1;
    if (c >= 0x80) {
        decode_utf8(s, pos, len);
    }
    // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict on "'" + std::string(...).
    std::string out = "'";
    out.append(s.substr(pos, len));
    out += '\'';
    return out;
}

std::expected<std::string, std::string> read_file(const std::string& path) {
    auto os_error = [](int code) { return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")"; };
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(os_error(errno));
    // Read straight into the string (never into a stack buffer: loads nest through includes),
    // sized by what the file says it holds and a byte more, so that its end shows without
    // growing the string (a fixed first chunk would zero 64 KiB for every small include).
    struct stat info {};
    const bool sized = ::fstat(fd, &info) == 0 && info.st_size > 0;
    std::string content(sized ? static_cast<std::size_t>(info.st_size) + 1 : 0, '\0');
    std::size_t used = 0;
    while (true) {
        if (used == content.size()) content.resize(used + 65536);
        const ssize_t got = ::read(fd, content.data() + used, content.size() - used);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            const int code = errno;
            ::close(fd);
            return std::unexpected(os_error(code));
        }
        used += static_cast<std::size_t>(got);
    }
    ::close(fd);
    content.resize(used);
    return content;
}

}  // namespace hocon::text
