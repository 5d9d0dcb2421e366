// Construction and display of RenderError.
#include "render/error.hpp"

#include <string_view>
#include <utility>

namespace veskora::render {

namespace {

using K = RenderError::Kind;

// The display template of each kind; "{}" receives the payload texts left to right.
std::string_view display_template(K kind) {
    switch (kind) {
        case K::UnknownRule: return "unknown rule: {}";
        case K::UnknownProcessor: return "unknown processor: {}";
        case K::ProcessorFailed: return "processor {} failed: {}";
        case K::InvalidTemplate: return "invalid template expression: {}";
        case K::EmptyChoice: return "cannot render an empty choice";
        case K::UniqueChoiceExhausted: return "exhausted unique choice: {}";
        case K::NotAChoice: return "unique choice target is not a choice: {}";
        case K::InvalidWeightedChoice: return "invalid weighted choice: {}";
        case K::CircularReference: return "circular rule reference: {}";
        case K::UnsupportedValue: return "unsupported value type: {}";
        case K::NotIterable: return "iteration source is not iterable: {} ({})";
        case K::ImmutableLoopBinding: return "cannot overwrite immutable loop binding: {}";
        case K::ConfigRootNotObject: return "config root must be an object";
        case K::StructuredTargetNotObject: return "structured render target must be an object: {}";
        case K::JsonSerialization: return "failed to serialize structured value as JSON: {}";
    }
    return "";
}

std::vector<std::string> one(std::string a) {
    std::vector<std::string> v;
    v.push_back(std::move(a));
    return v;
}

std::vector<std::string> two(std::string a, std::string b) {
    std::vector<std::string> v;
    v.reserve(2);
    v.push_back(std::move(a));
    v.push_back(std::move(b));
    return v;
}

}  // namespace

RenderError::RenderError(Kind kind, std::vector<std::string> payload)
    : kind_(kind), payload_(std::move(payload)) {}

RenderError RenderError::unknown_rule(std::string name) { return {K::UnknownRule, one(std::move(name))}; }
RenderError RenderError::unknown_processor(std::string name) {
    return {K::UnknownProcessor, one(std::move(name))};
}
RenderError RenderError::processor_failed(std::string name, std::string message) {
    return {K::ProcessorFailed, two(std::move(name), std::move(message))};
}
RenderError RenderError::invalid_template(std::string detail) {
    return {K::InvalidTemplate, one(std::move(detail))};
}
RenderError RenderError::empty_choice() { return {K::EmptyChoice, {}}; }
RenderError RenderError::unique_choice_exhausted(std::string key) {
    return {K::UniqueChoiceExhausted, one(std::move(key))};
}
RenderError RenderError::not_a_choice(std::string key) { return {K::NotAChoice, one(std::move(key))}; }
RenderError RenderError::invalid_weighted_choice(std::string detail) {
    return {K::InvalidWeightedChoice, one(std::move(detail))};
}
RenderError RenderError::circular_reference(std::vector<std::string> names) {
    return {K::CircularReference, std::move(names)};
}
RenderError RenderError::unsupported_value(std::string detail) {
    return {K::UnsupportedValue, one(std::move(detail))};
}
RenderError RenderError::not_iterable(std::string source, std::string kind) {
    return {K::NotIterable, two(std::move(source), std::move(kind))};
}
RenderError RenderError::immutable_loop_binding(std::string name) {
    return {K::ImmutableLoopBinding, one(std::move(name))};
}
RenderError RenderError::config_root_not_object() { return {K::ConfigRootNotObject, {}}; }
RenderError RenderError::structured_target_not_object(std::string name) {
    return {K::StructuredTargetNotObject, one(std::move(name))};
}
RenderError RenderError::json_serialization(std::string detail) {
    return {K::JsonSerialization, one(std::move(detail))};
}

std::string RenderError::fmt() const {
    const std::string_view tmpl = display_template(kind_);
    std::string out;
    if (kind_ == K::CircularReference) {
        // The one placeholder takes the whole list, joined by arrows.
        const std::string_view head = tmpl.substr(0, tmpl.find("{}"));
        std::size_t size = head.size();
        for (const auto& name : payload_) size += name.size() + 4;
        out.reserve(size);
        out.append(head);
        for (std::size_t i = 0; i < payload_.size(); ++i) {
            if (i > 0) out.append(" -> ");
            out.append(payload_[i]);
        }
        return out;
    }
    std::size_t next = 0;
    std::size_t pos = 0;
    while (true) {
        const std::size_t hole = tmpl.find("{}", pos);
        if (hole == std::string_view::npos) break;
        out.append(tmpl.substr(pos, hole - pos));
        if (next < payload_.size()) out.append(payload_[next++]);
        pos = hole + 2;
    }
    out.append(tmpl.substr(pos));
    return out;
}

std::ostream& operator<<(std::ostream& os, const RenderError& error) { return os << error.fmt(); }

}  // namespace veskora::render
