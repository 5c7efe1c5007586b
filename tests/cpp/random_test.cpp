#include "random.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <set>
#include <vector>

#include "error.hpp"

namespace {

using zun::Rng;

constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();

// Reference draws of ChaCha12 keyed by eight PCG32 outputs of the seed.
struct SeedDraws {
    std::uint64_t seed;
    std::array<std::uint64_t, 4> first_u64;
};

constexpr std::array<SeedDraws, 3> known_draws{{
    {42, {9713269763989775522ULL, 10011513049433592189ULL, 11740708795755607249ULL, 7487565853151867058ULL}},
    {0, {13486662071293341567ULL, 14267822071968393595ULL, 476749353381333526ULL, 10775836403224147664ULL}},
    {max_u64, {1128037667460439992ULL, 735055083679663774ULL, 1343266137521395288ULL, 6703660346471686203ULL}},
}};

TEST(RngKnownAnswers, KeyFromSeed42) {
    const std::array<std::uint8_t, 32> expected{0xa4, 0x8f, 0xa1, 0x7b, 0x58, 0x32, 0x3d, 0x0a, 0xea, 0xb8, 0xa1,
                                                0xcc, 0x69, 0x01, 0x14, 0xb8, 0x2b, 0x8c, 0xc8, 0x75, 0x18, 0xb4,
                                                0xf7, 0x54, 0x8d, 0x44, 0x6e, 0xa1, 0xe4, 0xdf, 0x20, 0xf2};
    EXPECT_EQ(Rng(42).key(), expected);
}

TEST(RngKnownAnswers, FirstU32OutputsOfSeed42) {
    Rng rng(42);
    for (const std::uint32_t expected : {572990626U, 2261546851U, 1068323197U, 2330987027U}) {
        EXPECT_EQ(rng.next_u32(), expected);
    }
}

TEST(RngKnownAnswers, FirstU64DrawsPerSeed) {
    for (const SeedDraws& entry : known_draws) {
        Rng rng(entry.seed);
        for (std::size_t i = 0; i < entry.first_u64.size(); ++i) {
            EXPECT_EQ(rng.next_u64(), entry.first_u64[i]) << "seed " << entry.seed << ", draw " << i;
        }
    }
}

// The second and third blocks check that the block counter sits in word 12
// and advances by one per block. Values from an independent ChaCha12
// computation (its block function checked against the published 20-round
// test vector with counter 1).
TEST(RngKnownAnswers, LaterBlocksOfSeed42) {
    Rng rng(42);
    std::vector<std::uint32_t> words(48);
    for (std::uint32_t& word : words) {
        word = rng.next_u32();
    }
    EXPECT_EQ(std::vector<std::uint32_t>(words.begin() + 16, words.begin() + 20),
              (std::vector<std::uint32_t>{2703000414U, 563838535U, 2059024926U, 13967647U}));
    EXPECT_EQ(std::vector<std::uint32_t>(words.begin() + 32, words.begin() + 36),
              (std::vector<std::uint32_t>{2735157194U, 54086524U, 688837619U, 2230156321U}));
}

TEST(RngStream, U64PairsConsecutiveWordsAcrossBlockBoundaries) {
    Rng words_source(7);
    std::vector<std::uint32_t> words(40);
    for (std::uint32_t& word : words) {
        word = words_source.next_u32();
    }
    // After one odd u32 draw every u64 straddles a different word pair,
    // including words 15/16 and 31/32 which lie in different blocks.
    Rng rng(7);
    EXPECT_EQ(rng.next_u32(), words[0]);
    for (std::size_t i = 1; i + 1 < words.size(); i += 2) {
        const std::uint64_t expected = (std::uint64_t{words[i + 1]} << 32) | words[i];
        EXPECT_EQ(rng.next_u64(), expected) << "words " << i << " and " << i + 1;
    }
}

TEST(RngStream, CopyContinuesIndependentlyFromSamePoint) {
    Rng original(99);
    for (int i = 0; i < 21; ++i) {
        original.next_u32();
    }
    Rng copy = original;
    std::vector<std::uint64_t> from_original;
    std::vector<std::uint64_t> from_copy;
    for (int i = 0; i < 30; ++i) {
        from_original.push_back(original.next_u64());
    }
    for (int i = 0; i < 30; ++i) {
        from_copy.push_back(copy.next_u64());
    }
    EXPECT_EQ(from_original, from_copy);
}

TEST(RngUniformBelow, ZeroRangeThrows) {
    Rng rng(1);
    EXPECT_THROW(rng.uniform_below(0), zun::InternalError);
}

TEST(RngUniformBelow, StaysInRangeAndReachesEveryValue) {
    struct Case {
        std::uint64_t n;
        bool expect_all_values;
    };
    const std::array<Case, 6> cases{{
        {1, true}, {2, true}, {7, true}, {10, true}, {(std::uint64_t{1} << 63) + 1, false}, {max_u64, false},
    }};
    Rng rng(5);
    for (const Case& c : cases) {
        std::set<std::uint64_t> seen;
        for (int i = 0; i < 2000; ++i) {
            const std::uint64_t value = rng.uniform_below(c.n);
            ASSERT_LT(value, c.n) << "n = " << c.n;
            seen.insert(value);
        }
        if (c.expect_all_values) {
            EXPECT_EQ(seen.size(), c.n) << "n = " << c.n;
        }
    }
}

// With n = 3 * 2^62 a plain draw % n would land in [0, 2^62) half the time;
// rejection brings that down to the fair third.
TEST(RngUniformBelow, RejectsTheBiasedTail) {
    const std::uint64_t n = std::uint64_t{3} << 62;
    const std::uint64_t first_third = std::uint64_t{1} << 62;
    Rng rng(11);
    const int draws = 6000;
    int low = 0;
    for (int i = 0; i < draws; ++i) {
        low += rng.uniform_below(n) < first_third ? 1 : 0;
    }
    const double fraction = static_cast<double>(low) / draws;
    EXPECT_NEAR(fraction, 1.0 / 3.0, 0.03);
}

TEST(RngUniformBelow, SameSeedSameValues) {
    Rng a(2024);
    Rng b(2024);
    Rng other(2025);
    std::vector<std::uint64_t> from_a;
    std::vector<std::uint64_t> from_b;
    std::vector<std::uint64_t> from_other;
    for (int i = 0; i < 50; ++i) {
        from_a.push_back(a.uniform_below(1000003));
        from_b.push_back(b.uniform_below(1000003));
        from_other.push_back(other.uniform_below(1000003));
    }
    EXPECT_EQ(from_a, from_b);
    EXPECT_NE(from_a, from_other);
}

TEST(RngSampleDistinct, MoreThanAvailableThrows) {
    Rng rng(3);
    EXPECT_THROW(rng.sample_distinct(4, 5), zun::InternalError);
    EXPECT_THROW(rng.sample_distinct(0, 1), zun::InternalError);
}

TEST(RngSampleDistinct, GivesKDistinctIndicesInRange) {
    struct Case {
        std::size_t n;
        std::size_t k;
    };
    const std::array<Case, 6> cases{{{0, 0}, {5, 0}, {1, 1}, {10, 3}, {10, 10}, {1000, 999}}};
    Rng rng(17);
    for (const Case& c : cases) {
        const std::vector<std::size_t> sample = rng.sample_distinct(c.n, c.k);
        ASSERT_EQ(sample.size(), c.k) << "n = " << c.n << ", k = " << c.k;
        const std::set<std::size_t> unique(sample.begin(), sample.end());
        EXPECT_EQ(unique.size(), c.k) << "n = " << c.n << ", k = " << c.k;
        if (c.k > 0) {
            EXPECT_LT(*unique.rbegin(), c.n) << "n = " << c.n << ", k = " << c.k;
        }
    }
}

TEST(RngSampleDistinct, SameSeedSameSample) {
    Rng a(8);
    Rng b(8);
    Rng other(9);
    const std::vector<std::size_t> sample_a = a.sample_distinct(100, 20);
    EXPECT_EQ(sample_a, b.sample_distinct(100, 20));
    EXPECT_NE(sample_a, other.sample_distinct(100, 20));
}

// Every index must be able to come first, and about equally often; a swap
// that skips the current position (or an off-by-one range) starves one.
TEST(RngSampleDistinct, FirstDrawIsUniform) {
    constexpr std::size_t n = 5;
    constexpr int trials = 10000;
    std::array<int, n> first_counts{};
    std::array<int, n> inclusion_counts{};
    Rng rng(23);
    for (int t = 0; t < trials; ++t) {
        const std::vector<std::size_t> sample = rng.sample_distinct(n, 2);
        ++first_counts[sample[0]];
        for (const std::size_t index : sample) {
            ++inclusion_counts[index];
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_NEAR(first_counts[i], trials / 5, 250) << "index " << i;
        EXPECT_NEAR(inclusion_counts[i], 2 * trials / 5, 300) << "index " << i;
    }
}

}  // namespace
