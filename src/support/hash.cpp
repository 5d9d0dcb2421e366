// SipHash-1-3 over the text's bytes, keyed per thread and per map.
#include "support/hash.hpp"

#include "support/random.hpp"

namespace veskora::support {

namespace {

struct ThreadKeys {
    std::uint64_t k0;
    std::uint64_t k1;
    // Added to k0 for every new hasher, so two maps of one thread never share keys.
    std::uint64_t next_variation = 0;

    ThreadKeys() {
        std::uint64_t words[2];
        os_random_bytes(words, sizeof words);
        k0 = words[0];
        k1 = words[1];
    }
};

ThreadKeys& thread_keys() {
    thread_local ThreadKeys keys;
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

std::uint64_t load_le64(const unsigned char* p) noexcept {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

}  // namespace

KeyedHash::KeyedHash() {
    ThreadKeys& keys = thread_keys();
    k0_ = keys.k0 + keys.next_variation++;
    k1_ = keys.k1;
}

std::size_t KeyedHash::operator()(std::string_view text) const noexcept {
    SipState s{k0_ ^ 0x736f6d6570736575ULL, k1_ ^ 0x646f72616e646f6dULL,
               k0_ ^ 0x6c7967656e657261ULL, k1_ ^ 0x7465646279746573ULL};
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    const std::size_t full = n & ~std::size_t{7};
    for (std::size_t i = 0; i < full; i += 8) s.absorb(load_le64(p + i));

    std::uint64_t last = static_cast<std::uint64_t>(n & 0xff) << 56;
    for (std::size_t i = full; i < n; ++i) last |= static_cast<std::uint64_t>(p[i]) << (8 * (i - full));
    s.absorb(last);

    s.v2 ^= 0xff;
    s.round();  // three finalisation rounds
    s.round();
    s.round();
    return static_cast<std::size_t>(s.v0 ^ s.v1 ^ s.v2 ^ s.v3);
}

}  // namespace veskora::support
