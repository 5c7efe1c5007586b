#include "grid_tensor/refinement.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "error.hpp"

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

void mark_not_candidate(GridTensorState& state, std::size_t feature, std::size_t position) {
    state.split_gain[feature][position] = nan_value;
    state.left_update[feature][position] = nan_pair;
    state.right_update[feature][position] = nan_pair;
    state.side_gains[feature][position] = nan_pair;
}

void store_candidate(const RefinementStrategy& strategy, GridTensorState& state, std::size_t feature,
                     std::size_t position, const Stats5& left, const Stats5& right, bool single_mode) {
    const PairedUpdate l = side_update(strategy, left, single_mode);
    const PairedUpdate r = side_update(strategy, right, single_mode);
    state.split_gain[feature][position] = l.gain + r.gain;
    state.left_update[feature][position] = {l.x, l.y};
    state.right_update[feature][position] = {r.x, r.y};
    state.side_gains[feature][position] = {l.gain, r.gain};
}

void unbinned_candidates(const RefinementStrategy& strategy, GridTensorState& state, std::size_t feature,
                         std::size_t start, std::size_t end, bool single_mode) {
    const auto& prefix = state.prefix_stats[feature];
    const auto& gain = state.split_gain[feature];
    const Stats5 total = prefix[end - 1];
    for (std::size_t q = start + 1; q + 2 <= end; ++q) {
        if (std::isnan(gain[q])) {
            continue;
        }
        const Stats5& left = prefix[q - 1];
        store_candidate(strategy, state, feature, q, left, total - left, single_mode);
    }
}

void binned_candidates(const RefinementStrategy& strategy, GridTensorState& state, std::size_t feature,
                       std::size_t start, std::size_t end, bool single_mode) {
    const auto& bounds = state.bin_boundaries[feature];
    const auto& bins = state.bin_prefix_stats[feature];
    const auto& gain = state.split_gain[feature];
    const Stats5 total = bins[state.bin_containing(feature, end - 1)];
    // Bin l ends at boundary l, so the sums left of a cut there are bins[l].
    std::size_t l = static_cast<std::size_t>(std::upper_bound(bounds.begin(), bounds.end(), start) - bounds.begin());
    for (; l < bounds.size() && bounds[l] + 1 < end; ++l) {
        const std::size_t q = bounds[l];
        if (std::isnan(gain[q])) {
            continue;
        }
        store_candidate(strategy, state, feature, q, bins[l], total - bins[l], single_mode);
    }
}

// Interval-local running sums of the sample statistics over intervals
// first .. last of an unbinned feature.
void rebuild_prefix(GridTensorState& state, std::size_t feature, std::size_t first, std::size_t last) {
    const auto& order = state.sorted_order(feature);
    auto& prefix = state.prefix_stats[feature];
    for (std::size_t k = first; k <= last; ++k) {
        Stats5 running;
        const std::size_t end = state.interval_end(feature, k);
        for (std::size_t q = state.interval_start(feature, k); q < end; ++q) {
            running += state.sample_stats[order[q]];
            prefix[q] = running;
        }
    }
}

// The same for the bins of a binned feature; intervals are unions of bins.
void rebuild_bins(GridTensorState& state, std::size_t feature, std::size_t first, std::size_t last) {
    const auto& order = state.sorted_order(feature);
    auto& bins = state.bin_prefix_stats[feature];
    for (std::size_t k = first; k <= last; ++k) {
        Stats5 running;
        const std::size_t start = state.interval_start(feature, k);
        const std::size_t end = state.interval_end(feature, k);
        std::size_t bin = state.bin_containing(feature, start);
        std::size_t bin_end = state.bin_end(feature, bin);
        for (std::size_t q = start; q < end; ++q) {
            running += state.sample_stats[order[q]];
            if (q + 1 == bin_end) {
                bins[bin] = running;
                ++bin;
                bin_end = state.bin_end(feature, bin);
            }
        }
    }
}

Stats5 interval_sums(const GridTensorState& state, std::size_t feature, std::size_t end) {
    if (state.is_binned(feature)) {
        return state.bin_prefix_stats[feature][state.bin_containing(feature, end - 1)];
    }
    return state.prefix_stats[feature][end - 1];
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

void initialize_samples(const RefinementStrategy& strategy, GridTensorState& state, bool single_mode) {
    state.sample_stats.resize(state.n_samples);
    for (std::size_t i = 0; i < state.n_samples; ++i) {
        state.f_plus[i] = state.lambda_plus;
        state.f_minus[i] = state.lambda_minus;
        state.raw_difference[i] = state.f_plus[i] - state.f_minus[i];
        state.prediction[i] = state.raw_difference[i];
        state.residual[i] = state.y[i] - state.prediction[i];
        state.residual_snapshot[i] = state.residual[i];
        const double weight = sample_weight(strategy, state.residual_snapshot[i]);
        state.sample_stats[i] =
            sample_products(weight, state.f_plus[i], state.f_minus[i], state.residual_snapshot[i], single_mode);
    }
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

void initialize_feature(GridTensorState& state, std::size_t feature) {
    const std::size_t n = state.n_samples;
    state.prefix_stats[feature].assign(n, Stats5{});
    state.split_gain[feature].assign(n, 0.0);
    state.left_update[feature].assign(n, nan_pair);
    state.right_update[feature].assign(n, nan_pair);
    state.side_gains[feature].assign(n, nan_pair);
    if (n == 0) {
        state.interval_stats[feature] = {IntervalStats{}};
        return;
    }
    rebuild_prefix(state, feature, 0, 0);
    state.interval_stats[feature] = {IntervalStats{state.prefix_stats[feature][n - 1], n}};
    const auto& ties = (*state.sorted)[feature].tie;
    for (std::size_t q = 1; q < n; ++q) {
        if (ties[q] != 0) {
            mark_not_candidate(state, feature, q);
        }
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

double sample_weight(const RefinementStrategy& strategy, double residual) {
    if (strategy.kind == RefinementKind::L2) {
        return 1.0;
    }
    const double magnitude = std::abs(residual);
    return magnitude <= huber_threshold ? 1.0 : huber_threshold / magnitude;
}

Stats5 sample_products(double weight, double p, double m, double r, bool single_mode) {
    if (single_mode) {
        return {weight * p * p, 0.0, 0.0, weight * r * p, 0.0};
    }
    return {weight * p * p, weight * m * m, weight * p * m, weight * r * p, weight * r * m};
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

void compute_split_candidates(const RefinementStrategy& strategy, GridTensorState& state, std::size_t feature,
                              std::size_t start, std::size_t end, bool single_mode) {
    if (end < start + 2) {
        return;
    }
    mark_not_candidate(state, feature, start);
    if (state.is_binned(feature)) {
        binned_candidates(strategy, state, feature, start, end, single_mode);
    } else {
        unbinned_candidates(strategy, state, feature, start, end, single_mode);
    }
    // A split keeps at least one sample left and two right of it.
    mark_not_candidate(state, feature, end - 1);
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
    use_or_sort_features(state);
    initialize_coefficients(strategy, state);
    const bool single_mode = single_component_mode(state);
    initialize_samples(strategy, state, single_mode);
    for (std::size_t j = 0; j < state.n_features; ++j) {
        initialize_feature(state, j);
        compute_split_candidates(strategy, state, j, 0, state.n_samples, single_mode);
    }
    state.stats_ready = true;
}

void update_statistics(const RefinementStrategy& strategy, GridTensorState& state, std::size_t feature,
                       std::size_t start, std::size_t end, const std::vector<AffectedRegion>& regions) {
    require(feature < state.n_features && start <= end && end <= state.n_samples,
            "update_statistics: feature or position range outside the state");
    const bool single_mode = single_component_mode(state);
    const auto& order = state.sorted_order(feature);
    for (std::size_t q = start; q < end; ++q) {
        const std::size_t i = order[q];
        const double r = state.residual_snapshot[i];
        state.sample_stats[i] = sample_products(sample_weight(strategy, r), state.f_plus[i], state.f_minus[i], r,
                                                single_mode);
    }
    if (start == end) {
        return;
    }
    for (const AffectedRegion& region : regions) {
        const std::size_t k = region.feature;
        const std::size_t first = state.interval_containing(k, region.first_position);
        const std::size_t last = state.interval_containing(k, region.last_position);
        // Summed afresh over the touched intervals rather than shifted by
        // differences: the sums then carry no rounding history, which the
        // badly conditioned paired updates would amplify.
        if (state.is_binned(k)) {
            rebuild_bins(state, k, first, last);
        } else {
            rebuild_prefix(state, k, first, last);
        }
    }
}

void refresh_candidates(const RefinementStrategy& strategy, GridTensorState& state,
                        const std::vector<AffectedRegion>& regions) {
    const bool single_mode = single_component_mode(state);
    for (const AffectedRegion& region : regions) {
        const std::size_t k = region.feature;
        const std::size_t first = state.interval_containing(k, region.first_position);
        const std::size_t last = state.interval_containing(k, region.last_position);
        for (std::size_t interval = first; interval <= last; ++interval) {
            compute_split_candidates(strategy, state, k, state.interval_start(k, interval),
                                     state.interval_end(k, interval), single_mode);
        }
        const std::size_t cuts = state.split_positions[k].size();
        const std::size_t rebuilt_last = std::min(last + 1, cuts);
        for (std::size_t interval = first; interval <= rebuilt_last; ++interval) {
            const std::size_t begin = state.interval_start(k, interval);
            const std::size_t end = state.interval_end(k, interval);
            state.interval_stats[k][interval] = {interval_sums(state, k, end), end - begin};
        }
        if (state.resplit_score[k].size() < cuts) {
            state.resplit_score[k].resize(cuts, nan_value);
            state.resplit_left_update[k].resize(cuts, nan_pair);
            state.resplit_right_update[k].resize(cuts, nan_pair);
            state.resplit_side_gains[k].resize(cuts, nan_pair);
        }
        if (cuts == 0) {
            continue;
        }
        for (std::size_t cut = first == 0 ? 0 : first - 1; cut <= std::min(last, cuts - 1); ++cut) {
            compute_resplit_values(strategy, state, k, cut, single_mode);
        }
    }
}

void refine_after_move(const RefinementStrategy& strategy, GridTensorState& state, std::size_t feature,
                       std::size_t start, std::size_t end, const std::vector<AffectedRegion>& regions) {
    update_statistics(strategy, state, feature, start, end, regions);
    refresh_candidates(strategy, state, regions);
}

}  // namespace zun
