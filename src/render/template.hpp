// The template language: cuts a template text into literal text, "{...}" expressions and
// "{%...%}" statements, then parses the tokens into text nodes (rule calls, processor pipelines,
// bindings, loops). Processor names are checked against the ruleset's map at compile time.
//
// The namespace is `veskora::render::templates` because `template` is a C++ keyword.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "render/error.hpp"
#include "render/nodes.hpp"
#include "render/processor.hpp"

namespace veskora::render::templates {

// How deeply "{% for %}" loops may nest inside one template. Parsing and rendering recurse once
// per level, so a deeper template fails with InvalidTemplate instead of exhausting the stack.
inline constexpr std::size_t kMaxLoopNesting = 32;

// One token of a template, in text order.
struct TemplateToken {
    enum class Kind : unsigned char {
        Text,        // literal text after escapes; never empty, never trimmed
        Expression,  // between "{" and the first "}", trimmed; may be empty
        Statement,   // between "{%" and the first "%}", trimmed; may be empty
    };

    Kind kind;
    std::string text;

    friend bool operator==(const TemplateToken&, const TemplateToken&) = default;
};

// Compiles one template into a VecNode whose children are the parsed nodes in text order (also
// for an empty text), made in `arena`. The whole text is tokenized before parsing, so a tokenizer
// error anywhere wins over any parser error.
Result<NodePtr> template_to_node(support::Arena& arena, std::string_view text, const ProcessorMap& processors);

// The node a text renders through, for callers that only render it (the structured tree): a
// text with no brace and no backslash is its one LiteralNode, two allocations fewer than the
// VecNode around it; a text of one expression, binding or loop is that one node; any other text
// as template_to_node compiles it.
Result<NodePtr> text_to_node(support::Arena& arena, std::string_view text, const ProcessorMap& processors);

// The tokenizer alone. Fails with InvalidTemplate: "unmatched opening brace in template",
// "unmatched closing brace in template", "unmatched opening statement delimiter in template"
// or "unmatched closing statement delimiter in template".
Result<std::vector<TemplateToken>> tokenize(std::string_view text);

// A cursor over the tokens of one template, making its nodes in an arena. The body of a loop is
// parsed by a nested parse_nodes call on the same parser, which returns just past the closing
// "endfor".
class TemplateParser {
public:
    // Both views must outlive the parser.
    TemplateParser(support::Arena& arena, std::span<const TemplateToken> tokens, const ProcessorMap& processors)
        : arena_(arena), tokens_(tokens), processors_(processors) {}

    // Parses tokens from the current position: to the end of the tokens when `in_loop` is
    // false, to the matching "endfor" (consumed) when it is true.
    Result<NodeList> parse_nodes(bool in_loop);

    std::size_t position() const { return position_; }

private:
    Result<void> parse_expression(const std::string& text, NodeList& nodes);
    Result<void> parse_binding(const std::string& text, NodeList& nodes);

    support::Arena& arena_;
    std::span<const TemplateToken> tokens_;
    const ProcessorMap& processors_;
    std::size_t position_ = 0;
    // The variables of the loops open around the current parse_nodes call, innermost last.
    std::vector<std::string> loop_variables_;
};

// An expression or binding split at "|": the trimmed head (a view into the text passed in) and
// the processor names in written order.
struct Pipeline {
    std::string_view head;
    ProcessorNames processors;
};

// Splits `text` at every "|", the names kept in `arena`. InvalidTemplate(text) for an empty head
// or an empty processor piece; UnknownProcessor(piece) for a name not in `processors`. Checks run
// left to right.
Result<Pipeline> parse_pipeline(support::Arena& arena, std::string_view text, const ProcessorMap& processors);

support::ArenaPtr<RuleCallNode> rule_call_node(support::Arena& arena, std::string_view name, bool unique);

// The call itself when `processors` is empty, else a ProcessorPipelineNode around it, made in
// `arena`.
NodePtr pipeline_node(support::Arena& arena, support::ArenaPtr<RuleCallNode> call, ProcessorNames processors);

// The variable and source path of a loop header.
struct ForStatement {
    std::string variable;
    std::string source;
};

// Checks a loop header: the whole (trimmed) statement text, e.g. "for item in lists.items".
// It must be exactly four words separated by White_Space: "for", an identifier other than
// "loop", "in", and a source path. Any failure is InvalidTemplate carrying `statement`
// unchanged. Also checks the headers of structured loop blocks in ruleset source.
Result<ForStatement> parse_for_statement(std::string_view statement);

// A leading "_" or Alphabetic character, then "_", "-", Alphabetic or Numeric characters.
bool is_identifier(std::string_view text);

// Non-empty "."-separated pieces, none containing "!", "%", ":", "{", "|" or "}".
bool is_source_path(std::string_view text);

// Builds the node of a binding statement from the text before and after its separator, in
// `arena`. InvalidTemplate(statement) for an empty name or value, or a value that is only "!".
Result<NodePtr> bind_node(support::Arena& arena, std::string_view statement, std::string_view name_part,
                          std::string_view value_part, ProcessorNames processors,
                          bool overwrite);

}  // namespace veskora::render::templates
