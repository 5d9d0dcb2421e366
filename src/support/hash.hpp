// Randomly keyed string hashing for every hash map of the library. Keys are drawn from the
// operating system once per thread and varied per map, so iteration order differs between runs
// and crafted keys cannot force collisions. Maps look up by std::string_view without copying.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace veskora::support {

class KeyedHash {
public:
    using is_transparent = void;

    // Takes the thread's keys (drawing them on first use) and varies them for this map.
    KeyedHash();

    std::size_t operator()(std::string_view text) const noexcept;

private:
    std::uint64_t k0_;
    std::uint64_t k1_;
};

template <class V>
using StringMap = std::unordered_map<std::string, V, KeyedHash, std::equal_to<>>;

}  // namespace veskora::support
