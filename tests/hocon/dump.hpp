// Test helper: a compact text form of the unresolved tree, so that tables of cases can state
// the expected structure as one string.
//   keys/strings: "q" quoted, u unquoted, """m""" multi-line, path(a|b) path expression
//   values: #1.5 number, true/false/null, ${a|b} / ${?a} substitution,
//   concat(p1 ' ' p2) with separators in single quotes, +=(v) append, [v, v], {k: v; k: v}
//   fields: include(required file "x" loaded={...}), //comment, k: v //comment
#pragma once

#include <string>

#include "hocon/raw.hpp"

namespace hocon::testing {

inline std::string dump(const RawValue& value);
inline std::string dump(const RawObject& object);

inline std::string dump(const RawString& s) {
    switch (s.kind()) {
        case RawString::Kind::Quoted: return "\"" + s.text() + "\"";
        case RawString::Kind::Unquoted: return s.text();
        case RawString::Kind::MultiLine: return "\"\"\"" + s.text() + "\"\"\"";
        case RawString::Kind::PathExpression: {
            std::string out = "path(";
            auto segments = s.as_path();
            for (std::size_t i = 0; i < segments.size(); ++i) out += (i ? "|" : "") + segments[i];
            return out + ")";
        }
    }
    return "?";
}

inline std::string dump(const ObjectField& field) {
    if (const auto* kv = field.as_key_value()) {
        std::string out = dump(kv->key) + ": " + dump(kv->value);
        if (kv->comment) out += " //" + *kv->comment;
        return out;
    }
    if (const auto* inc = field.as_inclusion()) {
        const Inclusion& i = inc->inclusion;
        std::string out = "include(";
        if (i.required) out += "required ";
        if (i.location) {
            switch (*i.location) {
                case IncludeLocation::File: out += "file "; break;
                case IncludeLocation::Classpath: out += "classpath "; break;
                case IncludeLocation::Url: out += "url "; break;
            }
        }
        out += "\"" + i.target + "\"";
        if (i.loaded) out += " loaded=" + dump(*i.loaded);
        out += ")";
        if (inc->comment) out += " //" + *inc->comment;
        return out;
    }
    return "//" + field.as_comment()->text;
}

inline std::string dump(const RawObject& object) {
    std::string out = "{";
    for (std::size_t i = 0; i < object.fields.size(); ++i) out += (i ? "; " : "") + dump(object.fields[i]);
    return out + "}";
}

inline std::string dump(const RawValue& value) {
    switch (value.kind()) {
        case RawValue::Kind::Object: return dump(*value.as_object());
        case RawValue::Kind::Array: {
            std::string out = "[";
            const auto& elements = *value.as_array();
            for (std::size_t i = 0; i < elements.size(); ++i) out += (i ? ", " : "") + dump(elements[i]);
            return out + "]";
        }
        case RawValue::Kind::Boolean: return *value.as_boolean() ? "true" : "false";
        case RawValue::Kind::Null: return "null";
        case RawValue::Kind::String: return dump(*value.as_string());
        case RawValue::Kind::Number: return "#" + value.as_number()->text;
        case RawValue::Kind::Substitution: {
            const auto& sub = *value.as_substitution();
            std::string out = sub.optional ? "${?" : "${";
            for (std::size_t i = 0; i < sub.path.size(); ++i) out += (i ? "|" : "") + sub.path[i];
            return out + "}";
        }
        case RawValue::Kind::Concatenation: {
            const auto& c = *value.as_concatenation();
            std::string out = "concat(";
            for (std::size_t i = 0; i < c.parts().size(); ++i) {
                if (i) out += " '" + c.separators()[i - 1] + "' ";
                out += dump(c.parts()[i]);
            }
            return out + ")";
        }
        case RawValue::Kind::Append: return "+=(" + dump(*value.as_append()->value) + ")";
    }
    return "?";
}

}  // namespace hocon::testing
