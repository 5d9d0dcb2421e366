// RenderError: the single error type of the rendering engine. Every fallible compile, build,
// render, processor or JSON step returns its value or exactly one RenderError, which travels up
// unchanged and is displayed with a fixed template per kind.
#pragma once

#include <cstdint>
#include <expected>
#include <ostream>
#include <string>
#include <vector>

namespace veskora::render {

class RenderError {
public:
    // The order is part of the contract: a kind's position is its index.
    enum class Kind : std::uint8_t {
        UnknownRule,                // name or dotted path
        UnknownProcessor,           // processor name
        ProcessorFailed,            // processor name, its message
        InvalidTemplate,            // detail
        EmptyChoice,                // nothing
        UniqueChoiceExhausted,      // key
        NotAChoice,                 // key
        InvalidWeightedChoice,      // detail
        CircularReference,          // list of names
        UnsupportedValue,           // detail
        NotIterable,                // source path, kind of what was found
        ImmutableLoopBinding,       // binding name
        ConfigRootNotObject,        // nothing
        StructuredTargetNotObject,  // rule name
        JsonSerialization,          // detail
    };

    static RenderError unknown_rule(std::string name);
    static RenderError unknown_processor(std::string name);
    static RenderError processor_failed(std::string name, std::string message);
    static RenderError invalid_template(std::string detail);
    static RenderError empty_choice();
    static RenderError unique_choice_exhausted(std::string key);
    static RenderError not_a_choice(std::string key);
    static RenderError invalid_weighted_choice(std::string detail);
    static RenderError circular_reference(std::vector<std::string> names);
    static RenderError unsupported_value(std::string detail);
    static RenderError not_iterable(std::string source, std::string kind);
    static RenderError immutable_loop_binding(std::string name);
    static RenderError config_root_not_object();
    static RenderError structured_target_not_object(std::string name);
    static RenderError json_serialization(std::string detail);

    Kind kind() const noexcept { return kind_; }
    // The payload texts in template order; for CircularReference, the list of names.
    const std::vector<std::string>& payload() const noexcept { return payload_; }

    // The display text, e.g. "unknown rule: x" or "circular rule reference: a -> b -> a".
    std::string fmt() const;

    friend bool operator==(const RenderError&, const RenderError&) = default;

private:
    RenderError(Kind kind, std::vector<std::string> payload);

    Kind kind_;
    std::vector<std::string> payload_;
};

std::ostream& operator<<(std::ostream& os, const RenderError& error);

template <class T>
using Result = std::expected<T, RenderError>;

}  // namespace veskora::render
