#pragma once
// The working record of one grid tensor fit: the growing model, one record
// per sample with its components and residual, and the statistics from which
// the refinement computes any candidate move's closed-form update and gain.
//
// Samples of a feature are addressed by sorted position (the position of a
// sample in the stable ascending order of that feature); a cut at position p
// puts positions 0 .. p-1 on its left.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "large_page_allocator.hpp"
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

// One sample's current components, residual and target: everything its five
// statistics and its update are made of (the weight follows from the
// residual), in one record so that reading a sample in some feature's order
// costs one cache line.
struct alignas(32) SampleRecord {
    double f_plus = 0.0;
    double f_minus = 0.0;
    double residual = 0.0;  // target - (f_plus - f_minus)
    double target = 0.0;
    bool operator==(const SampleRecord&) const = default;
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

// Cumulative sums are kept at every checkpoint_spacing-th position only.
inline constexpr std::size_t checkpoint_spacing = 32;

// An interval of some feature holding samples that a move changed, and the
// lowest position at which such a sample sits: sums before it still hold.
struct ChangedInterval {
    std::size_t interval = 0;
    std::size_t first_position = 0;
    bool operator==(const ChangedInterval&) const = default;
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
    double lambda_plus = 1e-10;
    double lambda_minus = 1e-10;
    double scaling = 1.0;

    // Per-sample values, indexed by sample; gathered in every feature's order.
    LargeVector<SampleRecord> samples;
    double sse = 0.0;

    // Statistics.
    bool stats_ready = false;
    std::shared_ptr<const SortedFeatures> sorted;
    // Per feature, entry c: the sums of the sample statistics from the first
    // position of the interval holding position (c + 1) * checkpoint_spacing - 1
    // up to that position, in position order. The sums left of any position
    // resume from the checkpoint before it and keep the same bits as a sum
    // from the interval's start.
    std::vector<std::vector<Stats5>> checkpoints;
    std::vector<std::vector<IntervalStats>> interval_stats;
    std::vector<std::vector<double>> resplit_score;
    std::vector<std::vector<UpdatePair>> resplit_left_update;
    std::vector<std::vector<UpdatePair>> resplit_right_update;
    std::vector<std::vector<UpdatePair>> resplit_side_gains;
    // Set by binning only: ascending cut positions bounding the bins; no other
    // position of a binned feature may be cut.
    std::vector<std::vector<std::size_t>> bin_boundaries;
    // Set when sums may overflow (huge targets or components, huge or
    // non-finite strategy constants), so that gains can be NaN. Every
    // candidate of a changed interval is then evaluated after each move, and
    // a position whose gain was NaN is marked in nan_gain for good.
    bool guard_nan_gains = false;
    std::vector<std::vector<std::uint8_t>> nan_gain;

    // Split-search bookkeeping.
    std::vector<std::vector<CandidateRun>> candidate_ranges;
    std::vector<std::size_t> candidate_count;

    // Counters.
    std::size_t net_splits = 0;
    std::size_t split_count = 0;
    std::size_t resplit_count = 0;
    std::size_t merge_count = 0;
    std::size_t consecutive_resplits = 0;

    const std::vector<std::size_t>& sorted_order(std::size_t feature) const { return (*sorted)[feature].sorted_order; }
    const std::vector<std::size_t>& sample_rank(std::size_t feature) const { return (*sorted)[feature].sample_rank; }
    // Value of `feature` of the sample at sorted position `position`.
    double value_at(std::size_t feature, std::size_t position) const;
    bool is_binned(std::size_t feature) const { return !bin_boundaries[feature].empty(); }

    // f_plus - f_minus of a sample, and the prediction (the same: the scaling
    // of a fit in progress is 1).
    double raw_difference(std::size_t sample) const { return samples[sample].f_plus - samples[sample].f_minus; }
    double prediction(std::size_t sample) const { return raw_difference(sample); }

    std::size_t interval_count(std::size_t feature) const { return split_positions[feature].size() + 1; }
    // Index of the interval holding `position` (cuts at or below it).
    std::size_t interval_containing(std::size_t feature, std::size_t position) const {
        const auto& cuts = split_positions[feature];
        return static_cast<std::size_t>(std::upper_bound(cuts.begin(), cuts.end(), position) - cuts.begin());
    }
    // First position of interval k, and one past its last.
    std::size_t interval_start(std::size_t feature, std::size_t k) const {
        return k == 0 ? 0 : split_positions[feature][k - 1];
    }
    std::size_t interval_end(std::size_t feature, std::size_t k) const {
        const auto& cuts = split_positions[feature];
        return k < cuts.size() ? cuts[k] : n_samples;
    }

    // Whether `position` of `feature` can never be cut: a marked position
    // (below), or the first or last position of its interval when there are
    // two or more samples. Every position that has ever been the first or
    // last of an interval lies next to a present cut or at an end of the
    // order; a single sample has none.
    bool cut_excluded(std::size_t feature, std::size_t position) const {
        if (position_marked(feature, position)) {
            return true;
        }
        if (n_samples < 2) {
            return false;
        }
        const std::size_t k = interval_containing(feature, position);
        return position == interval_start(feature, k) || position + 1 == interval_end(feature, k);
    }
    // A tie, anything but a bin boundary when binned, or a NaN gain seen
    // while guarding.
    bool position_marked(std::size_t feature, std::size_t position) const {
        if ((*sorted)[feature].tie[position] != 0 || (guard_nan_gains && nan_gain[feature][position] != 0)) {
            return true;
        }
        const auto& bounds = bin_boundaries[feature];
        return !bounds.empty() && !std::binary_search(bounds.begin(), bounds.end(), position);
    }
};

// After a move changed the samples at positions [start, end) of `feature`:
// per feature in column order, the intervals holding those samples in
// ascending order, each with the lowest position of such a sample. For a
// large move every interval of the other features is listed from its start,
// which is cheaper than locating the samples.
std::vector<std::vector<ChangedInterval>> changed_intervals(const GridTensorState& state, std::size_t feature,
                                                            std::size_t start, std::size_t end);

}  // namespace zun
