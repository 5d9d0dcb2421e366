// Test helper: a compact text form of a document as read, so that tables of cases can state the
// expected tree as one string.
//   values: "text", #1.5 number (a float as written), true/false/null, [v, v], {k: v; k: v}
//   unresolved: ${a|b} / ${?a} substitution (its whole path), concat(p1 ' ' p2) with the
//   separators in single quotes, +=(v) append, merge(v, v) values of one key oldest first,
//   #1e999! a number only resolution may refuse; objects and arrays holding any of these
//   are written as any object or array.
#pragma once

#include <string>

#include "hocon/tree.hpp"
#include "hocon/value.hpp"

namespace hocon::testing {

inline std::string dump(const Value& value) {
    switch (value.kind()) {
        case Value::Kind::Null: return "null";
        case Value::Kind::Boolean: return *value.as_boolean() ? "true" : "false";
        case Value::Kind::Number: {
            const NumberValue& number = *value.as_number_value();
            if (!number.written().empty()) return "#" + std::string(number.written());
            return "#" + std::visit([](auto n) { return std::to_string(n); }, number.number);
        }
        case Value::Kind::String: return "\"" + *value.as_string() + "\"";
        case Value::Kind::Array: {
            std::string out = "[";
            const auto& elements = *value.as_array();
            for (std::size_t i = 0; i < elements.size(); ++i) out += (i ? ", " : "") + dump(elements[i]);
            return out + "]";
        }
        case Value::Kind::Object: {
            std::string out = "{";
            bool first = true;
            for (const auto& [key, member] : *value.as_object()) {
                out += (first ? "" : "; ") + key + ": " + dump(member);
                first = false;
            }
            return out + "}";
        }
        case Value::Kind::Unresolved: break;
    }
    const detail::Node& node = value.as_unresolved()->node();
    switch (node.kind) {
        case detail::NodeKind::Object:
        case detail::NodeKind::Array: return dump(static_cast<const detail::ContainerNode&>(node).value);
        case detail::NodeKind::Substitution: {
            const auto& s = static_cast<const detail::SubstitutionNode&>(node);
            std::string out = s.optional ? "${?" : "${";
            for (std::size_t i = 0; i < s.path.size(); ++i) out += (i ? "|" : "") + s.path[i];
            return out + "}";
        }
        case detail::NodeKind::Concatenation: {
            const auto& c = static_cast<const detail::ConcatenationNode&>(node);
            std::string out = "concat(";
            for (std::size_t i = 0; i < c.parts.size(); ++i) {
                if (i) out += " '" + c.separators[i - 1] + "' ";
                out += dump(c.parts[i]);
            }
            return out + ")";
        }
        case detail::NodeKind::Append:
            return "+=(" + dump(static_cast<const detail::AppendNode&>(node).array.is_array()
                                    ? static_cast<const detail::AppendNode&>(node).array.as_array()->front()
                                    : static_cast<const detail::ContainerNode&>(
                                          static_cast<const detail::AppendNode&>(node).array.as_unresolved()->node())
                                          .value.as_array()
                                          ->front()) +
                   ")";
        case detail::NodeKind::Merge: {
            const auto& stack = static_cast<const detail::MergeNode&>(node).stack;
            std::string out = "merge(";
            for (std::size_t i = 0; i < stack.size(); ++i) out += (i ? ", " : "") + dump(stack[i]);
            return out + ")";
        }
        case detail::NodeKind::Number: return "#" + static_cast<const detail::NumberNode&>(node).literal + "!";
    }
    return "?";
}

}  // namespace hocon::testing
