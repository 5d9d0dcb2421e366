// The per-thread random generator (ChaCha with 12 rounds, seeded from getrandom(2) and reseeded
// after 64 KiB of output; no seed can be set), uniform draws without bias, and the weighted
// index used by weighted choices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <iterator>
#include <span>
#include <string>
#include <vector>

namespace veskora::support {

class Rng {
public:
    Rng(const Rng&) = delete;
    Rng& operator=(const Rng&) = delete;

    std::uint32_t next_u32() {
        if (used_ == std::size(blocks_)) refill();
        return blocks_[used_++];
    }
    std::uint64_t next_u64() {
        const std::uint64_t low = next_u32();
        const std::uint64_t high = next_u32();
        return (high << 32) | low;
    }
    // Uniform in [0, n) without modulo bias; n must be greater than 0.
    std::uint64_t uniform_index(std::uint64_t n);
    // Uniform in [0, 1) with 53 random bits.
    double uniform_unit();

private:
    friend Rng& thread_rng();
    Rng();
    void refill();
    void reseed();

    std::uint32_t key_[8];
    std::uint64_t counter_ = 0;  // blocks made since the last seed
    std::uint32_t blocks_[4 * 16];  // four blocks, made at once
    std::size_t used_ = std::size(blocks_);  // words of blocks_ already handed out
    std::size_t since_seed_ = 0;  // bytes made since the last seed
};

// The calling thread's generator, seeded on first use and released when the thread ends.
// The process ends with a message if the operating system cannot supply entropy.
Rng& thread_rng();

// Fills the buffer from the operating system's entropy source; ends the process on failure.
void os_random_bytes(void* buffer, std::size_t size);

// Chooses positions with probability proportional to their weights.
class WeightedIndex {
public:
    // Checks, in this order: an empty list; a negative or NaN weight (at the first such one);
    // a zero sum; a non-finite sum. The error is the message text.
    static std::expected<WeightedIndex, std::string> create(std::span<const double> weights);

    // The first position whose running total exceeds a float uniform in [0, total).
    std::size_t sample(Rng& rng) const;

private:
    std::vector<double> cumulative_;
    double total_ = 0.0;
};

namespace detail {
// One ChaCha block: the 8 key words, words 12..15 of the input (counter and nonce), and the
// number of rounds (12 for the generator). Exposed for known-answer tests.
void chacha_block(const std::uint32_t key[8], const std::uint32_t input[4], int rounds,
                  std::uint32_t out[16]) noexcept;
// Four consecutive blocks at once, as the generator makes them: words 12 and 13 of the input
// are a 64-bit counter, one more for each block.
void chacha_blocks(const std::uint32_t key[8], const std::uint32_t input[4], int rounds,
                   std::uint32_t out[4 * 16]) noexcept;
}  // namespace detail

}  // namespace veskora::support
