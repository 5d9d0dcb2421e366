#include "support/random.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>
#include <vector>

namespace veskora::support {
namespace {

TEST(ChaChaTest, BlockFunctionMatchesTheKnownAnswer) {
    // Key 00 01 .. 1f, counter 1, nonce 00 00 00 09 00 00 00 4a 00 00 00 00, twenty rounds.
    std::uint32_t key[8];
    for (std::uint32_t i = 0; i < 8; ++i) {
        key[i] = (4 * i) | ((4 * i + 1) << 8) | ((4 * i + 2) << 16) | ((4 * i + 3) << 24);
    }
    const std::uint32_t input[4] = {1, 0x09000000, 0x4a000000, 0};
    const std::uint32_t expected[16] = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3,
                                        0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
                                        0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                                        0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
    std::uint32_t out[16];
    detail::chacha_block(key, input, 20, out);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(out[i], expected[i]) << "word " << i;

    // The generator's twelve rounds share the code path and give a different block.
    std::uint32_t twelve[16];
    detail::chacha_block(key, input, 12, twelve);
    EXPECT_NE(std::vector<std::uint32_t>(twelve, twelve + 16), std::vector<std::uint32_t>(out, out + 16));
}

// The generator makes four blocks at once; each must be the block of its own counter, the
// 64-bit counter carrying from word 12 into word 13.
TEST(ChaChaTest, FourBlocksAreFourConsecutiveBlocks) {
    std::uint32_t key[8];
    for (std::uint32_t i = 0; i < 8; ++i) key[i] = 0x01020304u * (i + 1);
    for (const std::uint64_t counter : {std::uint64_t{0}, std::uint64_t{0xfffffffe}}) {
        SCOPED_TRACE(counter);
        const std::uint32_t input[4] = {static_cast<std::uint32_t>(counter),
                                        static_cast<std::uint32_t>(counter >> 32), 7, 9};
        std::uint32_t four[4 * 16];
        detail::chacha_blocks(key, input, 12, four);
        for (std::uint64_t block = 0; block < 4; ++block) {
            const std::uint32_t one_input[4] = {static_cast<std::uint32_t>(counter + block),
                                                static_cast<std::uint32_t>((counter + block) >> 32), 7, 9};
            std::uint32_t one[16];
            detail::chacha_block(key, one_input, 12, one);
            EXPECT_EQ(std::vector<std::uint32_t>(four + 16 * block, four + 16 * block + 16),
                      std::vector<std::uint32_t>(one, one + 16))
                << "block " << block;
        }
    }
}

TEST(RngTest, UniformIndexIsUnbiased) {
    Rng& rng = thread_rng();
    // Chi-square over 7 buckets (not a power of two, so modulo bias would show with a
    // narrower draw); 99.9% critical value for 6 degrees of freedom is 22.46.
    constexpr std::uint64_t kBuckets = 7;
    constexpr int kDraws = 70000;
    std::vector<int> counts(kBuckets);
    for (int i = 0; i < kDraws; ++i) {
        const std::uint64_t v = rng.uniform_index(kBuckets);
        ASSERT_LT(v, kBuckets);
        ++counts[v];
    }
    double chi2 = 0;
    const double expected = static_cast<double>(kDraws) / kBuckets;
    for (int c : counts) chi2 += (c - expected) * (c - expected) / expected;
    EXPECT_LT(chi2, 22.46);

    // A range just above half of 2^64: a modulo reduction would put about 62% of the
    // draws in the lower half.
    const std::uint64_t n = (std::uint64_t{1} << 63) + (std::uint64_t{1} << 62);
    int low = 0;
    for (int i = 0; i < 20000; ++i) low += rng.uniform_index(n) < n / 2;
    EXPECT_NEAR(low, 10000, 500);

    for (int i = 0; i < 100; ++i) EXPECT_EQ(rng.uniform_index(1), 0u);
}

TEST(RngTest, UnitDrawsAndReseeding) {
    Rng& rng = thread_rng();
    double sum = 0;
    // Well past 64 KiB of output, so the generator reseeds on the way.
    constexpr int kDraws = 40000;
    for (int i = 0; i < kDraws; ++i) {
        const double u = rng.uniform_unit();
        ASSERT_GE(u, 0.0);
        ASSERT_LT(u, 1.0);
        sum += u;
    }
    EXPECT_NEAR(sum / kDraws, 0.5, 0.01);

    // Bits are balanced, both halves of 64-bit draws included.
    int ones = 0;
    for (int i = 0; i < 1000; ++i) ones += __builtin_popcountll(rng.next_u64());
    EXPECT_NEAR(ones, 32000, 800);
}

TEST(RngTest, ThreadsHaveTheirOwnGenerators) {
    Rng* main_rng = &thread_rng();
    Rng* other = nullptr;
    std::uint64_t other_draw = 0;
    std::thread t([&] {
        other = &thread_rng();
        other_draw = other->next_u64();
    });
    t.join();
    EXPECT_NE(main_rng, other);
    EXPECT_EQ(&thread_rng(), main_rng);
    EXPECT_NE(other_draw, main_rng->next_u64());
}

TEST(WeightedIndexTest, RefusesBadWeightsInOrder) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double big = std::numeric_limits<double>::max();
    const struct {
        std::vector<double> weights;
        const char* message;
    } cases[] = {
        {{}, "Weights sequence is empty/too long/unordered"},
        {{-1.0}, "A weight is negative, too large or not a valid number"},
        {{1.0, nan}, "A weight is negative, too large or not a valid number"},
        {{0.0, inf}, "Overflow when summing weights"},
        {{inf, -1.0}, "A weight is negative, too large or not a valid number"},
        {{0.0, -0.5, 0.0}, "A weight is negative, too large or not a valid number"},
        {{0.0}, "Not enough weights > zero"},
        {{0.0, 0.0, -0.0}, "Not enough weights > zero"},
        {{big, big}, "Overflow when summing weights"},
    };
    for (const auto& c : cases) {
        const auto index = WeightedIndex::create(c.weights);
        ASSERT_FALSE(index) << c.message;
        EXPECT_EQ(index.error(), c.message);
    }
}

TEST(WeightedIndexTest, DrawsInProportion) {
    Rng& rng = thread_rng();
    const std::vector<double> weights = {0.0, 1.0, 0.0, 3.0, 0.0};
    const auto index = WeightedIndex::create(weights);
    ASSERT_TRUE(index);
    std::vector<int> counts(weights.size());
    constexpr int kDraws = 40000;
    for (int i = 0; i < kDraws; ++i) ++counts[index->sample(rng)];
    EXPECT_EQ(counts[0], 0);
    EXPECT_EQ(counts[2], 0);
    EXPECT_EQ(counts[4], 0);
    EXPECT_NEAR(counts[1], kDraws / 4, kDraws / 50);
    EXPECT_NEAR(counts[3], 3 * kDraws / 4, kDraws / 50);

    const auto tiny = WeightedIndex::create(std::vector<double>{5e-324});
    ASSERT_TRUE(tiny);
    EXPECT_EQ(tiny->sample(rng), 0u);
}

}  // namespace
}  // namespace veskora::support
