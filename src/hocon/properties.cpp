// The Java properties reader: windows-1252 bytes, logical lines with continuations, comments,
// escapes, and the mapping of dotted keys onto nested objects.
#include <unicode/ucnv.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <map>
#include <memory>

#include "hocon/loading.hpp"
#include "hocon/options.hpp"
#include "hocon/parser.hpp"
#include "hocon/text.hpp"
#include "hocon/tree.hpp"

namespace hocon {

namespace {

std::expected<std::string, std::string> decode_windows_1252(std::string_view bytes) {
    UErrorCode status = U_ZERO_ERROR;
    struct Closer {
        void operator()(UConverter* c) const { ucnv_close(c); }
    };
    std::unique_ptr<UConverter, Closer> converter(ucnv_open("windows-1252", &status));
    if (U_FAILURE(status)) return std::unexpected(std::string("no windows-1252 converter: ") + u_errorName(status));
    if (bytes.empty()) return std::string();
    if (bytes.size() > static_cast<std::size_t>(INT32_MAX / 2)) return std::unexpected(std::string("the file is too large"));
    const auto length = static_cast<int32_t>(bytes.size());
    // Every windows-1252 byte is one UTF-16 unit; a few bytes are unassigned and become U+FFFD.
    std::u16string utf16(bytes.size() + 1, u'\0');
    int32_t units = ucnv_toUChars(converter.get(), reinterpret_cast<UChar*>(utf16.data()), length + 1, bytes.data(),
                                  length, &status);
    if (status == U_STRING_NOT_TERMINATED_WARNING) status = U_ZERO_ERROR;
    if (U_FAILURE(status)) return std::unexpected(std::string("cannot decode windows-1252: ") + u_errorName(status));
    utf16.resize(static_cast<std::size_t>(units));
    int32_t needed = 0;
    status = U_ZERO_ERROR;
    u_strToUTF8(nullptr, 0, &needed, reinterpret_cast<const UChar*>(utf16.data()), units, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status))
        return std::unexpected(std::string("cannot decode windows-1252: ") + u_errorName(status));
    std::string out(static_cast<std::size_t>(needed), '\0');
    status = U_ZERO_ERROR;
    u_strToUTF8(out.data(), needed, nullptr, reinterpret_cast<const UChar*>(utf16.data()), units, &status);
    if (status == U_STRING_NOT_TERMINATED_WARNING) status = U_ZERO_ERROR;
    if (U_FAILURE(status)) return std::unexpected(std::string("cannot decode windows-1252: ") + u_errorName(status));
    return out;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\f'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The tree that dotted keys build; a node that has children is an object, whatever value was
// also given for its own key.
struct Node {
    std::optional<std::string> value;
    std::vector<std::pair<std::string, std::unique_ptr<Node>>> children;
    std::map<std::string, std::size_t, std::less<>> index;

    Node& child(const std::string& name) {
        auto it = index.find(name);
        if (it != index.end()) return *children[it->second].second;
        index.emplace(name, children.size());
        children.emplace_back(name, std::make_unique<Node>());
        return *children.back().second;
    }
};

// A node as a value, counted in the document's measure: an object when it has children, else
// its text (the empty text for a parent whose own key was never given a value).
Value to_value(const Node& node, DocumentStats& stats, TreeMemory* memory) {
    stats.measure += detail::bytes_per_value;
    if (node.children.empty()) {
        std::string text = node.value.value_or("");
        stats.measure += text.size();
        return Value(std::move(text));
    }
    std::vector<const std::pair<std::string, std::unique_ptr<Node>>*> sorted;
    sorted.reserve(node.children.size());
    for (const auto& child : node.children) sorted.push_back(&child);
    std::sort(sorted.begin(), sorted.end(), [](const auto* a, const auto* b) { return a->first < b->first; });
    Value::Object object(memory);
    object.reserve(sorted.size());
    for (const auto* child : sorted) {
        stats.measure += child->first.size();
        object.append(child->first, to_value(*child->second, stats, memory));
    }
    return Value(std::move(object));
}

class PropertiesReader {
public:
    PropertiesReader(std::string_view text, const std::string* file) : s_(text), file_(file) {}

    // The root's members into the object at `place`, as fields in the order their keys first
    // appeared.
    std::expected<void, Error> read(const Place& place) {
        Node root;
        while (pos_ < s_.size()) {
            std::size_t first_line = line_;
            std::string logical;
            if (!next_logical_line(logical)) continue;  // blank or comment
            std::string key, value;
            if (auto r = split(logical, first_line, key, value); !r) return std::unexpected(r.error());
            // Split on every ".", keeping empty segments: "a." is "a" then "". The objects
            // a key creates are bounded like nesting in HOCON text.
            std::size_t segments = 1;
            for (char ch : key) segments += ch == '.' ? 1 : 0;
            if (segments > ConfigOptions::default_nesting_limit)
                return std::unexpected(Error(SourceLocation{file_, first_line},
                                             "the key has " + std::to_string(segments) +
                                                 " dot-separated parts, deeper than the limit of " +
                                                 std::to_string(ConfigOptions::default_nesting_limit) + " levels"));
            Node* node = &root;
            std::size_t start = 0;
            while (true) {
                std::size_t dot = key.find('.', start);
                node = &node->child(key.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
                if (dot == std::string::npos) break;
                start = dot + 1;
            }
            node->value = std::move(value);  // a later duplicate key wins
        }
        for (const auto& [name, child] : root.children) {
            detail::Field& field = place.fields->add();
            field.where = SourceLocation{};
            place.stats->measure += name.size();
            field.key = detail::Key(name);
            field.value = to_value(*child, *place.stats, place.fields->memory());
        }
        return {};
    }

private:
    std::string_view s_;
    const std::string* file_;
    std::size_t pos_ = 0;
    std::size_t line_ = 1;

    // One natural line, without its terminator (\n, \r or \r\n).
    std::string_view natural_line() {
        std::size_t end = pos_;
        while (end < s_.size() && s_[end] != '\n' && s_[end] != '\r') ++end;
        std::string_view line = s_.substr(pos_, end - pos_);
        pos_ = end;
        if (pos_ < s_.size()) {
            if (s_[pos_] == '\r' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '\n') ++pos_;
            ++pos_;
            ++line_;
        }
        return line;
    }

    static bool ends_in_continuation(std::string_view line) {
        std::size_t backslashes = 0;
        for (std::size_t i = line.size(); i > 0 && line[i - 1] == '\\'; --i) ++backslashes;
        return backslashes % 2 == 1;
    }

    // Gathers one logical line (continuations joined, leading blanks of continued lines
    // dropped). False for a blank or comment line.
    bool next_logical_line(std::string& out) {
        std::string_view line = natural_line();
        std::size_t i = 0;
        while (i < line.size() && is_blank(line[i])) ++i;
        if (i == line.size() || line[i] == '#' || line[i] == '!') return false;
        line.remove_prefix(i);
        while (ends_in_continuation(line)) {
            out.append(line.substr(0, line.size() - 1));
            if (pos_ >= s_.size()) return true;
            line = natural_line();
            std::size_t k = 0;
            while (k < line.size() && is_blank(line[k])) ++k;
            line.remove_prefix(k);
        }
        out.append(line);
        return true;
    }

    std::expected<void, Error> unescape(std::string_view raw, std::size_t line, std::string& out, std::size_t& i,
                                        bool key) {
        // i is at the character after a backslash.
        if (i >= raw.size()) return {};  // a lone trailing backslash adds nothing
        char c = raw[i++];
        switch (c) {
            case 't': out += '\t'; return {};
            case 'n': out += '\n'; return {};
            case 'r': out += '\r'; return {};
            case 'f': out += '\f'; return {};
            case 'u': {
                auto read4 = [&](std::size_t at, char32_t& cp) {
                    if (at + 4 > raw.size()) return false;
                    cp = 0;
                    for (std::size_t k = 0; k < 4; ++k) {
                        int h = hex_value(raw[at + k]);
                        if (h < 0) return false;
                        cp = (cp << 4) | static_cast<char32_t>(h);
                    }
                    return true;
                };
                char32_t cp = 0;
                if (!read4(i, cp))
                    return std::unexpected(Error(SourceLocation{file_, line}, std::string("malformed \\uxxxx escape in a ") +
                                                                    (key ? "key" : "value")));
                i += 4;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    char32_t low = 0;
                    if (i + 1 < raw.size() && raw[i] == '\\' && raw[i + 1] == 'u' && read4(i + 2, low) &&
                        low >= 0xDC00 && low <= 0xDFFF) {
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                        i += 6;
                    } else {
                        cp = 0xFFFD;  // an unpaired surrogate has no UTF-8 form
                    }
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    cp = 0xFFFD;
                }
                text::append_utf8(out, cp);
                return {};
            }
            default:
                out += c;  // any other escaped character stands for itself
                return {};
        }
    }

    std::expected<void, Error> split(std::string_view raw, std::size_t line, std::string& key, std::string& value) {
        std::size_t i = 0;
        while (i < raw.size()) {
            char c = raw[i];
            if (c == '=' || c == ':' || is_blank(c)) break;
            ++i;
            if (c == '\\') {
                if (auto r = unescape(raw, line, key, i, true); !r) return r;
            } else {
                key += c;
            }
        }
        while (i < raw.size() && is_blank(raw[i])) ++i;
        if (i < raw.size() && (raw[i] == '=' || raw[i] == ':')) ++i;
        while (i < raw.size() && is_blank(raw[i])) ++i;
        while (i < raw.size()) {
            char c = raw[i++];
            if (c == '\\') {
                if (auto r = unescape(raw, line, value, i, false); !r) return r;
            } else {
                value += c;
            }
        }
        return {};
    }
};

}  // namespace

namespace detail {

std::expected<void, Error> read_properties(std::string_view bytes, const std::string* file, const Place& place) {
    auto decoded = decode_windows_1252(bytes);
    if (!decoded) return std::unexpected(Error(SourceLocation{file, 0}, decoded.error()));
    PropertiesReader reader(*decoded, file);
    return reader.read(place);
}

}  // namespace detail

std::expected<Document, Error> parse_properties(std::string_view bytes, std::optional<std::string> origin) {
    Document document;
    const std::string* file = origin ? document.stats.keep_file(std::move(*origin)) : nullptr;
    return detail::read_document(std::move(document),
                                 [&](const Place& place) { return detail::read_properties(bytes, file, place); });
}

}  // namespace hocon
