#include "grid_tensor/histogram_binning.hpp"

#include <algorithm>
#include <limits>

#include "error.hpp"

namespace zun {

namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
constexpr UpdatePair nan_pair{nan_value, nan_value};

void bin_feature(GridTensorState& state, std::size_t feature, std::size_t max_bins) {
    const std::size_t n = state.n_samples;
    if (n <= 1) {
        return;
    }
    const auto boundaries =
        quantile_boundaries(n, max_bins, [&](std::size_t q) { return state.value_at(feature, q); });
    if (boundaries.empty()) {
        return;
    }
    // Only boundaries stay cut candidates.
    std::size_t next = 0;
    for (std::size_t q = 0; q < n; ++q) {
        if (next < boundaries.size() && boundaries[next] == q) {
            ++next;
            continue;
        }
        state.split_gain[feature][q] = nan_value;
        state.left_update[feature][q] = nan_pair;
        state.right_update[feature][q] = nan_pair;
        state.side_gains[feature][q] = nan_pair;
    }
    auto& bins = state.bin_prefix_stats[feature];
    bins.clear();
    bins.reserve(boundaries.size() + 1);
    for (const std::size_t end : boundaries) {
        bins.push_back(state.prefix_stats[feature][end - 1]);
    }
    bins.push_back(state.prefix_stats[feature][n - 1]);
    state.prefix_stats[feature] = {};
    state.bin_boundaries[feature] = boundaries;
}

}  // namespace

void apply_binning(GridTensorState& state, std::optional<std::uint16_t> max_bins) {
    if (!max_bins || *max_bins <= 1) {
        return;
    }
    require(state.stats_ready, "apply_binning: the statistics must be initialised before binning");
    for (std::size_t j = 0; j < state.n_features; ++j) {
        bin_feature(state, j, *max_bins);
    }
}

}  // namespace zun
