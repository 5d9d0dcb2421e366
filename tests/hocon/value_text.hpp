// Test helper: a resolved Value as compact JSON with keys in byte order, so that tables can
// state expected documents as one string. Floats always show a point or an exponent (42.0,
// -0.0, 1e+300), integers never do, so the number kinds stay visible.
#pragma once

#include <charconv>
#include <string>

#include "hocon/value.hpp"

namespace hocon::testing {

inline void append_json_string(std::string& out, const std::string& s) {
    static const char* hex = "0123456789abcdef";
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
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

inline void append_json(std::string& out, const Value& value) {
    switch (value.kind()) {
        case Value::Kind::Unresolved: out += "<unresolved>"; break;
        case Value::Kind::Null: out += "null"; break;
        case Value::Kind::Boolean: out += *value.as_boolean() ? "true" : "false"; break;
        case Value::Kind::Number: {
            const Number& n = *value.as_number();
            if (const auto* u = std::get_if<std::uint64_t>(&n)) {
                out += std::to_string(*u);
            } else if (const auto* i = std::get_if<std::int64_t>(&n)) {
                out += std::to_string(*i);
            } else {
                char buf[64];
                auto [end, ec] = std::to_chars(buf, buf + sizeof buf, std::get<double>(n));
                std::string text(buf, end);
                if (text.find_first_of(".e") == std::string::npos && text.find("inf") == std::string::npos &&
                    text.find("nan") == std::string::npos)
                    text += ".0";
                out += text;
            }
            break;
        }
        case Value::Kind::String: append_json_string(out, *value.as_string()); break;
        case Value::Kind::Array: {
            out += '[';
            bool first = true;
            for (const Value& element : *value.as_array()) {
                if (!first) out += ',';
                first = false;
                append_json(out, element);
            }
            out += ']';
            break;
        }
        case Value::Kind::Object: {
            out += '{';
            bool first = true;
            for (const auto& [key, member] : *value.as_object()) {
                if (!first) out += ',';
                first = false;
                append_json_string(out, key);
                out += ':';
                append_json(out, member);
            }
            out += '}';
            break;
        }
    }
}

inline std::string json(const Value& value) {
    std::string out;
    append_json(out, value);
    return out;
}

}  // namespace hocon::testing
