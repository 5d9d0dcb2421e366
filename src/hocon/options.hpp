// Options of parsing and loading: whether the process environment becomes a base layer, the
// directories searched for includes, and the two bounds on nesting and include depth.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace hocon {

class ConfigOptions {
public:
    static constexpr std::size_t default_nesting_limit = 64;
    static constexpr std::size_t default_include_depth = 64;

    // Options with the given environment switch and include search list (directories in
    // order), both limits at 64.
    static ConfigOptions create(bool use_environment, std::vector<std::string> search_list);
    // No environment layer, an empty search list, both limits at 64.
    static ConfigOptions defaults();

    // When set, the whole process environment is a base layer under the document. (Fallback
    // of a single undefined substitution to its environment variable does not need it.)
    bool use_environment() const { return use_environment_; }
    // Include search directories; copies of the options share one list.
    const std::vector<std::string>& search_list() const { return *search_list_; }
    // How deeply objects and arrays may nest in a parsed text.
    std::size_t nesting_limit() const { return nesting_limit_; }
    // How many included files may be open inside each other.
    std::size_t include_depth() const { return include_depth_; }

    ConfigOptions with_nesting_limit(std::size_t limit) const;
    ConfigOptions with_include_depth(std::size_t limit) const;

private:
    ConfigOptions(bool use_environment, std::shared_ptr<const std::vector<std::string>> search_list)
        : use_environment_(use_environment), search_list_(std::move(search_list)) {}

    bool use_environment_ = false;
    std::shared_ptr<const std::vector<std::string>> search_list_;  // never null
    std::size_t nesting_limit_ = default_nesting_limit;
    std::size_t include_depth_ = default_include_depth;
};

}  // namespace hocon
