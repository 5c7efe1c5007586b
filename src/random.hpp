#pragma once
// The random generator of every fit: a ChaCha stream with 12 rounds whose key
// comes from a 64-bit seed, so one seed gives the same draws on every machine.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zun {

class Rng {
public:
    explicit Rng(std::uint64_t seed);

    std::uint32_t next_u32();
    // Two consecutive 32-bit outputs, the first as the low half.
    std::uint64_t next_u64();

    // Uniform integer in [0, n). Precondition: n > 0.
    std::uint64_t uniform_below(std::uint64_t n);
    // k distinct indices from [0, n) in draw order. Precondition: k <= n.
    std::vector<std::size_t> sample_distinct(std::size_t n, std::size_t k);

    std::array<std::uint8_t, 32> key() const { return key_; }

private:
    static constexpr std::size_t block_words = 16;

    void refill();

    std::array<std::uint8_t, 32> key_{};
    std::uint64_t counter_ = 0;
    std::array<std::uint32_t, block_words> block_{};
    std::size_t position_ = block_words;  // next unread word of block_
};

}  // namespace zun
