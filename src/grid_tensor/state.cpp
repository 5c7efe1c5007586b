#include "grid_tensor/state.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "error.hpp"

namespace zun {

namespace {

constexpr double initial_component = 1e-10;

FeatureOrder sort_column(const MatrixView& x, std::size_t column) {
    const std::size_t n = x.rows();
    // (value, sample) pairs: sorting them by value, then sample, gives the
    // stable order without reading values through the indices, and leaves
    // the sorted values at hand for the tie marks.
    std::vector<std::pair<double, std::size_t>> pairs(n);
    for (std::size_t i = 0; i < n; ++i) {
        pairs[i] = {x(i, column), i};
        if (std::isnan(pairs[i].first)) {
            throw InternalError(
                fmt::format("feature {} holds NaN at sample {}; features must be free of NaN to be sorted", column, i));
        }
    }
    // Equal values (-0.0 and 0.0 too) fall back to the sample index.
    std::sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) {
        return a.first < b.first || (a.first == b.first && a.second < b.second);
    });
    FeatureOrder order;
    order.sorted_order.resize(n);
    order.sample_rank.resize(n);
    order.tie.assign(n, 0);
    for (std::size_t position = 0; position < n; ++position) {
        order.sorted_order[position] = pairs[position].second;
        order.sample_rank[pairs[position].second] = position;
        if (position > 0 && std::abs(pairs[position].first - pairs[position - 1].first) < tie_distance) {
            order.tie[position] = 1;
        }
    }
    return order;
}

// Runs of `runs` that overlap [first, last]: the first whose end lies after
// `first`, the last whose start is at or before `last`; (1, 0) when none.
std::pair<std::size_t, std::size_t> overlapping_runs(const std::vector<CandidateRun>& runs, std::size_t first,
                                                     std::size_t last) {
    const auto first_it = std::partition_point(
        runs.begin(), runs.end(), [first](const CandidateRun& run) { return run.start + run.length <= first; });
    const auto past_last =
        std::partition_point(runs.begin(), runs.end(), [last](const CandidateRun& run) { return run.start <= last; });
    if (first_it >= past_last) {
        return {1, 0};
    }
    return {static_cast<std::size_t>(first_it - runs.begin()), static_cast<std::size_t>(past_last - runs.begin() - 1)};
}

}  // namespace

std::shared_ptr<const SortedFeatures> sort_features(const MatrixView& x) {
    auto sorted = std::make_shared<SortedFeatures>();
    sorted->reserve(x.cols());
    for (std::size_t j = 0; j < x.cols(); ++j) {
        sorted->push_back(sort_column(x, j));
    }
    return sorted;
}

GridTensorState::GridTensorState(const MatrixView& x_in, const VectorView& y_in,
                                 std::shared_ptr<const SortedFeatures> sorted_in)
    : x(x_in), y(y_in), n_samples(x_in.rows()), n_features(x_in.cols()), sorted(std::move(sorted_in)) {
    if (y.size() != n_samples) {
        throw InternalError(fmt::format("x has {} rows but y has {} entries", n_samples, y.size()));
    }
    const std::size_t n = n_samples;
    const std::size_t p = n_features;
    backbone.assign(p, {1.0});
    tilt.assign(p, {0.0});
    split_positions.assign(p, {});
    sample_interval.assign(p, std::vector<std::size_t>(n, 0));

    f_plus.assign(n, initial_component);
    f_minus.assign(n, initial_component);
    raw_difference.resize(n);
    residual.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        raw_difference[i] = f_plus[i] - f_minus[i];
    }
    prediction = raw_difference;
    for (std::size_t i = 0; i < n; ++i) {
        residual[i] = y[i] - prediction[i];
        sse += residual[i] * residual[i];
    }
    residual_snapshot = residual;

    prefix_stats.assign(p, {});
    interval_stats.assign(p, {IntervalStats{}});
    split_gain.assign(p, {});
    left_update.assign(p, {});
    right_update.assign(p, {});
    side_gains.assign(p, {});
    resplit_score.assign(p, {});
    resplit_left_update.assign(p, {});
    resplit_right_update.assign(p, {});
    resplit_side_gains.assign(p, {});
    bin_boundaries.assign(p, {});
    bin_prefix_stats.assign(p, {});
    candidate_ranges.assign(p, {});
    candidate_count.assign(p, 0);
}

const std::vector<std::size_t>& GridTensorState::sorted_order(std::size_t feature) const {
    return (*sorted)[feature].sorted_order;
}

const std::vector<std::size_t>& GridTensorState::sample_rank(std::size_t feature) const {
    return (*sorted)[feature].sample_rank;
}

double GridTensorState::value_at(std::size_t feature, std::size_t position) const {
    return x(sorted_order(feature)[position], feature);
}

std::size_t GridTensorState::interval_containing(std::size_t feature, std::size_t position) const {
    const auto& cuts = split_positions[feature];
    return static_cast<std::size_t>(std::upper_bound(cuts.begin(), cuts.end(), position) - cuts.begin());
}

std::size_t GridTensorState::interval_start(std::size_t feature, std::size_t k) const {
    return k == 0 ? 0 : split_positions[feature][k - 1];
}

std::size_t GridTensorState::interval_end(std::size_t feature, std::size_t k) const {
    const auto& cuts = split_positions[feature];
    return k < cuts.size() ? cuts[k] : n_samples;
}

std::size_t GridTensorState::bin_containing(std::size_t feature, std::size_t position) const {
    const auto& bounds = bin_boundaries[feature];
    return static_cast<std::size_t>(std::upper_bound(bounds.begin(), bounds.end(), position) - bounds.begin());
}

std::size_t GridTensorState::bin_end(std::size_t feature, std::size_t bin) const {
    const auto& bounds = bin_boundaries[feature];
    return bin < bounds.size() ? bounds[bin] : n_samples;
}

void recompute_sample_interval(GridTensorState& state, std::size_t feature, std::size_t start, std::size_t end) {
    require(feature < state.n_features && start <= end && end <= state.n_samples,
            "recompute_sample_interval: feature or position range outside the state");
    if (start == end) {
        return;
    }
    const auto& order = state.sorted_order(feature);
    auto& intervals = state.sample_interval[feature];
    std::size_t k = state.interval_containing(feature, start);
    std::size_t next_cut = state.interval_end(feature, k);
    for (std::size_t position = start; position < end; ++position) {
        while (position >= next_cut) {
            ++k;
            next_cut = state.interval_end(feature, k);
        }
        intervals[order[position]] = k;
    }
}

std::vector<AffectedRegion> affected_regions(const GridTensorState& state, std::size_t feature, std::size_t start,
                                             std::size_t end) {
    if (feature >= state.n_features || start > end || end > state.n_samples) {
        throw InternalError(fmt::format("affected_regions: feature {} with positions [{}, {}) lies outside a state "
                                        "of {} features and {} samples",
                                        feature, start, end, state.n_features, state.n_samples));
    }
    std::vector<AffectedRegion> regions;
    regions.reserve(state.n_features);
    const std::size_t last = end == 0 ? 0 : end - 1;
    const auto own_runs = overlapping_runs(state.candidate_ranges[feature], start, last);
    regions.push_back({start, last, own_runs.first, own_runs.second, feature});
    if (start == end) {
        return regions;
    }
    const auto& order = state.sorted_order(feature);
    for (std::size_t k = 0; k < state.n_features; ++k) {
        if (k == feature) {
            continue;
        }
        const auto& rank = state.sample_rank(k);
        std::size_t lowest = std::numeric_limits<std::size_t>::max();
        std::size_t highest = 0;
        for (std::size_t position = start; position < end; ++position) {
            const std::size_t other = rank[order[position]];
            lowest = std::min(lowest, other);
            highest = std::max(highest, other);
        }
        const std::size_t span_first = state.interval_start(k, state.interval_containing(k, lowest));
        const std::size_t span_last = state.interval_end(k, state.interval_containing(k, highest)) - 1;
        const auto runs = overlapping_runs(state.candidate_ranges[k], span_first, span_last);
        regions.push_back({lowest, highest, runs.first, runs.second, k});
    }
    return regions;
}

}  // namespace zun
