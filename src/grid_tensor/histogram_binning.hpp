#pragma once
// Histogram binning: limits each feature's cut positions to at most
// max_bins - 1 equal-count quantile boundaries. The statistics of a binned
// feature are kept as for any other; only its candidates are fewer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "grid_tensor/state.hpp"

namespace zun {

// Boundaries of one feature of `n` sorted values (value(q) reads sorted
// position q): quantile positions floor(n q / B), B = min(n, max_bins),
// dropped when they fall inside a run of equal values.
template <typename ValueAt>
std::vector<std::size_t> quantile_boundaries(std::size_t n, std::size_t max_bins, const ValueAt& value) {
    std::vector<std::size_t> boundaries;
    const std::size_t bins = std::min(n, max_bins);
    for (std::size_t q = 1; q < bins; ++q) {
        const std::size_t c = n * q / bins;
        if (c < 1 || c >= n || (!boundaries.empty() && boundaries.back() == c)) {
            continue;
        }
        // Written as a negated equality so a NaN on either side also counts as a change.
        if (!(value(c) == value(c - 1))) {
            boundaries.push_back(c);
        }
    }
    return boundaries;
}

// Bins every feature when max_bins is present and greater than 1; otherwise
// leaves the state unchanged. Runs after the refinement's initialisation and
// before the split candidates are built.
void apply_binning(GridTensorState& state, std::optional<std::uint16_t> max_bins);

}  // namespace zun
