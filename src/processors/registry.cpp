#include "processors/registry.hpp"

#include <string>

#include "processors/article.hpp"
#include "processors/inflection.hpp"
#include "processors/text.hpp"
#include "support/unicode.hpp"

namespace veskora::processors {

render::ProcessorMap builtin_processors() {
    using render::make_processor;
    using render::ProcessResult;

    render::ProcessorMap map;
    map.reserve(15);
    map.insert_or_assign("uppercase", make_processor([](std::string_view input) -> ProcessResult {
                             return support::to_upper(input);
                         }));
    map.insert_or_assign("lowercase", make_processor([](std::string_view input) -> ProcessResult {
                             return support::to_lower(input);
                         }));
    map.insert_or_assign("trim", make_processor([](std::string_view input) -> ProcessResult {
                             return std::string(support::trim_white_space(input));
                         }));
    map.insert_or_assign("capitalize", make_processor(&capitalize));
    map.insert_or_assign("titlecase", make_processor(&titlecase));
    map.insert_or_assign("article", make_processor(&article));
    map.insert_or_assign("past_tense", make_processor(&past_tense));
    map.insert_or_assign("pluralize", make_processor(&pluralize));
    map.insert_or_assign("singularize", make_processor(&singularize));
    map.insert_or_assign("possessive", make_processor(&possessive));
    map.insert_or_assign("present_participle", make_processor(&present_participle));
    map.insert_or_assign("ordinal", make_processor(&ordinal));
    map.insert_or_assign("sentence", make_processor(&sentence));
    map.insert_or_assign("quote", make_processor(&quote));
    map.insert_or_assign("slug", make_processor(&slug));
    return map;
}

}  // namespace veskora::processors
