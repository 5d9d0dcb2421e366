// Structured loop blocks in ruleset source text: finds "{% ... %}" directives outside strings
// and comments, cuts every outermost "for ... endfor" block out of a text, and leaves a quoted
// marker string in its place, so that the HOCON parser sees one string per block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veskora::render {

// One directive found in source text.
struct StructuredDirective {
    std::size_t start = 0;  // offset of the "{" of the opening "{%"
    std::size_t end = 0;    // offset just after the "}" of the closing "%}"
    std::string text;       // the text between the delimiters, trimmed of White_Space
};

// One structured loop block cut out of a text.
struct LoopSource {
    std::string marker;    // what replaced the block, without the surrounding quotation marks
    std::string variable;  // loop variable of the header
    std::string source;    // dotted source path of the header
    std::string body;      // raw text between the opening directive and its "endfor", untouched
};

// The working state of one transformation.
struct TemplateConfigParser {
    std::string prefix;
    std::vector<LoopSource> loops;
    std::uint64_t next_id = 0;
};

namespace structured_template {

// The transformed text, in which each outermost block stands as its quoted marker, and the
// blocks in text order. A text without a block is not copied: `text` is then the input itself.
struct TransformedSource {
    std::string_view text;               // the input, or `owned`
    std::unique_ptr<std::string> owned;  // the text with its blocks cut out, when it had any
    std::vector<LoopSource> loops;
};

// Where the quoted string whose opening quotation mark is at `pos` ends: just past its closing
// mark, a backslash escaping the byte after it; npos when the text ends first. The scans of
// source text for directives and for include statements step over strings with it.
std::size_t end_of_quoted(std::string_view text, std::size_t pos);

// The next directive at or after byte offset `from` (which starts outside any string or
// comment), nothing when the text ends first, or a failure message.
std::expected<std::optional<StructuredDirective>, std::string> next_directive(std::string_view text,
                                                                              std::size_t from);

// Cuts every outermost block out of `text`, which must outlive the result. Markers are numbered from `counter`, which receives
// its advanced value on success and is left alone on failure.
std::expected<TransformedSource, std::string> transform_source(std::string_view text, std::string_view prefix,
                                                               std::uint64_t& counter);

}  // namespace structured_template
}  // namespace veskora::render
