#include "render/template.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "support/unicode.hpp"
#include "support/utf8.hpp"

namespace veskora::render::templates {

namespace {

using Kind = TemplateToken::Kind;

RenderError invalid(std::string_view detail) {
    return RenderError::invalid_template(std::string(detail));
}

std::string_view trim(std::string_view text) { return support::trim_white_space(text); }

// The bytes the tokenizer reacts to; everything else is copied in slices.
bool is_special(char c) { return c == '\\' || c == '%' || c == '{' || c == '}'; }

// Most texts of a ruleset (words in choices, values, notes) hold no brace and no backslash:
// they are one piece of literal text, with no tokens to cut or parse.
bool is_plain_text(std::string_view text) {
    return std::none_of(text.begin(), text.end(), [](char c) { return c == '{' || c == '}' || c == '\\'; });
}

// Removes the one trailing "!" that marks a unique reference, then the whitespace before it.
// The text must already be trimmed and end with "!".
std::string_view strip_unique_mark(std::string_view text) {
    text.remove_suffix(1);
    return trim(text);
}

}  // namespace

// Every delimiter is ASCII and UTF-8 never reuses ASCII bytes inside a multi-byte character, so
// scanning bytes sees exactly the delimiters a scan over characters would, and copies every
// other character untouched. Literal text between delimiters is appended in slices.
Result<std::vector<TemplateToken>> tokenize(std::string_view text) {
    std::vector<TemplateToken> tokens;
    // At most a token per opening brace and one of text before each and after the last, so the
    // list never grows on the way.
    tokens.reserve(2 * static_cast<std::size_t>(std::count(text.begin(), text.end(), '{')) + 1);
    std::string buffer;
    const auto flush = [&] {
        if (!buffer.empty()) {
            tokens.push_back(TemplateToken{Kind::Text, std::move(buffer)});
            buffer = std::string();
        }
    };

    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        std::size_t special = i;
        while (special < n && !is_special(text[special])) ++special;
        if (special == n) {
            buffer.append(text.substr(i));
            break;
        }
        buffer.append(text.substr(i, special - i));
        i = special;
        const char next = i + 1 < n ? text[i + 1] : '\0';
        const bool has_next = i + 1 < n;

        switch (text[i]) {
        case '\\':
            // Only braces are escaped; any other character after the backslash is handled
            // afresh, so "\\{" is a backslash followed by an escaped brace.
            if (has_next && (next == '{' || next == '}')) {
                buffer.push_back(next);
                i += 2;
            } else {
                buffer.push_back('\\');
                i += 1;
            }
            break;
        case '%':
            if (has_next && next == '}') {
                return std::unexpected(invalid("unmatched closing statement delimiter in template"));
            }
            buffer.push_back('%');
            i += 1;
            break;
        case '}':
            return std::unexpected(invalid("unmatched closing brace in template"));
        default: {  // '{'
            flush();
            if (!has_next) return std::unexpected(invalid("unmatched opening brace in template"));
            if (next == '%') {
                // The search starts after the opening "%", so "{%}" does not close itself.
                const std::size_t content = i + 2;
                const std::size_t close = text.find("%}", content);
                if (close == std::string_view::npos) {
                    return std::unexpected(
                        invalid("unmatched opening statement delimiter in template"));
                }
                tokens.push_back(TemplateToken{
                    Kind::Statement, std::string(trim(text.substr(content, close - content)))});
                i = close + 2;
            } else {
                const std::size_t content = i + 1;
                const std::size_t close = text.find('}', content);
                if (close == std::string_view::npos) {
                    return std::unexpected(invalid("unmatched opening brace in template"));
                }
                tokens.push_back(TemplateToken{
                    Kind::Expression, std::string(trim(text.substr(content, close - content)))});
                i = close + 1;
            }
            break;
        }
        }
    }
    flush();
    return tokens;
}

namespace {

// The nodes of a whole template, in text order.
Result<NodeList> parse_template(support::Arena& arena, std::string_view text, const ProcessorMap& processors) {
    auto tokens = tokenize(text);
    if (!tokens) return std::unexpected(std::move(tokens.error()));
    TemplateParser parser(arena, *tokens, processors);
    return parser.parse_nodes(false);
}

}  // namespace

Result<NodePtr> template_to_node(support::Arena& arena, std::string_view text, const ProcessorMap& processors) {
    if (is_plain_text(text)) {
        NodeList nodes(arena);
        if (!text.empty()) nodes.push_back(arena.make<LiteralNode>(arena, text));
        return NodePtr(arena.make<VecNode>(std::move(nodes)));
    }
    auto nodes = parse_template(arena, text, processors);
    if (!nodes) return std::unexpected(std::move(nodes.error()));
    return NodePtr(arena.make<VecNode>(std::move(*nodes)));
}

Result<NodePtr> text_to_node(support::Arena& arena, std::string_view text, const ProcessorMap& processors) {
    if (is_plain_text(text)) return NodePtr(arena.make<LiteralNode>(arena, text));
    auto nodes = parse_template(arena, text, processors);
    if (!nodes) return std::unexpected(std::move(nodes.error()));
    // A text that is one expression, binding or loop (a member naming a rule, say) renders as
    // that node: a sequence of one would only add its allocations and a call.
    if (nodes->size() == 1 && nodes->front()->literal() == nullptr) return nodes->front();
    return NodePtr(arena.make<VecNode>(std::move(*nodes)));
}

Result<NodeList> TemplateParser::parse_nodes(bool in_loop) {
    NodeList nodes(arena_);
    // A token gives at most one node, so the list never grows (and leaves no spent block behind
    // in an arena).
    nodes.reserve(tokens_.size() - position_);
    while (position_ < tokens_.size()) {
        const TemplateToken& token = tokens_[position_];
        switch (token.kind) {
        case Kind::Text:
            nodes.push_back(arena_.make<LiteralNode>(arena_, token.text));
            ++position_;
            break;
        case Kind::Expression:
            if (auto done = parse_expression(token.text, nodes); !done) {
                return std::unexpected(std::move(done.error()));
            }
            ++position_;
            break;
        case Kind::Statement: {
            const std::string_view text = token.text;
            if (text == "endfor") {
                if (!in_loop) return std::unexpected(invalid("endfor"));
                ++position_;
                return nodes;
            }
            if (text.starts_with("for ")) {
                auto header = parse_for_statement(text);
                if (!header) return std::unexpected(std::move(header.error()));
                // Checked before descending, so even a template of endless nested loops never
                // recurses past the bound.
                if (loop_variables_.size() >= kMaxLoopNesting) {
                    return std::unexpected(RenderError::invalid_template(
                        "template loops nested more than " + std::to_string(kMaxLoopNesting) +
                        " levels deep"));
                }
                ++position_;
                loop_variables_.push_back(header->variable);
                auto body = parse_nodes(true);
                loop_variables_.pop_back();
                if (!body) return std::unexpected(std::move(body.error()));
                nodes.push_back(arena_.make<ForEachNode>(arena_, header->variable,
                                                         arena_.make<ArrayIterationSource>(arena_, header->source),
                                                         arena_.make<VecNode>(std::move(*body))));
                break;
            }
            if (auto done = parse_binding(token.text, nodes); !done) {
                return std::unexpected(std::move(done.error()));
            }
            ++position_;
            break;
        }
        }
    }
    if (in_loop) return std::unexpected(invalid("missing endfor for template loop"));
    return nodes;
}

Result<void> TemplateParser::parse_expression(const std::string& text, NodeList& nodes) {
    auto pipeline = parse_pipeline(arena_, text, processors_);
    if (!pipeline) return std::unexpected(std::move(pipeline.error()));
    std::string_view head = pipeline->head;
    // Bindings are statements only.
    if (head.find(':') != std::string_view::npos) return std::unexpected(invalid(text));
    bool unique = false;
    if (head.ends_with('!')) {
        unique = true;
        head = strip_unique_mark(head);
        if (head.empty()) return std::unexpected(invalid(text));
    }
    if (!unique && pipeline->processors.empty()) {
        const auto innermost = std::find(loop_variables_.rbegin(), loop_variables_.rend(), head);
        if (innermost != loop_variables_.rend()) {
            const auto outward = static_cast<std::size_t>(innermost - loop_variables_.rbegin());
            nodes.push_back(arena_.make<LoopVariableNode>(arena_, head, outward));
            return {};
        }
    }
    nodes.push_back(pipeline_node(arena_, rule_call_node(arena_, head, unique), std::move(pipeline->processors)));
    return {};
}

Result<void> TemplateParser::parse_binding(const std::string& text, NodeList& nodes) {
    auto pipeline = parse_pipeline(arena_, text, processors_);
    if (!pipeline) return std::unexpected(std::move(pipeline.error()));
    const std::string_view head = pipeline->head;
    // The first ":=" anywhere wins over an earlier lone ":".
    bool overwrite = true;
    std::size_t separator = head.find(":=");
    std::size_t separator_length = 2;
    if (separator == std::string_view::npos) {
        overwrite = false;
        separator = head.find(':');
        separator_length = 1;
        if (separator == std::string_view::npos) return std::unexpected(invalid(text));
    }
    auto node = bind_node(arena_, text, head.substr(0, separator), head.substr(separator + separator_length),
                          std::move(pipeline->processors), overwrite);
    if (!node) return std::unexpected(std::move(node.error()));
    nodes.push_back(*node);
    return {};
}

Result<Pipeline> parse_pipeline(support::Arena& arena, std::string_view text, const ProcessorMap& processors) {
    std::size_t bar = text.find('|');
    Pipeline pipeline{trim(text.substr(0, bar)), ProcessorNames(arena)};
    if (pipeline.head.empty()) return std::unexpected(invalid(text));
    while (bar != std::string_view::npos) {
        const std::size_t start = bar + 1;
        bar = text.find('|', start);
        const std::string_view piece =
            trim(text.substr(start, bar == std::string_view::npos ? bar : bar - start));
        if (piece.empty()) return std::unexpected(invalid(text));
        if (!processors.contains(piece)) {
            return std::unexpected(RenderError::unknown_processor(std::string(piece)));
        }
        pipeline.processors.emplace_back(arena, piece);
    }
    return pipeline;
}

support::ArenaPtr<RuleCallNode> rule_call_node(support::Arena& arena, std::string_view name, bool unique) {
    return arena.make<RuleCallNode>(arena, name, unique);
}

NodePtr pipeline_node(support::Arena& arena, support::ArenaPtr<RuleCallNode> call, ProcessorNames processors) {
    if (processors.empty()) return call;
    return arena.make<ProcessorPipelineNode>(std::move(processors), call);
}

Result<ForStatement> parse_for_statement(std::string_view statement) {
    // Splitting decodes characters, which needs well-formed UTF-8; a header that is not can
    // hold no identifier anyway.
    if (support::validate_utf8(statement)) return std::unexpected(invalid(statement));
    // Words at runs of White_Space; a fifth word already decides the failure.
    std::string_view words[5];
    std::size_t count = 0;
    std::size_t word_start = std::string_view::npos;
    std::size_t pos = 0;
    while (pos < statement.size() && count < 5) {
        const std::size_t here = pos;
        const char32_t c = support::decode_utf8(statement, pos);
        if (support::is_white_space(c)) {
            if (word_start != std::string_view::npos) {
                words[count++] = statement.substr(word_start, here - word_start);
                word_start = std::string_view::npos;
            }
        } else if (word_start == std::string_view::npos) {
            word_start = here;
        }
    }
    if (word_start != std::string_view::npos && count < 5) {
        words[count++] = statement.substr(word_start);
    }

    if (count != 4 || words[0] != "for" || words[2] != "in" || words[1] == "loop" ||
        !is_identifier(words[1]) || !is_source_path(words[3])) {
        return std::unexpected(invalid(statement));
    }
    return ForStatement{std::string(words[1]), std::string(words[3])};
}

bool is_identifier(std::string_view text) {
    // Decoding assumes well-formed UTF-8; anything else is no identifier.
    if (text.empty() || support::validate_utf8(text)) return false;
    std::size_t pos = 0;
    const char32_t first = support::decode_utf8(text, pos);
    if (first != U'_' && !support::is_alphabetic(first)) return false;
    while (pos < text.size()) {
        const char32_t c = support::decode_utf8(text, pos);
        if (c != U'_' && c != U'-' && !support::is_alphabetic(c) && !support::is_numeric(c)) {
            return false;
        }
    }
    return true;
}

bool is_source_path(std::string_view text) {
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = text.find('.', start);
        const std::string_view piece =
            text.substr(start, dot == std::string_view::npos ? dot : dot - start);
        if (piece.empty() || piece.find_first_of("!%:{|}") != std::string_view::npos) {
            return false;
        }
        if (dot == std::string_view::npos) return true;
        start = dot + 1;
    }
}

Result<NodePtr> bind_node(support::Arena& arena, std::string_view statement, std::string_view name_part,
                          std::string_view value_part, ProcessorNames processors,
                          bool overwrite) {
    const std::string_view name = trim(name_part);
    std::string_view value = trim(value_part);
    if (name.empty() || value.empty()) return std::unexpected(invalid(statement));
    bool unique = false;
    if (value.ends_with('!')) {
        unique = true;
        value = strip_unique_mark(value);
        if (value.empty()) return std::unexpected(invalid(statement));
    }
    return NodePtr(arena.make<BindNode>(
        arena, name, pipeline_node(arena, rule_call_node(arena, value, unique), std::move(processors)), overwrite));
}

}  // namespace veskora::render::templates
