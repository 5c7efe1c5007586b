#include "grid_tensor/state.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include <fmt/format.h>

#include "error.hpp"
#include "fit_control.hpp"
#include "grid_tensor/value_order.hpp"

namespace zun {

namespace {

constexpr double initial_component = 1e-10;

FeatureOrder sort_column(const MatrixView& x, std::size_t column) {
    const std::size_t n = x.rows();
    // (value, sample) pairs: sorting them by value gives the stable order
    // without reading values through the indices, and leaves the sorted
    // values at hand for the tie marks.
    const std::vector<ValueIndex> pairs = sorted_column(x, column);
    FeatureOrder order;
    order.sorted_order.resize(n);
    order.sample_rank.resize(n);
    order.tie.assign(n, 0);
    for (std::size_t position = 0; position < n; ++position) {
        order.sorted_order[position] = pairs[position].index;
        order.sample_rank[pairs[position].index] = position;
        if (position > 0 && std::abs(pairs[position].value - pairs[position - 1].value) < tie_distance) {
            order.tie[position] = 1;
        }
    }
    return order;
}

// Moves of fewer samples than n / this locate their samples in the other
// features; larger ones treat every interval there as changed.
constexpr std::size_t small_move_divisor = 8;

// Intervals of `feature` overlapping positions [start, end), whole.
std::vector<ChangedInterval> moved_intervals(const GridTensorState& state, std::size_t feature, std::size_t start,
                                             std::size_t end) {
    std::vector<ChangedInterval> changed;
    for (std::size_t k = state.interval_containing(feature, start); k < state.interval_count(feature); ++k) {
        const std::size_t first = std::max(start, state.interval_start(feature, k));
        if (first >= end) {
            break;
        }
        changed.push_back({k, first});
    }
    return changed;
}

// Intervals of `other` holding the samples at positions [start, end) of
// `feature`, each with the lowest position such a sample has in `other`.
std::vector<ChangedInterval> located_intervals(const GridTensorState& state, std::size_t feature, std::size_t start,
                                               std::size_t end, std::size_t other) {
    constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
    std::vector<std::size_t> lowest(state.interval_count(other), none);
    const auto& order = state.sorted_order(feature);
    const auto& rank = state.sample_rank(other);
    for (std::size_t q = start; q < end; ++q) {
        const std::size_t position = rank[order[q]];
        std::size_t& slot = lowest[state.interval_containing(other, position)];
        slot = std::min(slot, position);
    }
    std::vector<ChangedInterval> changed;
    for (std::size_t k = 0; k < lowest.size(); ++k) {
        if (lowest[k] != none) {
            changed.push_back({k, lowest[k]});
        }
    }
    return changed;
}

std::vector<ChangedInterval> every_interval(const GridTensorState& state, std::size_t feature) {
    std::vector<ChangedInterval> changed(state.interval_count(feature));
    for (std::size_t k = 0; k < changed.size(); ++k) {
        changed[k] = {k, state.interval_start(feature, k)};
    }
    return changed;
}

}  // namespace

std::shared_ptr<const SortedFeatures> sort_features(const MatrixView& x) {
    auto sorted = std::make_shared<SortedFeatures>();
    sorted->reserve(x.cols());
    for (std::size_t j = 0; j < x.cols(); ++j) {
        throw_if_cancelled();
        sorted->push_back(sort_column(x, j));
    }
    return sorted;
}

GridTensorState::GridTensorState(const MatrixView& x_in, const VectorView& y_in,
                                 std::shared_ptr<const SortedFeatures> sorted_in,
                                 std::shared_ptr<const BinnedFeatures> binned_in)
    : x(x_in),
      y(y_in),
      n_samples(x_in.rows()),
      n_features(x_in.cols()),
      sorted(std::move(sorted_in)),
      binned(std::move(binned_in)) {
    if (y.size() != n_samples) {
        throw InternalError(fmt::format("x has {} rows but y has {} entries", n_samples, y.size()));
    }
    require(!(sorted && binned), "a fitting state is either exact (sorted) or binned, not both");
    if (binned && (binned->n_samples != n_samples || binned->n_features != n_features)) {
        throw InternalError(fmt::format("bin codes cover {} samples and {} features but x has {} and {}",
                                        binned->n_samples, binned->n_features, n_samples, n_features));
    }
    const std::size_t n = n_samples;
    const std::size_t p = n_features;
    backbone.assign(p, {1.0});
    tilt.assign(p, {0.0});
    split_positions.assign(p, {});

    samples.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        SampleRecord& sample = samples[i];
        sample.f_plus = initial_component;
        sample.f_minus = initial_component;
        sample.target = y[i];
        sample.residual = sample.target - (sample.f_plus - sample.f_minus);
        sse += sample.residual * sample.residual;
    }

    checkpoints.assign(p, {});
    interval_stats.assign(p, {IntervalStats{}});
    resplit_score.assign(p, {});
    resplit_left_update.assign(p, {});
    resplit_right_update.assign(p, {});
    resplit_side_gains.assign(p, {});
    candidate_ranges.assign(p, {});
    candidate_count.assign(p, 0);
}

double GridTensorState::value_at(std::size_t feature, std::size_t position) const {
    if (binned) {
        const FeatureBins& bins = binned->features[feature];
        const std::optional<std::size_t> boundary = bins.boundary_at(position);
        if (!boundary) {
            throw InternalError(
                fmt::format("position {} of feature {} is not a bin boundary: its value is not kept", position, feature));
        }
        return bins.thresholds[*boundary];
    }
    return x(sorted_order(feature)[position], feature);
}

std::vector<std::size_t> samples_at_positions(const GridTensorState& state, std::size_t feature, std::size_t start,
                                              std::size_t end) {
    require(feature < state.n_features && start <= end && end <= state.n_samples,
            "samples_at_positions: feature or positions outside the state");
    if (!state.binned) {
        const auto& order = state.sorted_order(feature);
        return {order.begin() + static_cast<std::ptrdiff_t>(start), order.begin() + static_cast<std::ptrdiff_t>(end)};
    }
    const FeatureBins& bins = state.binned->features[feature];
    const std::size_t first = bins.bin_starting_at(start, state.n_samples);
    const std::size_t last = bins.bin_starting_at(end, state.n_samples);
    std::vector<ValueIndex> found;
    found.reserve(end - start);
    for (std::size_t i = 0; i < state.n_samples; ++i) {
        const std::size_t bin = state.binned->code(i, feature);
        if (bin >= first && bin < last) {
            found.push_back({state.x(i, feature), i});
        }
    }
    // Stable by value from sample order: ties keep ascending sample index.
    sort_by_value(found);
    std::vector<std::size_t> samples(found.size());
    for (std::size_t k = 0; k < found.size(); ++k) {
        samples[k] = found[k].index;
    }
    return samples;
}

std::vector<std::vector<ChangedInterval>> changed_intervals(const GridTensorState& state, std::size_t feature,
                                                            std::size_t start, std::size_t end) {
    if (feature >= state.n_features || start > end || end > state.n_samples) {
        throw InternalError(fmt::format("changed_intervals: feature {} with positions [{}, {}) lies outside a state "
                                        "of {} features and {} samples",
                                        feature, start, end, state.n_features, state.n_samples));
    }
    std::vector<std::vector<ChangedInterval>> changed(state.n_features);
    if (start == end) {
        return changed;
    }
    const bool small_move = (end - start) * small_move_divisor < state.n_samples;
    for (std::size_t k = 0; k < state.n_features; ++k) {
        if (k == feature) {
            changed[k] = moved_intervals(state, feature, start, end);
        } else if (small_move) {
            changed[k] = located_intervals(state, feature, start, end, k);
        } else {
            changed[k] = every_interval(state, k);
        }
    }
    return changed;
}

}  // namespace zun
