#include "random.hpp"

#include <bit>
#include <numeric>
#include <string>
#include <utility>

#include "error.hpp"

namespace zun {

namespace {

constexpr std::uint64_t pcg_multiplier = 6364136223846793005ULL;
constexpr std::uint64_t pcg_increment = 11634580027462260723ULL;
constexpr int chacha_rounds = 12;

std::uint32_t pcg32_step(std::uint64_t& state) {
    state = state * pcg_multiplier + pcg_increment;
    const auto xorshifted = static_cast<std::uint32_t>((state ^ (state >> 18)) >> 27);
    const auto rotation = static_cast<int>(state >> 59);
    return std::rotr(xorshifted, rotation);
}

std::array<std::uint8_t, 32> key_from_seed(std::uint64_t seed) {
    std::array<std::uint8_t, 32> key{};
    std::uint64_t state = seed;
    for (std::size_t word = 0; word < 8; ++word) {
        const std::uint32_t value = pcg32_step(state);
        for (std::size_t byte = 0; byte < 4; ++byte) {
            key[4 * word + byte] = static_cast<std::uint8_t>(value >> (8 * byte));
        }
    }
    return key;
}

std::uint32_t load_le32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

void quarter_round(std::array<std::uint32_t, 16>& x, int a, int b, int c, int d) {
    x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 16);
    x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 12);
    x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 8);
    x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 7);
}

}  // namespace

Rng::Rng(std::uint64_t seed) : key_(key_from_seed(seed)) {}

void Rng::refill() {
    std::array<std::uint32_t, 16> input{};
    // "expand 32-byte k"
    input[0] = 0x61707865U;
    input[1] = 0x3320646eU;
    input[2] = 0x79622d32U;
    input[3] = 0x6b206574U;
    for (std::size_t i = 0; i < 8; ++i) {
        input[4 + i] = load_le32(key_.data() + 4 * i);
    }
    input[12] = static_cast<std::uint32_t>(counter_);
    input[13] = static_cast<std::uint32_t>(counter_ >> 32);
    input[14] = 0;  // stream id, low half
    input[15] = 0;  // stream id, high half

    std::array<std::uint32_t, 16> x = input;
    for (int round = 0; round < chacha_rounds; round += 2) {
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
    for (std::size_t i = 0; i < 16; ++i) {
        block_[i] = x[i] + input[i];
    }
    ++counter_;
    position_ = 0;
}

std::uint32_t Rng::next_u32() {
    if (position_ == block_words) {
        refill();
    }
    return block_[position_++];
}

std::uint64_t Rng::next_u64() {
    const std::uint64_t low = next_u32();
    const std::uint64_t high = next_u32();
    return (high << 32) | low;
}

std::uint64_t Rng::uniform_below(std::uint64_t n) {
    if (n == 0) {
        throw InternalError("uniform_below: the range [0, n) is empty (n = 0)");
    }
    // Accept only draws below the largest multiple of n that fits in 2^64,
    // so every residue is equally likely.
    const std::uint64_t rejected = (0 - n) % n;  // 2^64 mod n
    const std::uint64_t limit = ~std::uint64_t{0} - rejected;  // last accepted draw
    while (true) {
        const std::uint64_t draw = next_u64();
        if (draw <= limit) {
            return draw % n;
        }
    }
}

std::vector<std::size_t> Rng::sample_distinct(std::size_t n, std::size_t k) {
    if (k > n) {
        throw InternalError("sample_distinct: cannot draw " + std::to_string(k) +
                            " distinct indices from " + std::to_string(n));
    }
    std::vector<std::size_t> indices(n);
    std::iota(indices.begin(), indices.end(), std::size_t{0});
    // Partial Fisher-Yates: position i receives a uniform pick among the rest.
    for (std::size_t i = 0; i < k; ++i) {
        const auto pick = i + static_cast<std::size_t>(uniform_below(n - i));
        std::swap(indices[i], indices[pick]);
    }
    indices.resize(k);
    return indices;
}

}  // namespace zun
