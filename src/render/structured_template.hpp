// Structured loop blocks in ruleset source text: finds "{% ... %}" directives outside strings
// and comments, and reads one "for ... endfor" block where the HOCON parser meets its "{%",
// the header checked and the body cut out for the loader to parse on its own.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace veskora::render {

// One directive found in source text.
struct StructuredDirective {
    std::size_t start = 0;  // offset of the "{" of the opening "{%"
    std::size_t end = 0;    // offset just after the "}" of the closing "%}"
    std::string text;       // the text between the delimiters, trimmed of White_Space
};

// One structured loop block read from a text.
struct LoopSource {
    std::string variable;   // loop variable of the header
    std::string source;     // dotted source path of the header
    std::string_view body;  // raw text between the opening directive and its "endfor", untouched
    std::size_t end = 0;    // offset just after the closing directive
};

namespace structured_template {

// The next directive at or after byte offset `from` (which starts outside any string or
// comment), nothing when the text ends first, or a failure message. Strings and comments are
// passed over as the HOCON parser reads them.
std::expected<std::optional<StructuredDirective>, std::string> next_directive(std::string_view text,
                                                                              std::size_t from);

// The block whose opening "{%" is at `at`: its header, its body (a view of `text`) and where it
// ends, or a failure message. Blocks nested in the body are only counted here, to find the
// matching "endfor"; they are read when the body is parsed.
std::expected<LoopSource, std::string> read_block(std::string_view text, std::size_t at);

}  // namespace structured_template
}  // namespace veskora::render
