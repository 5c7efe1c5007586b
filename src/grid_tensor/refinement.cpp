#include "grid_tensor/refinement.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "error.hpp"
#include "fit_control.hpp"
#include "grid_tensor/bin_lanes.hpp"
#include "grid_tensor/bin_sums.hpp"

namespace zun {

namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
constexpr UpdatePair nan_pair{nan_value, nan_value};
constexpr double coefficient_floor = 1e-10;
constexpr double mode_threshold = 1e-10;
constexpr double min_determinant = 1e-15;
constexpr double max_condition = 1e12;

struct Solution {
    double x;
    double y;
    bool finite() const { return std::isfinite(x) && std::isfinite(y); }
};

// The symmetric 2x2 system [[m11, m12], [m12, m22]] of the paired update.
struct PairedSystem {
    double m11;
    double m22;
    double m12;
    double det;

    Solution solve(double u, double v) const { return {(u * m22 - m12 * v) / det, (v * m11 - m12 * u) / det}; }
};

// Optimum of the rho-penalised problem before clamping.
Solution penalised_solution(const PairedSystem& system, double d, double e, double rho) {
    const double h = rho / 2.0;
    const Solution above = system.solve(d - h, e + h);
    if (above.x > above.y && above.finite()) {
        return above;
    }
    const Solution below = system.solve(d + h, e - h);
    if (below.y > below.x && below.finite()) {
        return below;
    }
    // Neither side holds its own sign of x - y: the optimum lies on x = y.
    const Solution free = system.solve(d, e);
    const double g1 = (system.m22 + system.m12) / system.det;
    const double g2 = (-system.m11 - system.m12) / system.det;
    if (!std::isfinite(g1) || !std::isfinite(g2) || std::abs(g1 - g2) <= min_determinant) {
        return {0.0, 0.0};
    }
    const double lambda = (free.x - free.y) / (g1 - g2);
    const Solution projected{free.x - lambda * g1, free.y - lambda * g2};
    return projected.finite() ? projected : Solution{0.0, 0.0};
}

Solution unclamped_paired_solution(const PairedSystem& system, double d, double e, double rho) {
    if (std::abs(system.det) < min_determinant || !std::isfinite(system.det)) {
        return {0.0, 0.0};
    }
    if (rho == 0.0) {
        const Solution solution = system.solve(d, e);
        const double norm =
            std::sqrt(system.m11 * system.m11 + system.m22 * system.m22 + 2.0 * (system.m12 * system.m12));
        if (norm / std::abs(system.det) > max_condition || !solution.finite()) {
            return {0.0, 0.0};
        }
        return solution;
    }
    return penalised_solution(system, d, e, rho);
}

constexpr SplitCandidate not_a_candidate{nan_pair, nan_pair, nan_value};
// A position no interval computation has reached: only the single position
// of a one-sample fit, which keeps the entry every position starts with.
constexpr SplitCandidate untouched_entry{nan_pair, nan_pair, 0.0};

// Strategy constants beyond this, with samples under the bound of
// has_bounded_statistics, could make a gain overflow.
constexpr double max_bounded_constant = 1e200;
// Positions ahead whose sample record a gather requests early.
constexpr std::size_t gather_prefetch_distance = 32;

// Adds the statistics of the samples at positions [from, to) of an order to
// `sums`, one after the other.
template <bool Single>
void accumulate(const RefinementStrategy& strategy, const GridTensorState& state, const std::vector<std::size_t>& order,
                std::size_t from, std::size_t to, Stats5& sums) {
    const SampleRecord* samples = state.samples.data();
    const std::size_t* positions = order.data();
    const std::size_t n = order.size();
    for (std::size_t q = from; q < to; ++q) {
        if (q + gather_prefetch_distance < n) {
            __builtin_prefetch(samples + positions[q + gather_prefetch_distance]);
        }
        sums += sample_products(strategy, samples[positions[q]], Single);
    }
}

// The sums over positions [start, position) of `feature`, where `start` is
// the first position of the interval holding them: resumed from the last
// checkpoint in that range, which was summed in the same order.
template <bool Single>
Stats5 sums_before(const RefinementStrategy& strategy, const GridTensorState& state, std::size_t feature,
                   std::size_t start, std::size_t position) {
    Stats5 sums;
    std::size_t from = start;
    const std::size_t block = position / checkpoint_spacing;
    if (block > 0 && block * checkpoint_spacing - 1 >= start) {
        sums = state.checkpoints[feature][block - 1];
        from = block * checkpoint_spacing;
    }
    accumulate<Single>(strategy, state, state.sorted_order(feature), from, position, sums);
    return sums;
}

// Sums interval k of `feature` again from position `first` on (the sums
// before it still hold), storing its checkpoints and its total.
template <bool Single>
void resum_interval(const RefinementStrategy& strategy, GridTensorState& state, std::size_t feature, std::size_t k,
                    std::size_t first) {
    const std::size_t start = state.interval_start(feature, k);
    const std::size_t end = state.interval_end(feature, k);
    const auto& order = state.sorted_order(feature);
    auto& checkpoints = state.checkpoints[feature];
    Stats5 sums = sums_before<Single>(strategy, state, feature, start, first);
    for (std::size_t q = first; q < end;) {
        const std::size_t next = std::min(end, (q / checkpoint_spacing + 1) * checkpoint_spacing);
        accumulate<Single>(strategy, state, order, q, next, sums);
        if (next % checkpoint_spacing == 0) {
            checkpoints[next / checkpoint_spacing - 1] = sums;
        }
        q = next;
    }
    state.interval_stats[feature][k] = {sums, end - start};
}

template <bool Single>
SplitCandidate candidate_from(const RefinementStrategy& strategy, const GridTensorState& state, std::size_t feature,
                              std::size_t k, const Stats5& left) {
    return cut_candidate(strategy, state.interval_stats[feature][k].sums, left, Single);
}

template <bool Single>
SplitCandidate candidate_at(const RefinementStrategy& strategy, const GridTensorState& state, std::size_t feature,
                            std::size_t position) {
    if (state.cut_excluded(feature, position)) {
        return not_a_candidate;
    }
    const std::size_t k = state.interval_containing(feature, position);
    const std::size_t start = state.interval_start(feature, k);
    if (position == start || position + 1 == state.interval_end(feature, k)) {
        return untouched_entry;
    }
    const Stats5 left = sums_before<Single>(strategy, state, feature, start, position);
    return candidate_from<Single>(strategy, state, feature, k, left);
}

// Calls visit(position, candidate) for the given ascending positions of
// `feature` that may be cut, keeping one running sum per interval and
// resuming from a checkpoint when the next position lies far ahead.
template <bool Single, class Positions, class Visit>
void walk_candidates(const RefinementStrategy& strategy, const GridTensorState& state, std::size_t feature,
                     const Positions& positions, const Visit& visit) {
    const auto& order = state.sorted_order(feature);
    std::size_t k = 0;
    std::size_t start = 0;
    std::size_t end = 0;  // no interval yet
    std::size_t next = 0;
    Stats5 sums;  // over [start, next)
    const bool ends_excluded = state.n_samples >= 2;
    positions([&](std::size_t q) {
        if (state.position_marked(feature, q)) {
            return;
        }
        if (q >= end) {
            k = state.interval_containing(feature, q);
            start = state.interval_start(feature, k);
            end = state.interval_end(feature, k);
            next = start;
            sums = Stats5{};
        }
        if (ends_excluded && (q == start || q + 1 == end)) {
            return;
        }
        if (q - next > checkpoint_spacing) {
            sums = sums_before<Single>(strategy, state, feature, start, q);
        } else {
            accumulate<Single>(strategy, state, order, next, q, sums);
        }
        next = q;
        if (q == start || q + 1 == end) {  // the position of a single sample
            visit(q, untouched_entry);
        } else {
            visit(q, candidate_from<Single>(strategy, state, feature, k, sums));
        }
    });
}

// Marks every position of interval k of `feature` whose gain is NaN.
template <bool Single>
void mark_nan_gains(const RefinementStrategy& strategy, GridTensorState& state, std::size_t feature, std::size_t k) {
    const std::size_t start = state.interval_start(feature, k);
    const std::size_t end = state.interval_end(feature, k);
    auto& marks = state.nan_gain[feature];
    walk_candidates<Single>(
        strategy, state, feature,
        [&](const auto& each) {
            for (std::size_t q = start + 1; q + 1 < end; ++q) {
                each(q);
            }
        },
        [&](std::size_t q, const SplitCandidate& candidate) {
            if (std::isnan(candidate.gain)) {
                marks[q] = 1;
            }
        });
}

bool bounded_constants(const RefinementStrategy& strategy) {
    return std::abs(strategy.alpha) <= max_bounded_constant && std::abs(strategy.tilt_tau) <= max_bounded_constant &&
           std::abs(strategy.tilt_rho) <= max_bounded_constant;
}

template <bool Single>
void refresh_feature(const RefinementStrategy& strategy, GridTensorState& state, std::size_t feature,
                     const std::vector<ChangedInterval>& changed) {
    for (const ChangedInterval& interval : changed) {
        resum_interval<Single>(strategy, state, feature, interval.interval, interval.first_position);
    }
    const std::size_t cuts = state.split_positions[feature].size();
    if (state.resplit_score[feature].size() < cuts) {
        state.resplit_score[feature].resize(cuts, nan_value);
        state.resplit_left_update[feature].resize(cuts, nan_pair);
        state.resplit_right_update[feature].resize(cuts, nan_pair);
        state.resplit_side_gains[feature].resize(cuts, nan_pair);
    }
    // The cuts on both sides of each changed interval, each once.
    std::size_t next_cut = 0;
    for (const ChangedInterval& interval : changed) {
        const std::size_t first = std::max(next_cut, interval.interval == 0 ? 0 : interval.interval - 1);
        for (std::size_t cut = first; cut <= interval.interval && cut < cuts; ++cut) {
            compute_resplit_values(strategy, state, feature, cut, Single);
        }
        next_cut = std::max(next_cut, interval.interval + 1);
    }
    if (state.guard_nan_gains) {
        for (const ChangedInterval& interval : changed) {
            mark_nan_gains<Single>(strategy, state, feature, interval.interval);
        }
    }
}

template <bool Single>
void refresh_all(const RefinementStrategy& strategy, GridTensorState& state,
                 const std::vector<std::vector<ChangedInterval>>& changed) {
    for (std::size_t k = 0; k < state.n_features; ++k) {
        refresh_feature<Single>(strategy, state, k, changed[k]);
    }
}

bool all_targets_non_negative(const GridTensorState& state) {
    for (std::size_t i = 0; i < state.n_samples; ++i) {
        if (!(state.y[i] >= 0.0)) {
            return false;
        }
    }
    return true;
}

void initialize_coefficients(const RefinementStrategy& strategy, GridTensorState& state) {
    if (all_targets_non_negative(state)) {
        state.lambda_plus = 1.0;
        state.lambda_minus = 0.0;
        for (auto& tilts : state.tilt) {
            std::fill(tilts.begin(), tilts.end(), 0.0);
        }
        return;
    }
    double positive = 0.0;
    double negative = 0.0;
    double weights = 0.0;
    for (std::size_t i = 0; i < state.n_samples; ++i) {
        const double target = state.y[i];
        const double weight = sample_weight(strategy, target);
        weights += weight;
        if (target > 0.0) {
            positive += weight * target;
        } else if (target < 0.0) {
            negative += weight * std::abs(target);
        }
    }
    const double denominator = std::max(weights, coefficient_floor);
    state.lambda_plus = std::max(coefficient_floor, positive / denominator);
    state.lambda_minus = std::max(coefficient_floor, negative / denominator);
}

// Returns whether every sample has bounded statistics.
bool initialize_samples(GridTensorState& state) {
    bool bounded = true;
    for (std::size_t i = 0; i < state.n_samples; ++i) {
        SampleRecord& sample = state.samples[i];
        sample.f_plus = state.lambda_plus;
        sample.f_minus = state.lambda_minus;
        sample.residual = sample.target - (sample.f_plus - sample.f_minus);
        bounded = bounded && has_bounded_statistics(sample);
    }
    return bounded;
}

void use_or_sort_features(GridTensorState& state) {
    if (!state.sorted) {
        state.sorted = sort_features(state.x);
        return;
    }
    if (state.sorted->size() != state.n_features) {
        throw InternalError(fmt::format("sorted orders cover {} features but x has {}", state.sorted->size(),
                                        state.n_features));
    }
    for (std::size_t j = 0; j < state.n_features; ++j) {
        const auto& order = (*state.sorted)[j];
        if (order.sorted_order.size() != state.n_samples || order.sample_rank.size() != state.n_samples ||
            order.tie.size() != state.n_samples) {
            throw InternalError(fmt::format("sorted order of feature {} covers {} samples but x has {}", j,
                                            order.sorted_order.size(), state.n_samples));
        }
    }
}

// One interval over the whole feature: its checkpoints and total.
void initialize_feature(const RefinementStrategy& strategy, GridTensorState& state, std::size_t feature,
                        bool single_mode) {
    state.checkpoints[feature].assign(state.n_samples / checkpoint_spacing, Stats5{});
    state.interval_stats[feature] = {IntervalStats{}};
    if (single_mode) {
        resum_interval<true>(strategy, state, feature, 0, 0);
    } else {
        resum_interval<false>(strategy, state, feature, 0, 0);
    }
}

}  // namespace

RefinementStrategy make_refinement_strategy(const RefinementStrategyParams& params) {
    return {params.kind, params.alpha, params.tilt_tau, params.tilt_rho, params.prior_sample_size,
            params.update_clamp};
}

double clamp_change(double x) { return std::clamp(1.0 + x, min_multiplier, max_multiplier) - 1.0; }

SingleFactorUpdate single_factor_update(double a, double b, double alpha) {
    const double x = alpha + a > 0.0 ? clamp_change(b / (alpha + a)) : 0.0;
    return {x, 2.0 * x * b - a * x * x};
}

PairedUpdate paired_update(double a, double b, double c, double d, double e, const RefinementStrategy& strategy) {
    const double alpha = strategy.alpha;
    const double tau = strategy.tilt_tau;
    const double rho = strategy.tilt_rho;
    const double m11 = a + alpha + tau;
    const double m22 = b + alpha + tau;
    const double m12 = c - tau;
    const PairedSystem system{m11, m22, m12, m11 * m22 - m12 * m12};
    const Solution raw = unclamped_paired_solution(system, d, e, rho);
    const double x = clamp_change(raw.x);
    const double y = clamp_change(raw.y);
    const double gain =
        2.0 * (d * x + e * y) - (m11 * x * x + 2.0 * m12 * x * y + m22 * y * y) - rho * std::abs(x - y);
    return {x, y, gain};
}

bool single_component_mode(const GridTensorState& state) {
    if (!(state.lambda_minus <= mode_threshold)) {
        return false;
    }
    for (const auto& tilts : state.tilt) {
        for (const double t : tilts) {
            if (!(std::abs(t) < mode_threshold)) {
                return false;
            }
        }
    }
    return true;
}

PairedUpdate side_update(const RefinementStrategy& strategy, const Stats5& sums, bool single_mode) {
    if (single_mode) {
        const SingleFactorUpdate update = single_factor_update(sums.pp, sums.rp, strategy.alpha);
        return {update.x, 0.0, update.gain};
    }
    return paired_update(sums.pp, sums.mm, -sums.pm, sums.rp, -sums.rm, strategy);
}

void start_guarding_nan_gains(GridTensorState& state) {
    state.guard_nan_gains = true;
    // A binned state marks boundaries in its bin sums.
    if (!state.binned && state.nan_gain.empty()) {
        state.nan_gain.assign(state.n_features, std::vector<std::uint8_t>(state.n_samples, 0));
    }
}

SplitCandidate split_candidate(const RefinementStrategy& strategy, const GridTensorState& state, std::size_t feature,
                               std::size_t position, bool single_mode) {
    require(feature < state.n_features && position < state.n_samples,
            "split_candidate: feature or position outside the state");
    if (state.binned) {
        return binned_split_candidate(strategy, state, feature, position, single_mode);
    }
    return single_mode ? candidate_at<true>(strategy, state, feature, position)
                       : candidate_at<false>(strategy, state, feature, position);
}

StateCandidates::StateCandidates(const RefinementStrategy& strategy, const GridTensorState& state)
    : strategy_(strategy), state_(state), single_mode_(single_component_mode(state)) {}

bool StateCandidates::may_cut(std::size_t feature, std::size_t position) const {
    return !state_.cut_excluded(feature, position);
}

SplitCandidate StateCandidates::at(std::size_t feature, std::size_t position) const {
    return split_candidate(strategy_, state_, feature, position, single_mode_);
}

std::vector<CandidateRun> StateCandidates::cuttable_runs(std::size_t feature, std::size_t n) const {
    require(n == state_.n_samples, "cuttable_runs: n differs from the state's number of samples");
    if (state_.binned) {
        return binned_cuttable_runs(state_, feature);
    }
    std::vector<CandidateRun> runs;
    const bool ends_excluded = n >= 2;
    for (std::size_t k = 0; k < state_.interval_count(feature); ++k) {
        const std::size_t start = state_.interval_start(feature, k);
        const std::size_t end = state_.interval_end(feature, k);
        for (std::size_t q = start; q < end; ++q) {
            // Interval ends are never cut, so runs never continue across intervals.
            if (!state_.position_marked(feature, q) && !(ends_excluded && (q == start || q + 1 == end))) {
                append_to_runs(runs, q);
            }
        }
    }
    return runs;
}

void StateCandidates::for_each_in_runs(std::size_t feature, const std::vector<CandidateRun>& runs,
                                       const Visitor& visit) const {
    if (state_.binned) {
        // Runs of boundaries are short: each candidate from the bin sums.
        SplitCandidates::for_each_in_runs(feature, runs, visit);
        return;
    }
    // The walk visits a position while `each` runs for it, so `run` still
    // names the run that holds it.
    std::size_t run = 0;
    const auto positions = [&runs, &run](const auto& each) {
        for (run = 0; run < runs.size(); ++run) {
            for (std::size_t q = runs[run].start; q < runs[run].start + runs[run].length; ++q) {
                each(q);
            }
        }
    };
    const auto forward = [&visit, &run](std::size_t q, const SplitCandidate& candidate) { visit(q, run, candidate); };
    if (single_mode_) {
        walk_candidates<true>(strategy_, state_, feature, positions, forward);
    } else {
        walk_candidates<false>(strategy_, state_, feature, positions, forward);
    }
}

void compute_resplit_values(const RefinementStrategy& strategy, GridTensorState& state, std::size_t feature,
                            std::size_t cut, bool single_mode) {
    const auto& intervals = state.interval_stats[feature];
    const PairedUpdate left = side_update(strategy, intervals[cut].sums, single_mode);
    const PairedUpdate right = side_update(strategy, intervals[cut + 1].sums, single_mode);
    state.resplit_left_update[feature][cut] = {left.x, left.y};
    state.resplit_right_update[feature][cut] = {right.x, right.y};
    state.resplit_score[feature][cut] = left.gain + right.gain;
    state.resplit_side_gains[feature][cut] = {left.gain, right.gain};
}

void initialize_refinement(const RefinementStrategy& strategy, GridTensorState& state) {
    if (state.binned) {
        initialize_coefficients(strategy, state);
        if (!initialize_samples(state) || !bounded_constants(strategy)) {
            start_guarding_nan_gains(state);
        }
        state.bin_sums.lanes = best_bin_lanes();
        initialize_bin_sums(strategy, state);
        state.stats_ready = true;
        return;
    }
    use_or_sort_features(state);
    initialize_coefficients(strategy, state);
    const bool single_mode = single_component_mode(state);
    const bool bounded = initialize_samples(state);
    for (std::size_t j = 0; j < state.n_features; ++j) {
        throw_if_cancelled();  // each feature costs a pass over every sample
        initialize_feature(strategy, state, j, single_mode);
    }
    if (!bounded || !bounded_constants(strategy)) {
        start_guarding_nan_gains(state);
        for (std::size_t j = 0; j < state.n_features; ++j) {
            if (single_mode) {
                mark_nan_gains<true>(strategy, state, j, 0);
            } else {
                mark_nan_gains<false>(strategy, state, j, 0);
            }
        }
    }
    state.stats_ready = true;
}

void refine_after_move(const RefinementStrategy& strategy, GridTensorState& state, std::size_t feature,
                       std::size_t start, std::size_t end) {
    const auto changed = changed_intervals(state, feature, start, end);
    if (single_component_mode(state)) {
        refresh_all<true>(strategy, state, changed);
    } else {
        refresh_all<false>(strategy, state, changed);
    }
}

}  // namespace zun
