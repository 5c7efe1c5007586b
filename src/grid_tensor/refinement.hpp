#pragma once
// The sufficient statistics of a grid tensor under fit and, from them, the
// closed-form re-estimates of interval values behind every move: for every
// possible split and resplit the relative change of the f+ factor (x) and of
// the f- factor (y) and the fall of the weighted squared error (the gain).
// The split search only reads these candidates; the reducer applies a move
// and then brings statistics and candidates up to date here.
#include <cstddef>
#include <vector>

#include "grid_tensor/params.hpp"
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
double sample_weight(const RefinementStrategy& strategy, double residual);

// The five products of one sample; the f- terms are 0 in single-component mode.
Stats5 sample_products(double weight, double p, double m, double r, bool single_mode);

// lambda_minus <= 1e-10 and every tilt below 1e-10 in magnitude: only f+
// factors are re-estimated.
bool single_component_mode(const GridTensorState& state);

// The update of one group of samples from its sums: single_factor_update
// (reported with y = 0) in single-component mode, paired_update otherwise.
PairedUpdate side_update(const RefinementStrategy& strategy, const Stats5& sums, bool single_mode);

// Split candidates of interval [start, end) of `feature`: its first and last
// positions become NaN for good, every other candidate position (every bin
// boundary when binned) that is not NaN gets its gain and update pairs.
void compute_split_candidates(const RefinementStrategy& strategy, GridTensorState& state, std::size_t feature,
                              std::size_t start, std::size_t end, bool single_mode);

// Resplit values of cut `cut` of `feature` from the statistics of the two
// intervals beside it.
void compute_resplit_values(const RefinementStrategy& strategy, GridTensorState& state, std::size_t feature,
                            std::size_t cut, bool single_mode);

// Sets the coefficients, per-sample values, statistics, tie marks and the
// split candidates of a fresh state, then stats_ready. Sorts the features
// unless the state was handed their orders.
void initialize_refinement(const RefinementStrategy& strategy, GridTensorState& state);

// After the samples at positions [start, end) of `feature` changed their
// components: refreshes their weights and products and the cumulative sums
// of the intervals that hold them in every region.
void update_statistics(const RefinementStrategy& strategy, GridTensorState& state, std::size_t feature,
                       std::size_t start, std::size_t end, const std::vector<AffectedRegion>& regions);

// Recomputes split candidates, interval statistics and resplit values of the
// intervals that reach into each region.
void refresh_candidates(const RefinementStrategy& strategy, GridTensorState& state,
                        const std::vector<AffectedRegion>& regions);

void refine_after_move(const RefinementStrategy& strategy, GridTensorState& state, std::size_t feature,
                       std::size_t start, std::size_t end, const std::vector<AffectedRegion>& regions);

}  // namespace zun
