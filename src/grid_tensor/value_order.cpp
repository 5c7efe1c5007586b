#include "grid_tensor/value_order.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <utility>

#include <fmt/format.h>

#include "error.hpp"

namespace zun {

namespace {

constexpr std::size_t digit_bits = 8;
constexpr std::size_t digit_values = std::size_t{1} << digit_bits;
constexpr std::size_t digit_count = 64 / digit_bits;

std::size_t digit_of(std::uint64_t key, std::size_t digit) {
    return static_cast<std::size_t>((key >> (digit * digit_bits)) & (digit_values - 1));
}

}  // namespace

std::uint64_t order_key(double value) {
    constexpr std::uint64_t sign = std::uint64_t{1} << 63;
    // Adding 0.0 turns -0.0 into 0.0, the two values `<` does not tell apart.
    const auto bits = std::bit_cast<std::uint64_t>(value + 0.0);
    // Negative values count down from the sign bit, positive ones up from it.
    return (bits & sign) != 0 ? ~bits : bits | sign;
}

void sort_by_value(std::vector<ValueIndex>& items) {
    const std::size_t n = items.size();
    std::array<std::array<std::size_t, digit_values>, digit_count> counts{};
    for (const ValueIndex& item : items) {
        const std::uint64_t key = order_key(item.value);
        for (std::size_t d = 0; d < digit_count; ++d) {
            ++counts[d][digit_of(key, d)];
        }
    }
    std::vector<ValueIndex> scratch(n);
    ValueIndex* source = items.data();
    ValueIndex* target = scratch.data();
    for (std::size_t d = 0; d < digit_count; ++d) {
        auto& count = counts[d];
        // A digit that every key shares leaves the order as it is.
        if (n == 0 || count[digit_of(order_key(source[0].value), d)] == n) {
            continue;
        }
        std::array<std::size_t, digit_values> next{};
        for (std::size_t v = 1; v < digit_values; ++v) {
            next[v] = next[v - 1] + count[v - 1];
        }
        for (std::size_t i = 0; i < n; ++i) {
            target[next[digit_of(order_key(source[i].value), d)]++] = source[i];
        }
        std::swap(source, target);
    }
    if (source != items.data()) {
        items.swap(scratch);
    }
}

std::vector<ValueIndex> sorted_column(const MatrixView& x, std::size_t column) {
    const std::size_t n = x.rows();
    std::vector<ValueIndex> pairs(n);
    for (std::size_t i = 0; i < n; ++i) {
        pairs[i] = {x(i, column), i};
        if (std::isnan(pairs[i].value)) {
            throw InternalError(
                fmt::format("feature {} holds NaN at sample {}; features must be free of NaN to be sorted", column, i));
        }
    }
    sort_by_value(pairs);
    return pairs;
}

}  // namespace zun
