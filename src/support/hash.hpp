// Randomly keyed string hashing for every hash map of the library. Keys are drawn from the
// operating system once per process and varied per map, so iteration order differs between runs
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

    // Takes the process's keys (drawing them on first use) and varies them for this hasher.
    KeyedHash();

    std::size_t operator()(std::string_view text) const noexcept;

private:
    std::uint64_t k0_;
    std::uint64_t k1_;
};

}  // namespace veskora::support

#if defined(__GLIBCXX__)
// The keyed hash costs more than a key comparison, so the maps keep each key's hash beside it:
// growing a map or walking a bucket then compares stored hashes instead of hashing keys again.
template <>
struct std::__is_fast_hash<veskora::support::KeyedHash> : std::false_type {};
#endif

namespace veskora::support {

template <class V>
using StringMap = std::unordered_map<std::string, V, KeyedHash, std::equal_to<>>;

}  // namespace veskora::support
