#include "hocon/options.hpp"

namespace hocon {

ConfigOptions ConfigOptions::create(bool use_environment, std::vector<std::string> search_list) {
    return ConfigOptions(use_environment, std::make_shared<const std::vector<std::string>>(std::move(search_list)));
}

ConfigOptions ConfigOptions::defaults() { return create(false, {}); }

ConfigOptions ConfigOptions::with_nesting_limit(std::size_t limit) const {
    ConfigOptions copy = *this;
    copy.nesting_limit_ = limit;
    return copy;
}

ConfigOptions ConfigOptions::with_include_depth(std::size_t limit) const {
    ConfigOptions copy = *this;
    copy.include_depth_ = limit;
    return copy;
}

}  // namespace hocon
