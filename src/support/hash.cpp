// SipHash-1-3 over the text's bytes, keyed per process and per hasher.
#include "support/hash.hpp"

#include <bit>
#include <cstring>

#include "support/random.hpp"

namespace veskora::support {

namespace {

struct Keys {
    std::uint64_t k0;
    std::uint64_t k1;
};

// Drawn once per process; only read afterwards, so threads share them without writes.
const Keys& process_keys() {
    static const Keys keys = [] {
        std::uint64_t words[2];
        os_random_bytes(words, sizeof words);
        return Keys{words[0], words[1]};
    }();
    return keys;
}

constexpr std::uint64_t rotl(std::uint64_t x, int b) noexcept {
    return (x << b) | (x >> (64 - b));
}

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    void round() noexcept {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }

    void absorb(std::uint64_t m) noexcept {
        v3 ^= m;
        round();  // one compression round
        v0 ^= m;
    }
};

static_assert(std::endian::native == std::endian::little, "words are read in place");

std::uint64_t load64(const unsigned char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

std::uint64_t load32(const unsigned char* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The last 0 to 7 bytes as a little-endian word, read in at most two loads that may overlap.
std::uint64_t load_tail(const unsigned char* p, std::size_t n) noexcept {
    if (n >= 4) return load32(p) | (load32(p + n - 4) << (8 * (n - 4)));
    if (n == 0) return 0;
    return std::uint64_t{p[0]} | (std::uint64_t{p[n / 2]} << (8 * (n / 2))) |
           (std::uint64_t{p[n - 1]} << (8 * (n - 1)));
}

}  // namespace

KeyedHash::KeyedHash() {
    const Keys& keys = process_keys();
    // Varied by where the hasher is made, so maps alive at the same time never share keys: one
    // map's keys inserted into another in its order then land as randomly as any.
    k0_ = keys.k0 + reinterpret_cast<std::uintptr_t>(this);
    k1_ = keys.k1;
}

std::size_t KeyedHash::operator()(std::string_view text) const noexcept {
    SipState s{k0_ ^ 0x736f6d6570736575ULL, k1_ ^ 0x646f72616e646f6dULL,
               k0_ ^ 0x6c7967656e657261ULL, k1_ ^ 0x7465646279746573ULL};
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    const std::size_t full = n & ~std::size_t{7};
    for (std::size_t i = 0; i < full; i += 8) s.absorb(load64(p + i));
    s.absorb((static_cast<std::uint64_t>(n & 0xff) << 56) | load_tail(p + full, n - full));

    s.v2 ^= 0xff;
    s.round();  // three finalisation rounds
    s.round();
    s.round();
    return static_cast<std::size_t>(s.v0 ^ s.v1 ^ s.v2 ^ s.v3);
}

}  // namespace veskora::support
