// The two public loading operations: a ruleset from a file or from HOCON text, joining the
// loader and the ruleset builder, with their error type ConfigError.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <variant>

#include "hocon/options.hpp"
#include "render/error.hpp"
#include "render/processor.hpp"
#include "render/ruleset.hpp"

namespace veskora::config {

class ConfigError {
public:
    // A loader message, displayed "failed to parse config: {}".
    static ConfigError parse(std::string message) { return ConfigError(std::move(message)); }
    // An error raised while building the ruleset, displayed as itself.
    static ConfigError render(render::RenderError error) { return ConfigError(std::move(error)); }

    bool is_parse() const { return std::holds_alternative<std::string>(error_); }
    std::string fmt() const {
        if (const auto* message = std::get_if<std::string>(&error_)) {
            return "failed to parse config: " + *message;
        }
        return std::get<render::RenderError>(error_).fmt();
    }

    std::variant<std::string, render::RenderError> error_;

private:
    explicit ConfigError(std::variant<std::string, render::RenderError> error)
        : error_(std::move(error)) {}
};

std::expected<render::RuleSet, ConfigError> ruleset_from_file_with_processors(
    std::string path, render::ProcessorMap processors);

std::expected<render::RuleSet, ConfigError> ruleset_from_str_with_processors(
    std::string_view config_text, render::ProcessorMap processors);

// The HOCON options of a file load: no environment layer, and a search list of the file's
// parent directory (the empty entry for a bare file name) followed by the working directory
// (its bytes, UTF-8 or not) unless it is the same text.
hocon::ConfigOptions config_options_for_file(std::string_view path);

}  // namespace veskora::config
