#pragma once
// The grid tensors of one stage, each with its own cuts, become one grid
// tensor in two steps: every tensor is re-expressed on the union of all their
// split points without changing what it computes, and a selection of these
// aligned tensors is merged by geometric means of their component factors.
#include <cstdint>
#include <vector>

#include "grid_tensor.hpp"

namespace zun {

// Per feature, per union interval: the training rows that fall into it.
using IntervalCounts = std::vector<std::vector<std::uint64_t>>;

// Split points closer than this to the last kept one collapse onto it.
inline constexpr double union_split_tolerance = 1e-12;
// Factors and values are floored here before a logarithm.
inline constexpr double log_floor = 1e-10;
// ln(1e10): logarithms are limited to +-this, so no step yields an infinity.
inline constexpr double log_limit = 23.025850929940457;
// Tilts beyond this would overflow exp; they enter the factors capped.
inline constexpr double tilt_exponent_cap = 50.0;

// ln(max(value, 1e-10)) limited to [-log_limit, log_limit].
double clamped_log(double value);

// Sorted points with every close cluster represented by its smallest member.
// Throws FitError on a NaN point, which has no place in the order.
std::vector<double> union_splits(std::vector<double> points);

// (-inf, u_0), (u_0, u_1), ..., (u_{m-1}, +inf); (-inf, +inf) alone for none.
std::vector<Interval> union_intervals(const std::vector<double>& splits);

// Every input on the union grid of all inputs (features counted from the
// first input), same order; each union interval takes its parent interval's
// backbone and tilt, or the neutral (1, 0) with a warning when none contains it.
std::vector<GridTensor> combine_grids(const std::vector<GridTensor>& grid_tensors);

// Weighted geometric merge of aligned grid tensors (all on the same union
// grid, one weight per member), identified on the interval counts; the
// coefficients are the weighted geometric means of the members' coefficients.
// Throws FitError "Cannot combine empty candidate grids" for no members and
// "Total weight must be positive" when the weights sum to 0 or less.
GridTensor merge_weighted_grids(const std::vector<GridTensor>& aligned, const std::vector<double>& weights,
                                const IntervalCounts& interval_counts);

// merge_weighted_grids with weight 1 for every member.
GridTensor merge_aligned_grids(const std::vector<GridTensor>& aligned, const IntervalCounts& interval_counts);

// exp(sum w * clamped_log(value) / sum w). Throws FitError "Cannot combine
// empty lambda list" or "Total weight must be positive".
double geometric_mean_of_lambdas(const std::vector<double>& lambdas, const std::vector<double>& weights);

}  // namespace zun
