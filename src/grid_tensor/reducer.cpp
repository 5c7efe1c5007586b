#include "grid_tensor/reducer.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "error.hpp"
#include "grid_tensor/bin_sums.hpp"

namespace zun {

namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
constexpr UpdatePair nan_pair{nan_value, nan_value};

// Positions ahead whose sample record the update requests early: the
// samples of an interval lie scattered in memory.
constexpr std::size_t update_prefetch_distance = 16;

double multiplier(double change) { return std::clamp(1.0 + change, min_multiplier, max_multiplier); }

// Rescales the components of the samples at positions [start, end) of
// `feature` and refreshes their residuals. Returns whether their statistics
// stay bounded.
bool update_samples(GridTensorState& state, std::size_t feature, std::size_t start, std::size_t end,
                    const ComponentRatios& ratios) {
    const auto& order = state.sorted_order(feature);
    bool bounded = true;
    for (std::size_t q = start; q < end; ++q) {
        if (q + update_prefetch_distance < end) {
            __builtin_prefetch(&state.samples[order[q + update_prefetch_distance]]);
        }
        SampleRecord& sample = state.samples[order[q]];
        rescale_sample(sample, ratios);
        bounded = bounded && has_bounded_statistics(sample);
    }
    return bounded;
}

// Components, statistics and bookkeeping after the intervals of `feature`
// covering [start, end) got new values: `left` up to position `middle`,
// `right` from it.
void move_samples(GridTensorState& state, const RefinementStrategy& strategy, std::size_t feature,
                  std::size_t start, std::size_t middle, std::size_t end, const IntervalValues& old_left,
                  const IntervalValues& new_left, const IntervalValues& old_right, const IntervalValues& new_right) {
    const ComponentRatios left = component_ratios(old_left, new_left);
    const ComponentRatios right = component_ratios(old_right, new_right);
    if (state.binned) {
        if (!move_binned_samples(strategy, state, feature, start, middle, end, left, right)) {
            start_guarding_nan_gains(state);
        }
        refresh_binned_statistics(strategy, state);
        return;
    }
    const bool left_bounded = update_samples(state, feature, start, middle, left);
    const bool right_bounded = update_samples(state, feature, middle, end, right);
    if (!left_bounded || !right_bounded) {
        start_guarding_nan_gains(state);
    }
    refine_after_move(strategy, state, feature, start, end);
}

IntervalValues values_of(const GridTensorState& state, std::size_t feature, std::size_t interval) {
    return {state.backbone[feature][interval], state.tilt[feature][interval]};
}

void store_values(GridTensorState& state, std::size_t feature, std::size_t interval, const IntervalValues& values) {
    state.backbone[feature][interval] = values.backbone;
    state.tilt[feature][interval] = values.tilt;
}

void require_feature(const GridTensorState& state, std::size_t feature, const char* move) {
    if (feature >= state.n_features) {
        throw InternalError(fmt::format("{} names feature {} but the state has {} features", move, feature,
                                        state.n_features));
    }
}

void apply_split(GridTensorState& state, const Split& split, const RefinementStrategy& strategy,
                 const SplitStrategyParams& split_params) {
    require_feature(state, split.feature, "Split");
    const std::size_t f = split.feature;
    const std::size_t m = split.position;
    auto& cuts = state.split_positions[f];
    const std::size_t k = state.interval_containing(f, m);
    const std::size_t start = state.interval_start(f, k);
    const std::size_t end = state.interval_end(f, k);
    if (m == 0 || m >= state.n_samples || m == start) {
        throw InternalError(fmt::format("Split at position {} of feature {} is not inside an interval of {} samples",
                                        m, f, state.n_samples));
    }
    if (split.run_index >= state.candidate_ranges[f].size()) {
        throw InternalError(fmt::format("Split names candidate run {} but feature {} has {} runs", split.run_index,
                                        f, state.candidate_ranges[f].size()));
    }
    const bool single_mode = single_component_mode(state);
    const IntervalValues old_values = values_of(state, f, k);
    const IntervalValues left = apply_change(old_values, split.left, single_mode);
    const IntervalValues right = apply_change(old_values, split.right, single_mode);

    cuts.insert(cuts.begin() + static_cast<std::ptrdiff_t>(k), m);
    store_values(state, f, k, left);
    state.backbone[f].insert(state.backbone[f].begin() + static_cast<std::ptrdiff_t>(k + 1), right.backbone);
    state.tilt[f].insert(state.tilt[f].begin() + static_cast<std::ptrdiff_t>(k + 1), right.tilt);
    const auto at = static_cast<std::ptrdiff_t>(k);
    state.resplit_score[f].insert(state.resplit_score[f].begin() + at, nan_value);
    state.resplit_left_update[f].insert(state.resplit_left_update[f].begin() + at, nan_pair);
    state.resplit_right_update[f].insert(state.resplit_right_update[f].begin() + at, nan_pair);
    state.resplit_side_gains[f].insert(state.resplit_side_gains[f].begin() + at, nan_pair);
    state.interval_stats[f].insert(state.interval_stats[f].begin() + at + 1, IntervalStats{});

    move_samples(state, strategy, f, start, m, end, old_values, left, old_values, right);
    remove_around_cut(state, split_params, f, split.run_index, m);

    state.sse -= split.gain;
    state.net_splits += 1;
    state.split_count += 1;
    state.consecutive_resplits = 0;
}

void apply_resplit(GridTensorState& state, const Resplit& resplit, const RefinementStrategy& strategy) {
    require_feature(state, resplit.feature, "Resplit");
    const std::size_t f = resplit.feature;
    const auto& cuts = state.split_positions[f];
    const std::size_t s = resplit.cut_index;
    if (s >= cuts.size() || cuts[s] != resplit.position) {
        throw InternalError(fmt::format("Resplit names cut {} at position {} but feature {} has {} cuts", s,
                                        resplit.position, f, cuts.size()));
    }
    const bool single_mode = single_component_mode(state);
    const std::size_t p = cuts[s];
    const std::size_t start = state.interval_start(f, s);
    const std::size_t end = state.interval_end(f, s + 1);
    const IntervalValues old_left = values_of(state, f, s);
    const IntervalValues old_right = values_of(state, f, s + 1);
    const IntervalValues new_left = apply_change(old_left, resplit.left, single_mode);
    const IntervalValues new_right = apply_change(old_right, resplit.right, single_mode);
    store_values(state, f, s, new_left);
    store_values(state, f, s + 1, new_right);

    move_samples(state, strategy, f, start, p, end, old_left, new_left, old_right, new_right);

    state.sse -= resplit.score;
    state.resplit_count += 1;
    state.consecutive_resplits += 1;
}

}  // namespace

ComponentRatios component_ratios(const IntervalValues& old_values, const IntervalValues& new_values) {
    const double old_plus = old_values.backbone * std::exp(old_values.tilt);
    const double old_minus = old_values.backbone * std::exp(-old_values.tilt);
    ComponentRatios ratios;
    ratios.scale_plus = std::abs(old_plus) > degenerate_factor;
    ratios.scale_minus = std::abs(old_minus) > degenerate_factor;
    if (ratios.scale_plus) {
        ratios.plus = new_values.backbone * std::exp(new_values.tilt) / old_plus;
    }
    if (ratios.scale_minus) {
        ratios.minus = new_values.backbone * std::exp(-new_values.tilt) / old_minus;
    }
    return ratios;
}

IntervalValues apply_change(const IntervalValues& old_values, const UpdatePair& change, bool single_mode) {
    IntervalValues result;
    if (single_mode) {
        result = {old_values.backbone * multiplier(change.x), old_values.tilt + 0.0};
    } else {
        const double u = multiplier(change.x);
        const double v = multiplier(change.y);
        result = {old_values.backbone * std::sqrt(u * v), old_values.tilt + 0.5 * std::log(u / v)};
    }
    result.backbone = std::clamp(result.backbone, min_backbone, max_backbone);
    result.tilt = std::clamp(result.tilt, -max_abs_tilt, max_abs_tilt);
    return result;
}

void apply_action(GridTensorState& state, const FitAction& action, const RefinementStrategy& strategy,
                  const SplitStrategyParams& split_params) {
    if (const auto* split = std::get_if<Split>(&action)) {
        apply_split(state, *split, strategy, split_params);
    } else {
        apply_resplit(state, std::get<Resplit>(action), strategy);
    }
}

}  // namespace zun
