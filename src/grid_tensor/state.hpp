#pragma once
// The working record of one grid tensor fit: the growing model, one record
// per sample with its components and residual, and the statistics from which
// the refinement computes any candidate move's closed-form update and gain.
//
// Samples of a feature are addressed by sorted position (the position of a
// sample in the stable ascending order of that feature); a cut at position p
// puts positions 0 .. p-1 on its left.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "grid_tensor/histogram_binning.hpp"
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

// A running sum of Stats5 with the rounding error of every addition kept
// beside it (compensated summation): sum + error is the sum of the addends
// to within a few units in the last place of the result, however many
// additions and however much they cancel. A sum that overflowed has no
// finite error; it stands as it is.
struct CompensatedStats5 {
    Stats5 sum;
    Stats5 error;
    Stats5 value() const {
        const auto with = [](double s, double e) { return std::isfinite(e) ? s + e : s; };
        return {with(sum.pp, error.pp), with(sum.mm, error.mm), with(sum.pm, error.pm), with(sum.rp, error.rp),
                with(sum.rm, error.rm)};
    }
    bool operator==(const CompensatedStats5&) const = default;
};

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

// The statistics of a binned fit: per feature and bin the sums over the
// bin's samples, from which every candidate and interval follows.
struct BinSums {
    // Per feature, the index of its first bin in the lists below; one more
    // entry holds their length.
    std::vector<std::size_t> first_bin;
    std::vector<CompensatedStats5> bins;
    // Per bin, the sums from the first bin of its interval up to it.
    std::vector<Stats5> running;
    // Per feature and boundary, 1 when it can never be cut: a tie, or a NaN
    // gain seen while guarding.
    std::vector<std::vector<std::uint8_t>> never_cut;
    // A move sums every bin again instead of adding changes when it moves at
    // least n / rebuild_divisor samples (0: never for that reason). Summing
    // a sample into its bins afresh costs as much as adding its change (both
    // compensated), and a fresh sum covers every sample, so only a move of
    // all samples does it: at 10^6 x 10 with 255 bins a divisor of 4 made a
    // split 44 ms, 1 made it 29 ms. After adding changes, a move sums every
    // bin again when the drift the sums may have gathered exceeds
    // drift_threshold of their size.
    std::size_t rebuild_divisor = 1;
    double drift_threshold = 1e-13;
    // Samples whose change was added to the bins since they were last summed
    // from scratch, and the number of rebuilds the drift estimate asked for.
    std::size_t updated_since_rebuild = 0;
    std::size_t drift_rebuilds = 0;
    BinLanes lanes = BinLanes::portable;
};

struct GridTensorState {
    // x and y are borrowed for the whole fit. An exact fit may be handed
    // `sorted` (computed once for many fits on the same x); when absent the
    // refinement's initialisation sorts each feature itself. A binned fit is
    // handed the coded matrix in `binned` and never sorts.
    GridTensorState(const MatrixView& x, const VectorView& y, std::shared_ptr<const SortedFeatures> sorted = nullptr,
                    std::shared_ptr<const BinnedFeatures> binned = nullptr);

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
    // Binned fits only: the coded matrix and the per-bin sums, which take
    // the place of the sort orders and checkpoints. Only bin boundaries may
    // be cut.
    std::shared_ptr<const BinnedFeatures> binned;
    BinSums bin_sums;
    // Set when sums may overflow (huge targets or components, huge or
    // non-finite strategy constants), so that gains can be NaN. Every
    // candidate of a changed interval is then evaluated after each move, and
    // a position whose gain was NaN is marked for good: in nan_gain, or in
    // bin_sums.never_cut when binned.
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

    // Exact fits only.
    const std::vector<std::size_t>& sorted_order(std::size_t feature) const { return (*sorted)[feature].sorted_order; }
    const std::vector<std::size_t>& sample_rank(std::size_t feature) const { return (*sorted)[feature].sample_rank; }
    // Value of `feature` of the sample at sorted position `position`; a
    // binned fit knows it at bin boundaries only (InternalError elsewhere).
    double value_at(std::size_t feature, std::size_t position) const;
    bool is_binned() const { return binned != nullptr; }

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
        if (binned) {
            const std::optional<std::size_t> boundary = binned->features[feature].boundary_at(position);
            return !boundary || bin_sums.never_cut[feature][*boundary] != 0;
        }
        return (*sorted)[feature].tie[position] != 0 || (guard_nan_gains && nan_gain[feature][position] != 0);
    }
};

// The samples at sorted positions [start, end) of `feature`, in position
// order. A binned fit keeps no order: it collects the samples of the bins
// covering the range and sorts them by value (ties by sample index), as
// the stable order has them; `start` and `end` must then be 0, n or bin
// boundaries.
std::vector<std::size_t> samples_at_positions(const GridTensorState& state, std::size_t feature, std::size_t start,
                                              std::size_t end);

// Exact fits: after a move changed the samples at positions [start, end) of
// `feature`:
// per feature in column order, the intervals holding those samples in
// ascending order, each with the lowest position of such a sample. For a
// large move every interval of the other features is listed from its start,
// which is cheaper than locating the samples.
std::vector<std::vector<ChangedInterval>> changed_intervals(const GridTensorState& state, std::size_t feature,
                                                            std::size_t start, std::size_t end);

}  // namespace zun
