#pragma once
// The working record of one grid tensor fit: the growing model, the
// per-sample component values and residuals, and the statistics from which
// every candidate move's closed-form update and gain is kept current.
//
// Samples of a feature are addressed by sorted position (the position of a
// sample in the stable ascending order of that feature); a cut at position p
// puts positions 0 .. p-1 on its left. NaN gains mark positions that may not
// be cut.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "matrix_view.hpp"

namespace zun {

// The five weighted sums a closed-form update needs:
// PP = w p^2, MM = w m^2, PM = w p m, RP = w r p, RM = w r m.
struct Stats5 {
    double pp = 0.0;
    double mm = 0.0;
    double pm = 0.0;
    double rp = 0.0;
    double rm = 0.0;

    Stats5& operator+=(const Stats5& other) {
        pp += other.pp;
        mm += other.mm;
        pm += other.pm;
        rp += other.rp;
        rm += other.rm;
        return *this;
    }
    bool operator==(const Stats5&) const = default;
};

inline Stats5 operator+(Stats5 left, const Stats5& right) { return left += right; }

inline Stats5 operator-(const Stats5& left, const Stats5& right) {
    return {left.pp - right.pp, left.mm - right.mm, left.pm - right.pm, left.rp - right.rp, left.rm - right.rm};
}

struct IntervalStats {
    Stats5 sums;
    std::uint64_t count = 0;
    bool operator==(const IntervalStats&) const = default;
};

// Relative changes (x of the f+ factor, y of the f- factor), or a pair of
// side gains (left, right).
struct UpdatePair {
    double x = 0.0;
    double y = 0.0;
    bool operator==(const UpdatePair&) const = default;
};

// A run of consecutive sorted positions that may still be cut.
struct CandidateRun {
    std::size_t start = 0;
    std::size_t length = 0;
    bool operator==(const CandidateRun&) const = default;
};

// Neighbouring sorted values closer than this count as ties: a cut between
// them would separate equal values.
inline constexpr double tie_distance = 2.220446049250313e-16;

// Stable ascending order of one feature, its inverse and its ties. Depends
// only on x, so one instance can be shared read-only by every fit on the same
// matrix.
struct FeatureOrder {
    std::vector<std::size_t> sorted_order;  // position -> sample
    std::vector<std::size_t> sample_rank;   // sample -> position
    // Per position: 1 when the value lies within tie_distance of the value at
    // the position before (never at position 0).
    std::vector<std::uint8_t> tie;
};

using SortedFeatures = std::vector<FeatureOrder>;

// Sorts every column of x once (stable: equal values keep ascending sample
// index) and marks its ties.
// Throws InternalError naming the column when it holds NaN, which has no place
// in an ascending order.
std::shared_ptr<const SortedFeatures> sort_features(const MatrixView& x);

// Positions whose samples a move touched, per feature (see affected_regions).
struct AffectedRegion {
    std::size_t first_position = 0;
    std::size_t last_position = 0;
    std::size_t first_run = 1;  // (1, 0) when no candidate run overlaps
    std::size_t last_run = 0;
    std::size_t feature = 0;
    bool operator==(const AffectedRegion&) const = default;
};

struct GridTensorState {
    // x and y are borrowed for the whole fit. `sorted` may be handed in
    // (computed once for many fits on the same x); when absent the
    // refinement's initialisation sorts each feature itself.
    GridTensorState(const MatrixView& x, const VectorView& y,
                    std::shared_ptr<const SortedFeatures> sorted = nullptr);

    // Inputs.
    MatrixView x;
    VectorView y;
    std::size_t n_samples;
    std::size_t n_features;

    // Model under construction.
    std::vector<std::vector<double>> backbone;
    std::vector<std::vector<double>> tilt;
    std::vector<std::vector<std::size_t>> split_positions;
    std::vector<std::vector<std::size_t>> sample_interval;  // per feature, indexed by sample
    double lambda_plus = 1e-10;
    double lambda_minus = 1e-10;
    double scaling = 1.0;

    // Per-sample values.
    std::vector<double> f_plus;
    std::vector<double> f_minus;
    std::vector<double> raw_difference;
    std::vector<double> prediction;
    std::vector<double> residual;
    std::vector<double> residual_snapshot;
    double sse = 0.0;

    // Statistics.
    bool stats_ready = false;
    std::shared_ptr<const SortedFeatures> sorted;
    std::vector<Stats5> sample_stats;  // indexed by sample
    // Per feature and position: the sums from the first position of the
    // position's interval up to the position itself. Keeping them local to
    // the interval lets a move touch only the intervals that hold its samples.
    std::vector<std::vector<Stats5>> prefix_stats;
    std::vector<std::vector<IntervalStats>> interval_stats;
    std::vector<std::vector<double>> split_gain;
    std::vector<std::vector<UpdatePair>> left_update;
    std::vector<std::vector<UpdatePair>> right_update;
    std::vector<std::vector<UpdatePair>> side_gains;
    std::vector<std::vector<double>> resplit_score;
    std::vector<std::vector<UpdatePair>> resplit_left_update;
    std::vector<std::vector<UpdatePair>> resplit_right_update;
    std::vector<std::vector<UpdatePair>> resplit_side_gains;
    // Set by binning only: ascending cut positions bounding the bins, and per
    // bin the sums from its interval's first position to the bin's end.
    std::vector<std::vector<std::size_t>> bin_boundaries;
    std::vector<std::vector<Stats5>> bin_prefix_stats;

    // Split-search bookkeeping.
    std::vector<std::vector<CandidateRun>> candidate_ranges;
    std::vector<std::size_t> candidate_count;

    // Counters.
    std::size_t net_splits = 0;
    std::size_t split_count = 0;
    std::size_t resplit_count = 0;
    std::size_t merge_count = 0;
    std::size_t consecutive_resplits = 0;

    const std::vector<std::size_t>& sorted_order(std::size_t feature) const;
    const std::vector<std::size_t>& sample_rank(std::size_t feature) const;
    // Value of `feature` of the sample at sorted position `position`.
    double value_at(std::size_t feature, std::size_t position) const;
    bool is_binned(std::size_t feature) const { return !bin_boundaries[feature].empty(); }

    std::size_t interval_count(std::size_t feature) const { return split_positions[feature].size() + 1; }
    // Index of the interval holding `position` (cuts at or below it).
    std::size_t interval_containing(std::size_t feature, std::size_t position) const;
    // First position of interval k, and one past its last.
    std::size_t interval_start(std::size_t feature, std::size_t k) const;
    std::size_t interval_end(std::size_t feature, std::size_t k) const;
    // Bin of a binned feature that holds `position` (boundaries at or below it).
    std::size_t bin_containing(std::size_t feature, std::size_t position) const;
    // One past the last position of bin l of a binned feature.
    std::size_t bin_end(std::size_t feature, std::size_t bin) const;
};

// Refreshes sample_interval of `feature` for the samples at positions [start, end).
void recompute_sample_interval(GridTensorState& state, std::size_t feature, std::size_t start, std::size_t end);

// After a move changed the samples at positions [start, end) of `feature`:
// per feature (that one first, then the others in column order) the range of
// positions those samples occupy and the candidate runs that may need
// re-evaluation.
std::vector<AffectedRegion> affected_regions(const GridTensorState& state, std::size_t feature, std::size_t start,
                                             std::size_t end);

}  // namespace zun
