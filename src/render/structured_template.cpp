#include "render/structured_template.hpp"

#include <string>
#include <utility>

#include "hocon/text.hpp"
#include "render/error.hpp"
#include "render/template.hpp"
#include "support/unicode.hpp"

namespace veskora::render::structured_template {
namespace {

bool opens_loop(std::string_view directive) { return directive.size() >= 4 && directive.starts_with("for "); }

std::string unexpected_directive(std::string_view directive) {
    return "unexpected structured template directive: " + std::string(directive);
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

std::expected<std::optional<StructuredDirective>, std::string> next_directive(std::string_view text,
                                                                              std::size_t from) {
    // Every delimiter is ASCII, so walking bytes never splits a character in a way that matters.
    // Only four bytes can start anything; runs of other bytes are passed over by table. Strings
    // and comments end where the parser ends them, by its own routines: a scan that read them
    // otherwise would cut a block out of what the parser reads as a string, or the reverse.
    const std::size_t n = text.size();
    std::size_t pos = from;
    while (pos < n) {
        while (pos < n && !scan_stops.stop[static_cast<unsigned char>(text[pos])]) ++pos;
        if (pos == n) break;
        if (text[pos] == '"') {
            if (text.substr(pos, 3) == R"(""")") {
                pos = hocon::text::multi_line_end(text, pos);
                if (pos == std::string_view::npos) return std::nullopt;
            } else {
                // A string the parser would refuse (a line feed in it, a bad escape) ends where
                // the parser stops reading it, and the scan goes on from there.
                ++pos;
                hocon::text::decode_quoted(text, pos, nullptr);
            }
        } else if (hocon::text::comment_at(text, pos)) {
            pos = hocon::text::comment_end(text, pos);
        } else if (text[pos] == '{' && pos + 1 < n && text[pos + 1] == '%') {
            // The closing search ignores strings on purpose and starts after the "%" of "{%",
            // so "{%}" does not close itself.
            const std::size_t close = text.find("%}", pos + 2);
            if (close == std::string_view::npos) return std::unexpected("unmatched opening structured template delimiter");
            const std::string_view inner = text.substr(pos + 2, close - (pos + 2));
            return StructuredDirective{pos, close + 2, std::string(support::trim_white_space(inner))};
        } else {
            ++pos;
        }
    }
    return std::nullopt;
}

std::expected<LoopSource, std::string> read_block(std::string_view text, std::size_t at) {
    auto found = next_directive(text, at);
    if (!found) return std::unexpected(std::move(found.error()));
    if (!*found) return std::unexpected("unmatched opening structured template delimiter");  // no "{%" at `at`
    StructuredDirective open = std::move(**found);

    if (!opens_loop(open.text)) return std::unexpected(unexpected_directive(open.text));
    auto header = templates::parse_for_statement(open.text);
    if (!header) return std::unexpected(header.error().fmt());

    // Nested headers are only counted here; they are checked when the body is read.
    std::size_t depth = 1;
    std::size_t scan = open.end;
    while (true) {
        auto inner = next_directive(text, scan);
        if (!inner) return std::unexpected(std::move(inner.error()));
        if (!*inner) return std::unexpected("missing endfor for structured array loop");
        const StructuredDirective& d = **inner;
        if (opens_loop(d.text)) {
            ++depth;
        } else if (d.text == "endfor") {
            if (--depth == 0) {
                return LoopSource{std::move(header->variable), std::move(header->source),
                                  text.substr(open.end, d.start - open.end), d.end};
            }
        } else {
            return std::unexpected(unexpected_directive(d.text));
        }
        scan = d.end;
    }
}

}  // namespace veskora::render::structured_template
