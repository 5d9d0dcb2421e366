// A configuration built from an unresolved tree and its resolution into a Value: merging of
// duplicate keys and includes, "+=", concatenation, substitutions with environment fallback.
#pragma once

#include <expected>
#include <memory>
#include <string>

#include "hocon/error.hpp"
#include "hocon/options.hpp"
#include "hocon/raw.hpp"
#include "hocon/value.hpp"

namespace hocon {

class Config {
public:
    // A configuration of the given root fields, with the default options.
    static std::expected<Config, Error> from(RawObject root);
    static std::expected<Config, Error> from(RawObject root, const ConfigOptions& options);

    // The resolved document. Without the environment switch there is no environment base
    // layer, but an undefined substitution still falls back to the environment variable of
    // the same name.
    std::expected<Value, Error> resolve() const;

    // Reads a file (by extension, as hocon::parse_file does) and resolves it.
    static std::expected<Value, Error> load(const std::string& path, const ConfigOptions& options);

private:
    struct State;  // defined where the configuration is built
    explicit Config(std::shared_ptr<const State> state) : state_(std::move(state)) {}
    std::shared_ptr<const State> state_;
};

}  // namespace hocon
