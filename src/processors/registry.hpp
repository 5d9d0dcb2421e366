// The registry of built-in processors: a fresh map holding the fifteen processors that every
// ruleset knows by name, before host processors are merged over them.
#pragma once

#include "render/processor.hpp"

namespace veskora::processors {

// A new map with new processors on every call: "uppercase", "lowercase", "trim", "capitalize",
// "titlecase", "article", "past_tense", "pluralize", "singularize", "possessive",
// "present_participle", "ordinal", "sentence", "quote", "slug".
render::ProcessorMap builtin_processors();

}  // namespace veskora::processors
