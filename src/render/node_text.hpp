// NodeText: a text that a compiled node holds (literal text, a name), in the 16 bytes of a
// CompactText, made in the ruleset's arena like the node itself.
#pragma once

#include "support/compact_text.hpp"

namespace veskora::render {

using NodeText = support::CompactText;

}  // namespace veskora::render
