#include "hocon/raw.hpp"

#include <algorithm>

#include "hocon/text.hpp"

namespace hocon {

namespace {

// Characters that end an unquoted string; a path segment holding any of them (or "." or
// nothing at all) must be quoted to read back as the same segment.
bool segment_needs_quotes(const std::string& segment) {
    if (segment.empty()) return true;
    for (unsigned char c : segment) {
        if (c <= 0x20 || c >= 0x7f) return true;
        switch (c) {
            case '$': case '"': case '{': case '}': case '[': case ']': case ':': case '=':
            case ',': case '+': case '#': case '`': case '^': case '?': case '!': case '@':
            case '*': case '&': case '\\': case '.': case '/':
                return true;
            default:
                break;
        }
    }
    return false;
}

void append_quoted(std::string& out, const std::string& text) {
    static const char* hex = "0123456789abcdef";
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 15];
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

bool is_separator_whitespace(const std::string& s) {
    if (text::find_invalid_utf8(s)) return false;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t len = text::whitespace_at(s, i, false);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

enum class PartClass { Simple, Object, Array, Substitution };

PartClass classify(const RawValue& v) {
    switch (v.kind()) {
        case RawValue::Kind::Object: return PartClass::Object;
        case RawValue::Kind::Array: return PartClass::Array;
        case RawValue::Kind::Substitution: return PartClass::Substitution;
        default: return PartClass::Simple;
    }
}

}  // namespace

// The text is made once, when the path is: keys are read as text far more often than made.
RawString RawString::path_expression(std::vector<std::string> segments) {
    std::string text;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        if (i) text += '.';
        if (segment_needs_quotes(segments[i]))
            append_quoted(text, segments[i]);
        else
            text += segments[i];
    }
    RawString s(Kind::PathExpression, std::move(text));
    s.segments_ = std::make_unique<std::vector<std::string>>(std::move(segments));
    return s;
}

RawString::RawString(const RawString& other)
    : kind_(other.kind_),
      text_(other.text_),
      segments_(other.segments_ ? std::make_unique<std::vector<std::string>>(*other.segments_) : nullptr) {}

RawString& RawString::operator=(const RawString& other) {
    if (this != &other) *this = RawString(other);
    return *this;
}

bool RawString::operator==(const RawString& other) const {
    return kind_ == other.kind_ && text_ == other.text_ && std::ranges::equal(path(), other.path());
}

std::vector<std::string> RawString::as_path() const {
    const auto segments = path();
    return std::vector<std::string>(segments.begin(), segments.end());
}

Concatenation::Concatenation(std::vector<RawValue> parts, std::vector<std::string> separators)
    : parts_(std::move(parts)), separators_(std::move(separators)) {}

std::pair<std::vector<RawValue>, std::vector<std::string>> Concatenation::into_parts() && {
    return {std::move(parts_), std::move(separators_)};
}

RawValue RawValue::object(std::vector<std::pair<RawString, RawValue>> fields) {
    RawObject obj;
    obj.fields.reserve(fields.size());
    for (auto& [key, value] : fields) obj.fields.push_back(ObjectField::key_value(std::move(key), std::move(value)));
    return RawValue(std::move(obj));
}

RawValue RawValue::array(std::vector<RawValue> elements) {
    RawValue v;
    v.node_ = std::move(elements);
    return v;
}

RawValue RawValue::boolean(bool value) {
    RawValue v;
    v.node_ = value;
    return v;
}

RawValue RawValue::substitution(std::vector<std::string> path, bool optional, SourceLocation location) {
    return RawValue(hocon::Substitution{std::move(path), optional, std::move(location)});
}

std::expected<RawValue, Error> RawValue::concat(std::vector<RawValue> parts, std::vector<std::string> separators) {
    if (parts.size() < 2) return std::unexpected(Error("a concatenation needs at least two parts"));
    if (separators.size() != parts.size() - 1)
        return std::unexpected(Error("a concatenation of " + std::to_string(parts.size()) + " parts needs " +
                                     std::to_string(parts.size() - 1) + " separators, got " +
                                     std::to_string(separators.size())));
    for (const auto& sep : separators)
        if (!is_separator_whitespace(sep))
            return std::unexpected(Error("a concatenation separator must be whitespace without a newline"));
    bool has_simple = false, has_object = false, has_array = false;
    for (const auto& part : parts) {
        if (part.is_concatenation() || part.is_append())
            return std::unexpected(Error("a concatenation cannot hold a nested concatenation or a '+=' value"));
        switch (classify(part)) {
            case PartClass::Simple: has_simple = true; break;
            case PartClass::Object: has_object = true; break;
            case PartClass::Array: has_array = true; break;
            case PartClass::Substitution: break;
        }
    }
    if (has_object && has_array) return std::unexpected(Error("cannot concatenate an object with an array"));
    if (has_simple && (has_object || has_array))
        return std::unexpected(Error(std::string("cannot concatenate ") + (has_object ? "an object" : "an array") +
                                     " with a string, number, boolean or null"));
    RawValue v;
    v.node_ = hocon::Concatenation(std::move(parts), std::move(separators));
    return v;
}

}  // namespace hocon
