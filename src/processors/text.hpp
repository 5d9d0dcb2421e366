// The built-in processors that only change case, spacing or quoting: "capitalize",
// "titlecase", "sentence", "quote" and "slug". None of them ever returns a message.
#pragma once

#include <string_view>

#include "render/processor.hpp"

namespace veskora::processors {

// First character to its full upper-case mapping, the rest lowered as a text of its own.
render::ProcessResult capitalize(std::string_view input);

// Every whitespace-separated word: first character upper-cased, the others lowered one by one.
render::ProcessResult titlecase(std::string_view input);

// The first alphabetic character upper-cased, everything else copied.
render::ProcessResult sentence(std::string_view input);

// The input in double quotes, with double quotes and backslashes escaped by a backslash.
render::ProcessResult quote(std::string_view input);

// Lowered alphanumeric runs joined by single hyphens; apostrophes are dropped.
render::ProcessResult slug(std::string_view input);

}  // namespace veskora::processors
