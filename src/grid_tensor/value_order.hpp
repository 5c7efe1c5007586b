#pragma once
// Stable ascending order of a column of floats by least-significant-digit
// radix sort: eight byte-wide passes over order-preserving integer keys,
// each pass stable, so equal values keep their index order as a stable
// comparison sort would leave them.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "matrix_view.hpp"

namespace zun {

struct ValueIndex {
    double value = 0.0;
    std::size_t index = 0;
    bool operator==(const ValueIndex&) const = default;
};

// An unsigned key that orders like the value under `<`; -0.0 and 0.0 get the
// same key. Not meaningful for NaN.
std::uint64_t order_key(double value);

// Sorts `items` by value, keeping the given order among equal values.
// Precondition: no NaN value.
void sort_by_value(std::vector<ValueIndex>& items);

// The (value, sample) pairs of one column of x in stable ascending order.
// Throws InternalError naming the column and sample when it holds NaN, which
// has no place in the order.
std::vector<ValueIndex> sorted_column(const MatrixView& x, std::size_t column);

// The values of sorted_column(x, column) alone, bit for bit (the sign of
// each zero included). Sorting values without their samples moves half the
// bytes.
std::vector<double> sorted_values(const MatrixView& x, std::size_t column);

}  // namespace zun
