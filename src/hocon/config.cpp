#include "hocon/config.hpp"

#include <utility>

#include "hocon/parser.hpp"
#include "hocon/resolve.hpp"

namespace hocon {

// The merged tree is built once and never changed, so copies of a Config share it and may be
// resolved on several threads at once.
struct Config::State {
    std::shared_ptr<const detail::Tree> tree;
};

std::expected<Config, Error> Config::from(RawObject root) { return from(std::move(root), ConfigOptions::defaults()); }

std::expected<Config, Error> Config::from(RawObject root, const ConfigOptions& options) {
    auto tree = detail::build_tree(std::move(root), options);
    if (!tree) return std::unexpected(std::move(tree.error()));
    return Config(std::make_shared<const State>(State{std::move(*tree)}));
}

std::expected<Value, Error> Config::resolve() const { return detail::resolve_tree(*state_->tree); }

std::expected<Value, Error> Config::load(const std::string& path, const ConfigOptions& options) {
    auto root = parse_file(path, options);
    if (!root) return std::unexpected(std::move(root.error()));
    auto config = from(std::move(*root), options);
    if (!config) return std::unexpected(std::move(config.error()));
    return config->resolve();
}

}  // namespace hocon
