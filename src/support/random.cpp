// ChaCha12 keystream as a random generator, unbiased integer and float draws, and the weighted
// index over cumulative weights.
#include "support/random.hpp"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace veskora::support {

namespace {

constexpr std::size_t kReseedBytes = 64 * 1024;

__extension__ using u128 = unsigned __int128;

// One word of four blocks side by side; the compiler maps the arithmetic onto SSE2.
using Lanes = std::uint32_t __attribute__((vector_size(16)));

Lanes rotl(Lanes x, int b) noexcept { return (x << b) | (x >> (32 - b)); }

void quarter_round(Lanes* x, int a, int b, int c, int d) noexcept {
    x[a] += x[b];
    x[d] = rotl(x[d] ^ x[a], 16);
    x[c] += x[d];
    x[b] = rotl(x[b] ^ x[c], 12);
    x[a] += x[b];
    x[d] = rotl(x[d] ^ x[a], 8);
    x[c] += x[d];
    x[b] = rotl(x[b] ^ x[c], 7);
}

Lanes splat(std::uint32_t word) noexcept { return Lanes{word, word, word, word}; }

}  // namespace

namespace detail {

void chacha_blocks(const std::uint32_t key[8], const std::uint32_t input[4], int rounds,
                   std::uint32_t out[4 * 16]) noexcept {
    // "expand 32-byte k", the key, then per block its counter (words 12 and 13) and the nonce.
    Lanes init[16] = {splat(0x61707865), splat(0x3320646e), splat(0x79622d32), splat(0x6b206574)};
    for (int i = 0; i < 8; ++i) init[4 + i] = splat(key[i]);
    const std::uint64_t counter = input[0] | (std::uint64_t{input[1]} << 32);
    for (int lane = 0; lane < 4; ++lane) {
        init[12][lane] = static_cast<std::uint32_t>(counter + lane);
        init[13][lane] = static_cast<std::uint32_t>((counter + lane) >> 32);
    }
    init[14] = splat(input[2]);
    init[15] = splat(input[3]);
    Lanes x[16];
    std::memcpy(x, init, sizeof x);
    for (int r = 0; r < rounds; r += 2) {
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) {
        const Lanes word = x[i] + init[i];
        for (int lane = 0; lane < 4; ++lane) out[16 * lane + i] = word[lane];
    }
}

void chacha_block(const std::uint32_t key[8], const std::uint32_t input[4], int rounds,
                  std::uint32_t out[16]) noexcept {
    std::uint32_t blocks[4 * 16];
    chacha_blocks(key, input, rounds, blocks);
    std::memcpy(out, blocks, 16 * sizeof(std::uint32_t));
}

}  // namespace detail

void os_random_bytes(void* buffer, std::size_t size) {
    auto* p = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        ssize_t got = getrandom(p, size, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "veskora: the operating system cannot supply entropy: %s\n",
                         std::strerror(errno));
            std::abort();
        }
        p += got;
        size -= static_cast<std::size_t>(got);
    }
}

Rng::Rng() { reseed(); }

void Rng::reseed() {
    os_random_bytes(key_, sizeof key_);
    counter_ = 0;
    since_seed_ = 0;
    used_ = std::size(blocks_);
}

void Rng::refill() {
    // Every word is handed out before the next refill, so the bytes made since the seed are
    // the bytes handed out.
    if (since_seed_ >= kReseedBytes) reseed();
    const std::uint32_t input[4] = {static_cast<std::uint32_t>(counter_),
                                    static_cast<std::uint32_t>(counter_ >> 32), 0, 0};
    detail::chacha_blocks(key_, input, 12, blocks_);
    counter_ += 4;
    since_seed_ += sizeof blocks_;
    used_ = 0;
}

std::uint64_t Rng::uniform_index(std::uint64_t n) {
    // Lemire's multiply-and-reject: the high word of x * n is uniform below n once the low
    // words that would over-represent some results are rejected.
    u128 m = static_cast<u128>(next_u64()) * n;
    auto low = static_cast<std::uint64_t>(m);
    if (low < n) {
        const std::uint64_t threshold = (0 - n) % n;
        while (low < threshold) {
            m = static_cast<u128>(next_u64()) * n;
            low = static_cast<std::uint64_t>(m);
        }
    }
    return static_cast<std::uint64_t>(m >> 64);
}

double Rng::uniform_unit() {
    return static_cast<double>(next_u64() >> 11) * 0x1.0p-53;
}

Rng& thread_rng() {
    thread_local Rng rng;
    return rng;
}

std::expected<WeightedIndex, std::string> WeightedIndex::create(std::span<const double> weights) {
    if (weights.empty()) return std::unexpected("Weights sequence is empty/too long/unordered");
    WeightedIndex index;
    index.cumulative_.reserve(weights.size());
    double total = 0.0;
    bool invalid = false;
    for (double w : weights) {
        // Only a negative weight or NaN is refused here; an infinite weight is a number and
        // shows up as a sum that is not finite.
        if (!(w >= 0.0)) {
            invalid = true;
            break;
        }
        total += w;
        index.cumulative_.push_back(total);
    }
    if (invalid) return std::unexpected("A weight is negative, too large or not a valid number");
    if (total == 0.0) return std::unexpected("Not enough weights > zero");
    if (!std::isfinite(total)) return std::unexpected("Overflow when summing weights");
    index.total_ = total;
    return index;
}

std::size_t WeightedIndex::sample(Rng& rng) const {
    const double x = rng.uniform_unit() * total_;
    auto it = std::upper_bound(cumulative_.begin(), cumulative_.end(), x);
    if (it != cumulative_.end()) return static_cast<std::size_t>(it - cumulative_.begin());
    // The product can round up to the total itself; the answer is then the last option that
    // carries weight, never a trailing option of weight 0.
    std::size_t i = cumulative_.size() - 1;
    while (i > 0 && cumulative_[i - 1] == cumulative_[i]) --i;
    return i;
}

}  // namespace veskora::support
