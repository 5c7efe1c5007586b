#pragma once
// The sufficient statistics of a grid tensor under fit and, from them, the
// closed-form re-estimates of interval values behind every move: for any
// possible split and resplit the relative change of the f+ factor (x) and of
// the f- factor (y) and the fall of the weighted squared error (the gain).
// Resplit values are kept for every cut; split candidates are evaluated when
// the split search asks for them. The reducer applies a move and then brings
// the statistics up to date here.
#include <cmath>
#include <cstddef>
#include <vector>

#include "grid_tensor/params.hpp"
#include "grid_tensor/split_candidates.hpp"
#include "grid_tensor/state.hpp"

namespace zun {

// Residual magnitude above which a Huber weight falls below 1.
inline constexpr double huber_threshold = 1.345;
// Every relative change is applied as a multiplier 1 + x clamped to this range.
inline constexpr double min_multiplier = 0.05;
inline constexpr double max_multiplier = 20.0;

struct RefinementStrategy {
    RefinementKind kind = RefinementKind::L2;
    double alpha = 0.0;
    double tilt_tau = 0.01;
    double tilt_rho = 0.0;
    // Carried with the strategy; no computation reads them.
    double prior_sample_size = 0.0;
    double update_clamp = 0.0;
};

RefinementStrategy make_refinement_strategy(const RefinementStrategyParams& params);

struct SingleFactorUpdate {
    double x = 0.0;
    double gain = 0.0;
};

struct PairedUpdate {
    double x = 0.0;
    double y = 0.0;
    double gain = 0.0;
};

// clamp(1 + x, 0.05, 20) - 1.
double clamp_change(double x);

// Single-component closed form: a = sum of PP, b = sum of RP.
SingleFactorUpdate single_factor_update(double a, double b, double alpha);

// Maximises 2(d x + e y) - [(a+alpha+tau) x^2 + 2(c-tau) x y + (b+alpha+tau) y^2]
// - rho |x - y| over the relative changes (x, y) of the f+ and f- factors;
// degenerate or badly conditioned systems give the zero change.
PairedUpdate paired_update(double a, double b, double c, double d, double e, const RefinementStrategy& strategy);

// 1 for L2; for Huber min(1, 1.345 / |residual|).
inline double sample_weight(const RefinementStrategy& strategy, double residual) {
    if (strategy.kind == RefinementKind::L2) {
        return 1.0;
    }
    const double magnitude = std::abs(residual);
    return magnitude <= huber_threshold ? 1.0 : huber_threshold / magnitude;
}

// The five products of one sample; the f- terms are 0 in single-component mode.
inline Stats5 sample_products(double weight, double p, double m, double r, bool single_mode) {
    if (single_mode) {
        return {weight * p * p, 0.0, 0.0, weight * r * p, 0.0};
    }
    return {weight * p * p, weight * m * m, weight * p * m, weight * r * p, weight * r * m};
}

// A sample's products with the weight of its current residual: a weight is
// refreshed exactly when the sample moves, which is when its residual changes.
inline Stats5 sample_products(const RefinementStrategy& strategy, const SampleRecord& sample, bool single_mode) {
    return sample_products(sample_weight(strategy, sample.residual), sample.f_plus, sample.f_minus, sample.residual,
                           single_mode);
}

// Whether the sample's statistics, and any sum of them, stay far from the end
// of the float range: components and residual at most 1e100 in magnitude.
// While every sample and the strategy's constants are bounded, every gain is
// finite.
inline bool has_bounded_statistics(const SampleRecord& sample) {
    constexpr double bound = 1e100;
    return std::abs(sample.f_plus) <= bound && std::abs(sample.f_minus) <= bound && std::abs(sample.residual) <= bound;
}

// From now on every candidate of a changed interval is evaluated after each
// move and a NaN gain marks its position for good (see guard_nan_gains).
void start_guarding_nan_gains(GridTensorState& state);

// lambda_minus <= 1e-10 and every tilt below 1e-10 in magnitude: only f+
// factors are re-estimated.
bool single_component_mode(const GridTensorState& state);

// The update of one group of samples from its sums: single_factor_update
// (reported with y = 0) in single-component mode, paired_update otherwise.
PairedUpdate side_update(const RefinementStrategy& strategy, const Stats5& sums, bool single_mode);

// The candidate of a cut of an interval whose samples sum to `interval`,
// with `left` the sums of the samples left of the cut: each side solved on
// its own, the gain their sum.
inline SplitCandidate cut_candidate(const RefinementStrategy& strategy, const Stats5& interval, const Stats5& left,
                                    bool single_mode) {
    const PairedUpdate l = side_update(strategy, left, single_mode);
    const PairedUpdate r = side_update(strategy, interval - left, single_mode);
    return {{l.x, l.y}, {r.x, r.y}, l.gain + r.gain};
}

// The candidate of a cut at `position` of `feature`: each side solved on its
// own from the sums over [interval start, position) and the rest of the
// interval. NaN gain when the position can never be cut.
SplitCandidate split_candidate(const RefinementStrategy& strategy, const GridTensorState& state, std::size_t feature,
                               std::size_t position, bool single_mode);

// The split candidates of a state, evaluated from its statistics on demand.
// Valid while the state does not change.
class StateCandidates final : public SplitCandidates {
public:
    StateCandidates(const RefinementStrategy& strategy, const GridTensorState& state);

    bool may_cut(std::size_t feature, std::size_t position) const override;
    SplitCandidate at(std::size_t feature, std::size_t position) const override;
    // One scan of the feature's marks, interval by interval.
    std::vector<CandidateRun> cuttable_runs(std::size_t feature, std::size_t n) const override;
    // One pass along the feature's order, resuming from checkpoints across
    // gaps between runs.
    void for_each_in_runs(std::size_t feature, const std::vector<CandidateRun>& runs,
                          const Visitor& visit) const override;

private:
    const RefinementStrategy& strategy_;
    const GridTensorState& state_;
    bool single_mode_;
};

// Resplit values of cut `cut` of `feature` from the statistics of the two
// intervals beside it.
void compute_resplit_values(const RefinementStrategy& strategy, GridTensorState& state, std::size_t feature,
                            std::size_t cut, bool single_mode);

// Sets the coefficients, the sample records, the checkpoints (the bin sums
// when binned) and interval statistics of a fresh state, then stats_ready.
// An exact state sorts the features unless it was handed their orders.
void initialize_refinement(const RefinementStrategy& strategy, GridTensorState& state);

// Exact fits: after a move changed the samples at positions [start, end) of
// `feature` (their components, residuals and weights already updated):
// re-sums every interval of every feature that holds such a sample, from the
// first of them on, with its checkpoints and total, and recomputes the
// resplit values of the cuts beside those intervals.
void refine_after_move(const RefinementStrategy& strategy, GridTensorState& state, std::size_t feature,
                       std::size_t start, std::size_t end);

}  // namespace zun
