// The loader: turns a ruleset document, given as HOCON text or as a file path, into a
// TemplateConfig: the resolved document tree plus the structured loop blocks cut out of it.
// Pre-processing of each text, include resolution and loop body extraction live here too.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "hocon/options.hpp"
#include "hocon/value.hpp"
#include "support/hash.hpp"

namespace veskora::render {

// One structured loop block, ready for compilation.
struct StructuredLoopTemplate {
    std::string variable;
    std::string source;  // dotted source path
    hocon::Value body;
};

// The result of a load.
struct TemplateConfig {
    // The whole document after resolution; each structured loop block stands in it as a
    // string holding the block's loop marker.
    hocon::Value root;
    // Loop marker text to its block.
    support::StringMap<StructuredLoopTemplate> structured_loops;
};

namespace config_loader {

// A document from HOCON text; without options every attempt uses the library defaults.
// The error is the loader's message.
std::expected<TemplateConfig, std::string> load_str(std::string_view text,
                                                    std::optional<hocon::ConfigOptions> options);

// A document from a file (conf, json or properties, or a path standing for all three).
std::expected<TemplateConfig, std::string> load_file(std::string path,
                                                     hocon::ConfigOptions options);

}  // namespace config_loader
}  // namespace veskora::render
