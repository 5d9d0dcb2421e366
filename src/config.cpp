#include "config.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "render/config_loader.hpp"

namespace veskora::config {
namespace {

// Drops trailing separators and trailing "." components, which name no component of their own
// ("a/b/" and "a/b/." both end in "b"). A lone "/" stays.
std::string_view trim_trailing(std::string_view path) {
    for (;;) {
        while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
        if (path.size() >= 2 && path.ends_with("/.")) {
            path.remove_suffix(1);
            continue;
        }
        return path;
    }
}

// The path without its last component: the empty text for a bare file name, nothing for the
// empty path or the root alone.
std::optional<std::string> parent_directory(std::string_view path) {
    if (path.empty()) return std::nullopt;
    path = trim_trailing(path);
    if (path == "/") return std::nullopt;
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos) return std::string();
    if (slash == 0) return std::string("/");
    return std::string(trim_trailing(path.substr(0, slash)));
}

std::expected<render::RuleSet, ConfigError> build(render::TemplateConfig config,
                                                  render::ProcessorMap processors) {
    auto ruleset = render::RuleSet::from_template_config(std::move(config), std::move(processors));
    if (!ruleset) return std::unexpected(ConfigError::render(std::move(ruleset.error())));
    return std::move(*ruleset);
}

}  // namespace

hocon::ConfigOptions config_options_for_file(std::string_view path) {
    std::vector<std::string> search_list;
    if (auto parent = parent_directory(path)) search_list.push_back(std::move(*parent));

    // An unreadable working directory (it may have been removed) just leaves it out. Its name
    // is kept as the bytes it is, UTF-8 or not, for opening files; messages show it readably.
    std::error_code error;
    const std::filesystem::path cwd = std::filesystem::current_path(error);
    if (!error) {
        bool present = false;
        for (const auto& entry : search_list) present = present || entry == cwd.native();
        if (!present) search_list.push_back(cwd.native());
    }
    return hocon::ConfigOptions::create(false, std::move(search_list));
}

std::expected<render::RuleSet, ConfigError> ruleset_from_file_with_processors(
    std::string path, render::ProcessorMap processors) {
    auto options = config_options_for_file(path);
    auto config = render::config_loader::load_file(std::move(path), std::move(options));
    if (!config) {
        processors.clear();
        return std::unexpected(ConfigError::parse(std::move(config.error())));
    }
    return build(std::move(*config), std::move(processors));
}

std::expected<render::RuleSet, ConfigError> ruleset_from_str_with_processors(
    std::string_view config_text, render::ProcessorMap processors) {
    auto config = render::config_loader::load_str(config_text, std::nullopt);
    if (!config) {
        processors.clear();
        return std::unexpected(ConfigError::parse(std::move(config.error())));
    }
    return build(std::move(*config), std::move(processors));
}

}  // namespace veskora::config
