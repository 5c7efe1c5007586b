#include "grid_tensor/histogram_binning.hpp"

#include "error.hpp"

namespace zun {

namespace {

void bin_feature(GridTensorState& state, std::size_t feature, std::size_t max_bins) {
    const std::size_t n = state.n_samples;
    if (n <= 1) {
        return;
    }
    // Only boundaries stay cut candidates (GridTensorState::cut_excluded).
    state.bin_boundaries[feature] =
        quantile_boundaries(n, max_bins, [&](std::size_t q) { return state.value_at(feature, q); });
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
