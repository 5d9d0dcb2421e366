// The arena of what the engine tests build by hand or compile outside a ruleset.
#pragma once

#include "support/arena.hpp"

namespace veskora::test {

// It lasts as long as the test program, so every ruleset and render of a test may use what was
// made in it.
inline support::Arena& test_arena() {
    static support::Arena arena;
    return arena;
}

}  // namespace veskora::test
