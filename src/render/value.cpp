// Number text, the two JSON writers, member paths, and the generation of values from the
// structured tree.
#include "render/value.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <type_traits>

#include "render/nodes.hpp"
#include "render/state.hpp"
#include "support/utf8.hpp"

namespace veskora::render {

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};

void append_float_text(std::string& out, double value) {
    if (value == 0.0) {
        out.append(std::signbit(value) ? "-0.0" : "0.0");
        return;
    }
    if (!std::isfinite(value)) {
        // Compilation never lets such a float into a value; keep the text readable anyway.
        out.append(std::isnan(value) ? "NaN" : (value < 0 ? "-inf" : "inf"));
        return;
    }
    // Shortest round-tripping digits in scientific form, e.g. "-1.2345e-07", then laid out anew.
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
    if (sci.front() == '-') {
        out.push_back('-');
        sci.remove_prefix(1);
    }
    const std::size_t e_pos = sci.find('e');
    std::string_view mantissa = sci.substr(0, e_pos);
    int exponent = 0;
    {
        std::string_view exp_text = sci.substr(e_pos + 1);
        const bool negative = exp_text.front() == '-';
        if (exp_text.front() == '+' || exp_text.front() == '-') exp_text.remove_prefix(1);
        std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
        if (negative) exponent = -exponent;
    }
    char digits[32] = {};  // to_chars writes at least one digit; zeroed for compilers that cannot tell
    std::size_t count = 0;
    for (char c : mantissa) {
        if (c != '.') digits[count++] = c;
    }
    const std::string_view d(digits, count);

    if (exponent >= -5 && exponent <= 15) {
        if (exponent >= 0) {
            const auto int_len = static_cast<std::size_t>(exponent) + 1;
            if (count <= int_len) {
                out.append(d);
                out.append(int_len - count, '0');
                out.append(".0");
            } else {
                out.append(d.substr(0, int_len));
                out.push_back('.');
                out.append(d.substr(int_len));
            }
        } else {
            out.append("0.");
            out.append(static_cast<std::size_t>(-exponent - 1), '0');
            out.append(d);
        }
        return;
    }
    out.push_back(d.front());
    if (count > 1) {
        out.push_back('.');
        out.append(d.substr(1));
    }
    out.push_back('e');
    out.push_back(exponent < 0 ? '-' : '+');
    char exp_buf[8];
    const auto er = std::to_chars(exp_buf, exp_buf + sizeof exp_buf, std::abs(exponent));
    out.append(exp_buf, er.ptr);
}

template <class I>
void append_integer(std::string& out, I value) {
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, res.ptr);
}

void append_json_number(std::string& out, const VeskoraNumber& number) {
    if (const double* f = std::get_if<double>(&number); f && !std::isfinite(*f)) {
        out.append("null");  // the JSON value model has no non-finite numbers
        return;
    }
    append_number_text(out, number);
}

// The punctuation of both JSON layouts: compact, or `pretty` with every element on its own
// line, indented by one tab per level, and ": " after keys. Writers open a container, call
// element() before each element (and key() for a member), and close it.
class JsonLayout {
public:
    JsonLayout(std::string& out, bool pretty) : out_(out), pretty_(pretty) {}

    std::string& out() { return out_; }
    void open(char bracket) { out_.push_back(bracket); }
    // `first` belongs to the container being written, whose own depth is `level`.
    void element(bool& first, std::size_t level) {
        if (!first) out_.push_back(',');
        first = false;
        if (pretty_) newline(level + 1);
    }
    void key(std::string_view key) {
        append_json_string(out_, key);
        out_.append(pretty_ ? ": " : ":");
    }
    // An empty container closes on its opening line: "{}" and "[]".
    void close(char bracket, bool first, std::size_t level) {
        if (pretty_ && !first) newline(level);
        out_.push_back(bracket);
    }

private:
    void newline(std::size_t level) {
        out_.push_back('\n');
        out_.append(level, '\t');
    }

    std::string& out_;
    bool pretty_;
};

void write_json(JsonLayout& json, const VeskoraValue& value, std::size_t level) {
    std::visit(Overloaded{
                   [&](const VeskoraValue::Object& object) {
                       json.open('{');
                       bool first = true;
                       for (const auto& [key, member] : object) {
                           json.element(first, level);
                           json.key(key);
                           write_json(json, member, level + 1);
                       }
                       json.close('}', first, level);
                   },
                   [&](const VeskoraValue::Array& array) {
                       json.open('[');
                       bool first = true;
                       for (const auto& element : array) {
                           json.element(first, level);
                           write_json(json, element, level + 1);
                       }
                       json.close(']', first, level);
                   },
                   [&](const std::string& text) { append_json_string(json.out(), text); },
                   [&](const VeskoraNumber& number) { append_json_number(json.out(), number); },
                   [&](bool b) { json.out().append(b ? "true" : "false"); },
                   [&](VeskoraValue::Null) { json.out().append("null"); },
               },
               value.data);
}

// Strings reach values from UTF-8 sources only; the check keeps a stray byte from leaving the
// engine as indented JSON all the same.
Result<void> check_formatted_json(const std::string& json) {
    if (auto error = support::validate_utf8(json)) {
        return std::unexpected(RenderError::json_serialization(error->message()));
    }
    return {};
}

// The elements of a loop entry: `body` once per element of its source, in that element's scope.
template <class Body>
Result<void> for_each_element(RenderState& state, std::string_view variable, std::string_view source,
                              Body&& body) {
    auto elements = state.iterable_elements(source);
    if (!elements) return std::unexpected(std::move(elements.error()));
    return state.iterate(variable, std::move(*elements), std::forward<Body>(body));
}

// Splits a dotted path into segments (empty segments included) and follows object members.
template <class Node, class GetObject>
const Node* walk_members(const Node& start, std::string_view path, GetObject get_object) {
    if (path.empty()) return &start;
    const Node* current = &start;
    std::size_t pos = 0;
    while (true) {
        const std::size_t dot = path.find('.', pos);
        const std::string_view segment =
            path.substr(pos, dot == std::string_view::npos ? std::string_view::npos : dot - pos);
        const auto* object = get_object(*current);
        if (object == nullptr) return nullptr;
        const auto it = object->find(segment);
        if (it == object->end()) return nullptr;
        current = &it->second;
        if (dot == std::string_view::npos) return current;
        pos = dot + 1;
    }
}

}  // namespace

void append_number_text(std::string& out, const VeskoraNumber& number) {
    std::visit(Overloaded{
                   [&](std::int64_t i) { append_integer(out, i); },
                   [&](std::uint64_t u) { append_integer(out, u); },
                   [&](double f) { append_float_text(out, f); },
               },
               number);
}

std::string number_text(const VeskoraNumber& number) {
    std::string out;
    append_number_text(out, number);
    return out;
}

namespace {

// The bytes a JSON string escapes: the controls, the quote and the backslash. Looked up rather
// than compared three ways, since every string and key of a JSON render is scanned.
constexpr auto kEscaped = [] {
    std::array<bool, 256> escaped{};
    for (int byte = 0; byte < 0x20; ++byte) escaped[byte] = true;
    escaped['"'] = true;
    escaped['\\'] = true;
    return escaped;
}();

bool needs_escape(char c) { return kEscaped[static_cast<unsigned char>(c)]; }

// The length of the text's first run of bytes that need no escape.
std::size_t plain_prefix(std::string_view text) {
    std::size_t run = 0;
    while (run < text.size() && !needs_escape(text[run])) ++run;
    return run;
}

// Appends the text escaped (without quotes), knowing that its first `run` bytes need no escape.
void append_escaped(std::string& out, std::string_view text, std::size_t run) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.append(text.substr(0, run));
    for (std::size_t i = run; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (!needs_escape(text[i])) continue;
        out.append(text.substr(run, i - run));
        run = i + 1;
        switch (c) {
            case '"': out.append("\\\""); break;
            case '\\': out.append("\\\\"); break;
            case '\b': out.append("\\b"); break;
            case '\t': out.append("\\t"); break;
            case '\n': out.append("\\n"); break;
            case '\f': out.append("\\f"); break;
            case '\r': out.append("\\r"); break;
            default:
                out.append("\\u00");
                out.push_back(kHex[c >> 4]);
                out.push_back(kHex[c & 0xF]);
        }
    }
    out.append(text.substr(run));
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
    const std::size_t run = plain_prefix(text);
    // Most texts need no escape: the quoted text is then written in one piece.
    if (run == text.size()) {
        const std::size_t start = out.size();
        const std::size_t size = start + text.size() + 2;
        out.resize_and_overwrite(size, [&](char* data, std::size_t) {
            data[start] = '"';
            if (!text.empty()) std::memcpy(data + start + 1, text.data(), text.size());
            data[size - 1] = '"';
            return size;
        });
        return;
    }
    out.reserve(out.size() + text.size() + 2);
    out.push_back('"');
    append_escaped(out, text, run);
    out.push_back('"');
}

// ---- VeskoraValue ----

const VeskoraValue* VeskoraValue::child(std::string_view path) const {
    return walk_members(*this, path, [](const VeskoraValue& v) { return std::get_if<Object>(&v.data); });
}

Result<void> VeskoraValue::append_rendered_text(std::string& out) const {
    return std::visit(Overloaded{
                          [](const Object&) -> Result<void> {
                              return std::unexpected(RenderError::unsupported_value("object"));
                          },
                          [](const Array&) -> Result<void> {
                              return std::unexpected(RenderError::unsupported_value("array"));
                          },
                          [&](const std::string& text) -> Result<void> {
                              out.append(text);
                              return {};
                          },
                          [&](const VeskoraNumber& number) -> Result<void> {
                              append_number_text(out, number);
                              return {};
                          },
                          [&](bool b) -> Result<void> {
                              out.append(b ? "true" : "false");
                              return {};
                          },
                          [&](Null) -> Result<void> {
                              out.append("null");
                              return {};
                          },
                      },
                      data);
}

Result<std::string> VeskoraValue::to_rendered_text() const {
    std::string out;
    if (auto r = append_rendered_text(out); !r) return std::unexpected(std::move(r.error()));
    return out;
}

Result<std::string> VeskoraValue::to_compact_json() const {
    std::string out;
    JsonLayout json(out, false);
    write_json(json, *this, 0);
    return out;
}

Result<std::string> VeskoraValue::to_formatted_json() const {
    std::string out;
    JsonLayout json(out, true);
    write_json(json, *this, 0);
    if (auto checked = check_formatted_json(out); !checked) return std::unexpected(std::move(checked.error()));
    return out;
}

const char* kind_text(const VeskoraValue& value) {
    static constexpr const char* kNames[] = {"object", "array", "string", "number", "boolean", "null"};
    return kNames[value.data.index()];
}

// ---- StructuredNode ----

StructuredNode::StructuredNode() : data(nullptr) {}
StructuredNode::StructuredNode(Data d) : data(std::move(d)) {}
static_assert(std::is_trivially_destructible_v<StructuredNode> &&
              std::is_trivially_destructible_v<StructuredArrayEntry>);

Result<void> StructuredNode::generate_text(RenderState& state, std::string& out) const {
    return std::visit(Overloaded{
                          [](const Object&) -> Result<void> {
                              return std::unexpected(RenderError::unsupported_value("object"));
                          },
                          [](const Array&) -> Result<void> {
                              return std::unexpected(RenderError::unsupported_value("array"));
                          },
                          [&](const Text& node) -> Result<void> { return node->generate_text(state, out); },
                          [&](const VeskoraNumber& number) -> Result<void> {
                              append_number_text(out, number);
                              return {};
                          },
                          [&](bool b) -> Result<void> {
                              out.append(b ? "true" : "false");
                              return {};
                          },
                          [&](Null) -> Result<void> {
                              out.append("null");
                              return {};
                          },
                      },
                      data);
}

Result<std::string> StructuredNode::generate_text(RenderState& state) const {
    std::string out;
    if (auto r = generate_text(state, out); !r) return std::unexpected(std::move(r.error()));
    return out;
}

namespace {

// Builds the value in place: moving finished values between results makes GCC 12 warn about
// the variant's inactive storage.
Result<void> generate_into(const StructuredNode& node, RenderState& state, VeskoraValue& out) {
    if (const auto* object = std::get_if<StructuredNode::Object>(&node.data)) {
        auto& members = out.data.emplace<VeskoraValue::Object>();
        for (const auto& [key, member] : *object) {
            VeskoraValue& value = members.emplace_hint(members.end(), key, VeskoraValue{})->second;
            if (auto r = generate_into(member, state, value); !r) return r;
        }
        return {};
    }
    if (const auto* entries = std::get_if<StructuredNode::Array>(&node.data)) {
        auto& values = out.data.emplace<VeskoraValue::Array>();
        values.reserve(entries->size());
        for (const auto& entry : *entries) {
            if (auto r = entry.append_values(state, values); !r) return r;
        }
        return {};
    }
    if (const auto* text = std::get_if<StructuredNode::Text>(&node.data)) {
        auto& rendered = out.data.emplace<std::string>();
        return (*text)->generate_text(state, rendered);
    }
    if (const auto* number = std::get_if<VeskoraNumber>(&node.data)) {
        out.data.emplace<VeskoraNumber>(*number);
    } else if (const auto* b = std::get_if<bool>(&node.data)) {
        out.data.emplace<bool>(*b);
    } else {
        out.data.emplace<VeskoraValue::Null>();
    }
    return {};
}

// The JSON text of a template, a number, a boolean or null; `text` holds a template's text
// while it is escaped.
Result<void> write_leaf_json(const StructuredNode& node, RenderState& state, std::string& out,
                             std::string& text) {
    if (const auto* template_node = std::get_if<StructuredNode::Text>(&node.data)) {
        // Rendered in place after its opening quote: most texts need no escape and stay there.
        const std::size_t start = out.size() + 1;
        out.push_back('"');
        if (auto r = (*template_node)->generate_text(state, out); !r) return r;
        const std::string_view written = std::string_view(out).substr(start);
        if (const std::size_t run = plain_prefix(written); run != written.size()) {
            text.assign(written);
            out.resize(start);
            append_escaped(out, text, run);
        }
        out.push_back('"');
    } else if (const auto* number = std::get_if<VeskoraNumber>(&node.data)) {
        append_json_number(out, *number);
    } else if (const auto* b = std::get_if<bool>(&node.data)) {
        out.append(*b ? "true" : "false");
    } else {
        out.append("null");
    }
    return {};
}

// The JSON text of the value generate_value would give, written as the tree is walked. Members
// and elements that are leaves are written in the loops over them, saving a level of the walk
// per value.
Result<void> write_value_json(const StructuredNode& node, RenderState& state, JsonLayout& json,
                              std::size_t level, std::string& text) {
    const auto nested = [&](const StructuredNode& value) {
        const bool leaf = !std::holds_alternative<StructuredNode::Object>(value.data) &&
                          !std::holds_alternative<StructuredNode::Array>(value.data);
        return leaf ? write_leaf_json(value, state, json.out(), text)
                    : write_value_json(value, state, json, level + 1, text);
    };
    if (const auto* object = std::get_if<StructuredNode::Object>(&node.data)) {
        json.open('{');
        bool first = true;
        for (const auto& [key, member] : *object) {
            json.element(first, level);
            json.key(key);
            if (auto r = nested(member); !r) return r;
        }
        json.close('}', first, level);
        return {};
    }
    if (const auto* entries = std::get_if<StructuredNode::Array>(&node.data)) {
        json.open('[');
        bool first = true;
        const auto element = [&](const StructuredNode& value) {
            json.element(first, level);
            return nested(value);
        };
        for (const auto& entry : *entries) {
            Result<void> r;
            if (const StructuredNode* value = entry.value_node()) {
                r = element(*value);
            } else {
                const auto loop = *entry.iteration();
                r = for_each_element(state, loop.variable, loop.source, [&] { return element(loop.body); });
            }
            if (!r) return r;
        }
        json.close(']', first, level);
        return {};
    }
    return write_leaf_json(node, state, json.out(), text);
}

}  // namespace

Result<void> StructuredNode::write_json(RenderState& state, bool pretty, std::string& out) const {
    JsonLayout json(out, pretty);
    std::string text;
    if (auto r = write_value_json(*this, state, json, 0, text); !r) return r;
    return pretty ? check_formatted_json(out) : Result<void>{};
}

Result<VeskoraValue> StructuredNode::generate_value(RenderState& state) const {
    Result<VeskoraValue> result{std::in_place};
    if (auto r = generate_into(*this, state, *result); !r) return std::unexpected(std::move(r.error()));
    return result;
}

const StructuredNode* StructuredNode::child(std::string_view path) const {
    return walk_members(*this, path, [](const StructuredNode& n) { return std::get_if<Object>(&n.data); });
}

void StructuredNode::link(Linker& linker) {
    if (auto* object = std::get_if<Object>(&data)) {
        for (auto& [key, member] : *object) member.link(linker);
    } else if (auto* entries = std::get_if<Array>(&data)) {
        for (auto& entry : *entries) entry.link(linker);
    } else if (auto* text = std::get_if<Text>(&data)) {
        (*text)->link(linker);
    }
}

const NodeText* StructuredNode::literal() const {
    const auto* text = std::get_if<Text>(&data);
    return text != nullptr ? (*text)->literal() : nullptr;
}

const char* kind_text(const StructuredNode& node) {
    static constexpr const char* kNames[] = {"object", "array", "string", "number", "boolean", "null"};
    return kNames[node.data.index()];
}

// ---- Array entries ----

Result<void> StructuredArrayEntry::append_values(RenderState& state, std::vector<VeskoraValue>& out) const {
    const auto append = [&](const StructuredNode& node) -> Result<void> {
        auto value = node.generate_value(state);
        if (!value) return std::unexpected(std::move(value.error()));
        out.push_back(std::move(*value));
        return {};
    };
    if (!loop_) return append(node_);
    return for_each_element(state, loop_->variable, loop_->source, [&] { return append(loop_->body); });
}

}  // namespace veskora::render
