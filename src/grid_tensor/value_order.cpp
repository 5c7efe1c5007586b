#include "grid_tensor/value_order.hpp"

#include <algorithm>
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

// Stable least-significant-digit radix sort of `items` by key_of(item).
template <class Item, class KeyOf>
void radix_sort(std::vector<Item>& items, const KeyOf& key_of) {
    const std::size_t n = items.size();
    std::array<std::array<std::size_t, digit_values>, digit_count> counts{};
    for (const Item& item : items) {
        const std::uint64_t key = key_of(item);
        for (std::size_t d = 0; d < digit_count; ++d) {
            ++counts[d][digit_of(key, d)];
        }
    }
    std::vector<Item> scratch(n);
    Item* source = items.data();
    Item* target = scratch.data();
    for (std::size_t d = 0; d < digit_count; ++d) {
        auto& count = counts[d];
        // A digit that every key shares leaves the order as it is.
        if (n == 0 || count[digit_of(key_of(source[0]), d)] == n) {
            continue;
        }
        std::array<std::size_t, digit_values> next{};
        for (std::size_t v = 1; v < digit_values; ++v) {
            next[v] = next[v - 1] + count[v - 1];
        }
        for (std::size_t i = 0; i < n; ++i) {
            target[next[digit_of(key_of(source[i]), d)]++] = source[i];
        }
        std::swap(source, target);
    }
    if (source != items.data()) {
        items.swap(scratch);
    }
}

// The value whose order_key is `key`; 0.0 for the key of both zeros.
double value_of_key(std::uint64_t key) {
    constexpr std::uint64_t sign = std::uint64_t{1} << 63;
    return std::bit_cast<double>((key & sign) != 0 ? key & ~sign : ~key);
}

double checked_value(const MatrixView& x, std::size_t column, std::size_t sample) {
    const double value = x(sample, column);
    if (std::isnan(value)) {
        throw InternalError(
            fmt::format("feature {} holds NaN at sample {}; features must be free of NaN to be sorted", column, sample));
    }
    return value;
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
    radix_sort(items, [](const ValueIndex& item) { return order_key(item.value); });
}

std::vector<ValueIndex> sorted_column(const MatrixView& x, std::size_t column) {
    const std::size_t n = x.rows();
    std::vector<ValueIndex> pairs(n);
    for (std::size_t i = 0; i < n; ++i) {
        pairs[i] = {checked_value(x, column, i), i};
    }
    sort_by_value(pairs);
    return pairs;
}

std::vector<double> sorted_values(const MatrixView& x, std::size_t column) {
    const std::size_t n = x.rows();
    std::vector<std::uint64_t> keys(n);
    bool negative_zero = false;
    for (std::size_t i = 0; i < n; ++i) {
        const double value = checked_value(x, column, i);
        negative_zero = negative_zero || (value == 0.0 && std::signbit(value));
        keys[i] = order_key(value);
    }
    radix_sort(keys, [](std::uint64_t key) { return key; });
    std::vector<double> values(n);
    for (std::size_t q = 0; q < n; ++q) {
        values[q] = value_of_key(keys[q]);
    }
    if (negative_zero) {
        // The key joins the two zeros; the stable order holds them in sample
        // order, so their run takes each zero's own sign in that order.
        std::size_t q = static_cast<std::size_t>(std::lower_bound(values.begin(), values.end(), 0.0) - values.begin());
        for (std::size_t i = 0; i < n; ++i) {
            const double value = x(i, column);
            if (value == 0.0) {
                values[q++] = value;
            }
        }
    }
    return values;
}

}  // namespace zun
