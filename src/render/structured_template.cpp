#include "render/structured_template.hpp"

#include <memory>
#include <string>
#include <utility>

#include "render/error.hpp"
#include "render/template.hpp"
#include "support/unicode.hpp"

namespace veskora::render::structured_template {
namespace {

// Joins texts and unsigned numbers into one string (GCC 12 has no <format>).
inline void append_piece(std::string& out, std::string_view text) { out.append(text); }
inline void append_piece(std::string& out, std::uint64_t number) { out.append(std::to_string(number)); }
inline void append_piece(std::string& out, int number) { out.append(std::to_string(number)); }

template <class... Pieces>
std::string concat(const Pieces&... pieces) {
    std::string out;
    (append_piece(out, pieces), ...);
    return out;
}

bool opens_loop(std::string_view directive) { return directive.size() >= 4 && directive.starts_with("for "); }

std::string unexpected_directive(std::string_view directive) {
    return concat("unexpected structured template directive: ", directive);
}

// The bytes that can begin a string, a comment or a directive; the scan passes over all others.
struct ScanStops {
    bool stop[256] = {};
    constexpr ScanStops() {
        for (const unsigned char c : {'"', '#', '/', '{'}) stop[c] = true;
    }
};
constexpr ScanStops scan_stops;

}  // namespace

std::size_t end_of_quoted(std::string_view text, std::size_t pos) {
    const std::size_t start = pos + 1;
    for (std::size_t quote = text.find('"', start); quote != std::string_view::npos; quote = text.find('"', quote + 1)) {
        // Escapes pair up from the start of a run of backslashes, so an odd run escapes the mark.
        std::size_t backslashes = 0;
        while (quote - backslashes > start && text[quote - backslashes - 1] == '\\') ++backslashes;
        if (backslashes % 2 == 0) return quote + 1;
    }
    return std::string_view::npos;
}

std::expected<std::optional<StructuredDirective>, std::string> next_directive(std::string_view text,
                                                                              std::size_t from) {
    // Every delimiter is ASCII, so walking bytes never splits a character in a way that matters.
    // Only four bytes can start anything; runs of other bytes are passed over by table.
    const std::size_t n = text.size();
    std::size_t pos = from;
    while (pos < n) {
        while (pos < n && !scan_stops.stop[static_cast<unsigned char>(text[pos])]) ++pos;
        if (pos == n) break;
        switch (text[pos]) {
            case '"':
                if (pos + 2 < n && text[pos + 1] == '"' && text[pos + 2] == '"') {
                    const std::size_t close = text.find(R"(""")", pos + 3);
                    if (close == std::string_view::npos) return std::nullopt;
                    pos = close + 3;
                } else {
                    pos = end_of_quoted(text, pos);
                    if (pos == std::string_view::npos) return std::nullopt;
                }
                break;
            case '/':
                if (pos + 1 >= n || text[pos + 1] != '/') {
                    ++pos;
                    break;
                }
                [[fallthrough]];
            case '#': {
                const std::size_t line_feed = text.find('\n', pos);
                if (line_feed == std::string_view::npos) return std::nullopt;
                pos = line_feed;
                break;
            }
            case '{': {
                if (pos + 1 >= n || text[pos + 1] != '%') {
                    ++pos;
                    break;
                }
                // The closing search ignores strings on purpose and starts after the "%" of "{%",
                // so "{%}" does not close itself.
                const std::size_t close = text.find("%}", pos + 2);
                if (close == std::string_view::npos)
                    return std::unexpected("unmatched opening structured template delimiter");
                const std::string_view inner = text.substr(pos + 2, close - (pos + 2));
                return StructuredDirective{pos, close + 2, std::string(support::trim_white_space(inner))};
            }
            default:
                ++pos;
        }
    }
    return std::nullopt;
}

std::expected<TransformedSource, std::string> transform_source(std::string_view text, std::string_view prefix,
                                                               std::uint64_t& counter) {
    TemplateConfigParser parser{std::string(prefix), {}, counter};
    // The copy is made at the first block: a text without one is handed back as it is.
    std::unique_ptr<std::string> out;
    std::size_t cursor = 0;

    while (true) {
        auto found = next_directive(text, cursor);
        if (!found) return std::unexpected(std::move(found.error()));
        if (!*found) break;
        StructuredDirective open = std::move(**found);

        if (!opens_loop(open.text)) return std::unexpected(unexpected_directive(open.text));
        auto header = templates::parse_for_statement(open.text);
        if (!header) return std::unexpected(header.error().fmt());

        // Nested headers are only counted here; they are checked when the body is transformed.
        std::size_t depth = 1;
        std::size_t scan = open.end;
        StructuredDirective close;
        while (true) {
            auto inner = next_directive(text, scan);
            if (!inner) return std::unexpected(std::move(inner.error()));
            if (!*inner) return std::unexpected("missing endfor for structured array loop");
            StructuredDirective& d = **inner;
            if (opens_loop(d.text)) {
                ++depth;
            } else if (d.text == "endfor") {
                if (--depth == 0) {
                    close = std::move(d);
                    break;
                }
            } else {
                return std::unexpected(unexpected_directive(d.text));
            }
            scan = d.end;
        }

        if (!out) {
            out = std::make_unique<std::string>();
            out->reserve(text.size());
        }
        out->append(text, cursor, open.start - cursor);
        std::string marker = concat(parser.prefix, parser.next_id, "__");
        ++parser.next_id;
        out->push_back('"');
        out->append(marker);
        out->push_back('"');
        parser.loops.push_back(LoopSource{std::move(marker), std::move(header->variable), std::move(header->source),
                                          std::string(text.substr(open.end, close.start - open.end))});
        cursor = close.end;
    }

    counter = parser.next_id;
    if (!out) return TransformedSource{text, nullptr, std::move(parser.loops)};
    out->append(text, cursor);
    const std::string_view transformed = *out;
    return TransformedSource{transformed, std::move(out), std::move(parser.loops)};
}

}  // namespace veskora::render::structured_template
