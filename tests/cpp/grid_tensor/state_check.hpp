#pragma once
// From-scratch recomputation of everything a fitting state maintains
// incrementally, compared with the state. Used after every move of the
// drift tests: incremental statistics that drift show up here.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "grid_tensor/refinement.hpp"
#include "grid_tensor/state.hpp"

namespace zun::testing {

struct CheckTolerance {
    double relative = 1e-9;
    double absolute = 1e-12;
};

inline bool close(double a, double b, double scale, const CheckTolerance& tol) {
    if (std::isnan(a) || std::isnan(b)) {
        return std::isnan(a) && std::isnan(b);
    }
    return std::abs(a - b) <= tol.relative * std::max({std::abs(a), std::abs(b), scale}) + tol.absolute;
}

// Equal bits, NaN equal to NaN.
inline bool same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

inline bool same(const UpdatePair& a, const UpdatePair& b) { return same(a.x, b.x) && same(a.y, b.y); }

inline std::string where(std::size_t feature, std::size_t index) {
    return "feature " + std::to_string(feature) + " index " + std::to_string(index);
}

// The interval of feature j that holds sample i, found from its sorted
// position, or from its bin when binned.
inline std::size_t interval_of_sample(const GridTensorState& state, std::size_t j, std::size_t i) {
    if (!state.is_binned()) {
        return state.interval_containing(j, state.sample_rank(j)[i]);
    }
    const std::size_t bin = state.binned->code(i, j);
    return state.interval_containing(j, bin == 0 ? 0 : state.binned->features[j].boundaries[bin - 1]);
}

// Components against the product of every feature's factors; targets and
// residuals exactly as a fresh computation gives them.
inline void check_samples(const GridTensorState& state, const CheckTolerance& tol) {
    bool bounded = true;
    for (std::size_t i = 0; i < state.n_samples; ++i) {
        double plus = state.lambda_plus;
        double minus = state.lambda_minus;
        for (std::size_t j = 0; j < state.n_features; ++j) {
            const std::size_t k = interval_of_sample(state, j, i);
            plus *= state.backbone[j][k] * std::exp(state.tilt[j][k]);
            minus *= state.backbone[j][k] * std::exp(-state.tilt[j][k]);
        }
        const SampleRecord& sample = state.samples[i];
        ASSERT_TRUE(close(sample.f_plus, plus, 0.0, tol)) << "f_plus of sample " << i;
        ASSERT_TRUE(close(sample.f_minus, minus, 0.0, tol)) << "f_minus of sample " << i;
        ASSERT_EQ(sample.target, state.y[i]) << i;
        ASSERT_EQ(sample.residual, state.y[i] - (sample.f_plus - sample.f_minus)) << i;
        ASSERT_EQ(state.prediction(i), sample.f_plus - sample.f_minus) << i;
        bounded = bounded && has_bounded_statistics(sample);
    }
    if (!bounded) {
        ASSERT_TRUE(state.guard_nan_gains) << "a sample left the bounded range without the guard";
    }
}

// Positions that can never be cut: ties and interval ends (present or past:
// every past interval end is next to a present cut). NaN gains seen while
// guarding come on top.
inline std::vector<bool> expected_marks(const GridTensorState& state, std::size_t j) {
    const std::size_t n = state.n_samples;
    std::vector<bool> marked(n, false);
    if (n >= 2) {
        marked[0] = true;
        marked[n - 1] = true;
    }
    for (const std::size_t cut : state.split_positions[j]) {
        marked[cut] = true;
        marked[cut - 1] = true;
    }
    for (std::size_t q = 1; q < n; ++q) {
        if (std::abs(state.value_at(j, q) - state.value_at(j, q - 1)) < 2.220446049250313e-16) {
            marked[q] = true;
        }
    }
    return marked;
}

// The candidate a fresh computation gives from the sums left of the cut and
// the interval's total.
inline SplitCandidate fresh_candidate(const RefinementStrategy& strategy, const Stats5& left, const Stats5& total,
                                      bool single_mode) {
    const PairedUpdate l = side_update(strategy, left, single_mode);
    const PairedUpdate r = side_update(strategy, total - left, single_mode);
    return {{l.x, l.y}, {r.x, r.y}, l.gain + r.gain};
}

inline void check_candidate(const SplitCandidate& got, const SplitCandidate& expected, const std::string& label) {
    ASSERT_TRUE(same(got.gain, expected.gain)) << label << " gain " << got.gain << " vs " << expected.gain;
    ASSERT_TRUE(same(got.left, expected.left)) << label << " left " << got.left.x << ", " << got.left.y;
    ASSERT_TRUE(same(got.right, expected.right)) << label << " right " << got.right.x << ", " << got.right.y;
}

// The resplit values of cut c of feature j from the sums of the intervals
// on either side of it.
inline void check_resplit(const GridTensorState& state, const RefinementStrategy& strategy,
                          const std::vector<Stats5>& totals, std::size_t j, std::size_t c, bool single_mode) {
    const PairedUpdate l = side_update(strategy, totals[c], single_mode);
    const PairedUpdate r = side_update(strategy, totals[c + 1], single_mode);
    const std::string label = "resplit " + where(j, c);
    ASSERT_TRUE(same(state.resplit_left_update[j][c], {l.x, l.y})) << label;
    ASSERT_TRUE(same(state.resplit_right_update[j][c], {r.x, r.y})) << label;
    ASSERT_TRUE(same(state.resplit_side_gains[j][c], {l.gain, r.gain})) << label;
    ASSERT_TRUE(same(state.resplit_score[j][c], l.gain + r.gain)) << label;
}

// Interval sums and checkpoints against running sums in position order (the
// same order the state sums in, so the bits agree), every position's
// candidate against a fresh one, and the resplit values.
inline void check_feature(const GridTensorState& state, const RefinementStrategy& strategy,
                          const std::vector<Stats5>& stats, std::size_t j, bool single_mode) {
    const auto& cuts = state.split_positions[j];
    ASSERT_EQ(state.backbone[j].size(), cuts.size() + 1);
    ASSERT_EQ(state.tilt[j].size(), cuts.size() + 1);
    ASSERT_EQ(state.interval_stats[j].size(), cuts.size() + 1);
    ASSERT_EQ(state.resplit_score[j].size(), cuts.size());
    ASSERT_EQ(state.checkpoints[j].size(), state.n_samples / checkpoint_spacing);
    for (std::size_t c = 0; c < cuts.size(); ++c) {
        ASSERT_TRUE(cuts[c] >= 1 && cuts[c] < state.n_samples && (c == 0 || cuts[c - 1] < cuts[c])) << where(j, c);
    }
    const std::vector<bool> marked = expected_marks(state, j);
    const auto& order = state.sorted_order(j);
    std::vector<Stats5> totals;
    for (std::size_t k = 0; k <= cuts.size(); ++k) {
        const std::size_t start = state.interval_start(j, k);
        const std::size_t end = state.interval_end(j, k);
        Stats5 total;
        for (std::size_t q = start; q < end; ++q) {
            total += stats[order[q]];
        }
        totals.push_back(total);
        ASSERT_EQ(state.interval_stats[j][k].count, end - start) << where(j, k);
        ASSERT_EQ(state.interval_stats[j][k].sums, total) << "interval " << where(j, k);
        Stats5 running;
        for (std::size_t q = start; q < end; ++q) {
            const bool nan_marked = state.guard_nan_gains && state.nan_gain[j][q] != 0;
            ASSERT_EQ(state.cut_excluded(j, q), marked[q] || nan_marked) << "mark " << where(j, q);
            const SplitCandidate got = split_candidate(strategy, state, j, q, single_mode);
            if (state.cut_excluded(j, q)) {
                ASSERT_TRUE(std::isnan(got.gain)) << "excluded " << where(j, q);
            } else if (q > start && q + 1 < end) {
                const SplitCandidate expected = fresh_candidate(strategy, running, total, single_mode);
                // A gain that is NaN now would have been marked when it
                // became NaN.
                ASSERT_FALSE(std::isnan(expected.gain)) << "unmarked NaN gain at " << where(j, q);
                check_candidate(got, expected, "candidate " + where(j, q));
                if (::testing::Test::HasFatalFailure()) {
                    return;
                }
            }
            running += stats[order[q]];
            if ((q + 1) % checkpoint_spacing == 0) {
                ASSERT_EQ(state.checkpoints[j][q / checkpoint_spacing], running) << "checkpoint " << where(j, q);
            }
        }
    }
    for (std::size_t c = 0; c < cuts.size(); ++c) {
        check_resplit(state, strategy, totals, j, c, single_mode);
        if (::testing::Test::HasFatalFailure()) {
            return;
        }
    }
}

inline void check_runs(const GridTensorState& state, std::size_t min_samples) {
    for (std::size_t j = 0; j < state.n_features; ++j) {
        std::size_t total = 0;
        std::size_t previous_end = 0;
        for (const CandidateRun& run : state.candidate_ranges[j]) {
            ASSERT_GT(run.length, 0u);
            ASSERT_GE(run.start, std::max(previous_end, min_samples)) << where(j, run.start);
            ASSERT_LE(run.start + run.length + min_samples, state.n_samples + 1) << where(j, run.start);
            previous_end = run.start + run.length;
            total += run.length;
        }
        ASSERT_EQ(state.candidate_count[j], total) << "feature " << j;
    }
}

// The largest difference seen between a kept bin sum and its recomputation,
// over the sum of the magnitudes of the bin's terms.
struct BinDrift {
    double largest = 0.0;
};

// Neumaier's compensated sum, for sums whose error must stay near one unit
// in the last place of the result.
struct NeumaierSum {
    double sum = 0.0;
    double correction = 0.0;
    void add(double value) {
        const double total = sum + value;
        correction += std::abs(sum) >= std::abs(value) ? (sum - total) + value : (value - total) + sum;
        sum = total;
    }
    double value() const { return sum + correction; }
};

// The five sums of every bin of feature j from scratch, in sample order and
// compensated, so they are accurate to about one unit in their last place;
// and the sums of the magnitudes of the terms.
inline void fresh_bin_sums(const GridTensorState& state, const std::vector<Stats5>& stats, std::size_t j,
                           std::vector<std::array<double, 5>>& sums, std::vector<std::array<double, 5>>& magnitudes) {
    const std::size_t bins = state.binned->features[j].bin_count();
    std::vector<std::array<NeumaierSum, 5>> compensated(bins);
    magnitudes.assign(bins, {});
    for (std::size_t i = 0; i < state.n_samples; ++i) {
        const std::size_t b = state.binned->code(i, j);
        const Stats5& s = stats[i];
        const std::array<double, 5> terms = {s.pp, s.mm, s.pm, s.rp, s.rm};
        for (std::size_t k = 0; k < 5; ++k) {
            compensated[b][k].add(terms[k]);
            magnitudes[b][k] += std::abs(terms[k]);
        }
    }
    sums.assign(bins, {});
    for (std::size_t b = 0; b < bins; ++b) {
        for (std::size_t k = 0; k < 5; ++k) {
            sums[b][k] = compensated[b][k].value();
        }
    }
}

// A binned feature: every bin sum against its recomputation from the sample
// records, within `relative_drift` of the magnitudes of its terms; running
// sums, interval statistics, candidates and resplit values exactly as the
// kept bin sums give them; which positions may be cut.
inline void check_binned_feature(const GridTensorState& state, const RefinementStrategy& strategy,
                                 const std::vector<Stats5>& stats, std::size_t j, bool single_mode,
                                 double relative_drift, BinDrift& drift) {
    const FeatureBins& bins = state.binned->features[j];
    const auto& cuts = state.split_positions[j];
    ASSERT_EQ(state.interval_stats[j].size(), cuts.size() + 1);
    ASSERT_EQ(state.resplit_score[j].size(), cuts.size());
    std::vector<std::array<double, 5>> fresh;
    std::vector<std::array<double, 5>> magnitudes;
    fresh_bin_sums(state, stats, j, fresh, magnitudes);
    const std::size_t base = state.bin_sums.first_bin[j];
    for (std::size_t b = 0; b < bins.bin_count(); ++b) {
        const Stats5 value = state.bin_sums.bins[base + b].value();
        const std::array<double, 5> kept = {value.pp, value.mm, value.pm, value.rp, value.rm};
        const std::array<double, 5>& expected = fresh[b];
        const std::array<double, 5>& scale = magnitudes[b];
        for (std::size_t s = 0; s < kept.size(); ++s) {
            // Equal covers sums that overflowed alike.
            const double difference = kept[s] == expected[s] ? 0.0 : std::abs(kept[s] - expected[s]);
            ASSERT_LE(difference, relative_drift * scale[s])
                << "bin " << where(j, b) << " statistic " << s << ": kept " << kept[s] << " fresh " << expected[s];
            if (scale[s] > 0.0) {
                drift.largest = std::max(drift.largest, difference / scale[s]);
            }
        }
    }
    std::vector<Stats5> totals;
    for (std::size_t k = 0; k <= cuts.size(); ++k) {
        const std::size_t start = state.interval_start(j, k);
        const std::size_t end = state.interval_end(j, k);
        const std::size_t first = bins.bin_starting_at(start, state.n_samples);
        const std::size_t last = bins.bin_starting_at(end, state.n_samples);
        Stats5 running;
        std::size_t members = 0;
        for (std::size_t b = first; b < last; ++b) {
            running += state.bin_sums.bins[base + b].value();
            ASSERT_EQ(state.bin_sums.running[base + b], running) << "running " << where(j, b);
        }
        for (std::size_t i = 0; i < state.n_samples; ++i) {
            const std::size_t b = state.binned->code(i, j);
            members += b >= first && b < last ? 1 : 0;
        }
        ASSERT_EQ(members, end - start) << "samples of interval " << where(j, k);
        ASSERT_EQ(state.interval_stats[j][k].count, end - start) << where(j, k);
        ASSERT_EQ(state.interval_stats[j][k].sums, running) << "interval " << where(j, k);
        totals.push_back(running);
        Stats5 left;
        for (std::size_t b = first; b < last; ++b) {
            const std::size_t q = b == 0 ? 0 : bins.boundaries[b - 1];
            const bool end_of_interval = q == start || q + 1 == end;
            const bool marked = b > 0 && state.bin_sums.never_cut[j][b - 1] != 0;
            ASSERT_EQ(state.cut_excluded(j, q), end_of_interval || marked || b == 0) << "mark " << where(j, q);
            const SplitCandidate got = split_candidate(strategy, state, j, q, single_mode);
            if (state.cut_excluded(j, q)) {
                ASSERT_TRUE(std::isnan(got.gain)) << "excluded " << where(j, q);
            } else {
                const SplitCandidate expected = fresh_candidate(strategy, left, running, single_mode);
                ASSERT_FALSE(std::isnan(expected.gain)) << "unmarked NaN gain at " << where(j, q);
                check_candidate(got, expected, "candidate " + where(j, q));
                if (::testing::Test::HasFatalFailure()) {
                    return;
                }
            }
            left += state.bin_sums.bins[base + b].value();
        }
    }
    // Ties among the boundaries stay marked; nothing but a boundary is cut.
    for (std::size_t t = 0; t < bins.boundaries.size(); ++t) {
        if (bins.tie[t] != 0) {
            ASSERT_TRUE(state.cut_excluded(j, bins.boundaries[t])) << "tie " << where(j, t);
        }
    }
    for (std::size_t q = 0; q < state.n_samples; ++q) {
        if (!bins.boundary_at(q)) {
            ASSERT_TRUE(state.cut_excluded(j, q)) << "inside a bin " << where(j, q);
        }
    }
    for (std::size_t c = 0; c < cuts.size(); ++c) {
        ASSERT_TRUE(bins.boundary_at(cuts[c]).has_value()) << "cut off the boundaries " << where(j, c);
        check_resplit(state, strategy, totals, j, c, single_mode);
        if (::testing::Test::HasFatalFailure()) {
            return;
        }
    }
}

// Every incrementally kept quantity against its recomputation from the
// state's model and sample records, with each sample's weight taken from its
// residual. A binned state's bin sums may differ from their recomputation by
// `relative_drift` of the magnitudes of their terms; the largest difference
// seen goes to `drift`.
inline void check_state(const GridTensorState& state, const RefinementStrategy& strategy, std::size_t min_samples,
                        const CheckTolerance& tol = {}, double relative_drift = 0.0, BinDrift* drift = nullptr) {
    const bool single_mode = single_component_mode(state);
    check_samples(state, tol);
    if (::testing::Test::HasFatalFailure()) {
        return;
    }
    std::vector<Stats5> stats(state.n_samples);
    for (std::size_t i = 0; i < state.n_samples; ++i) {
        const SampleRecord& sample = state.samples[i];
        const double weight = sample_weight(strategy, sample.residual);
        stats[i] = sample_products(weight, sample.f_plus, sample.f_minus, sample.residual, single_mode);
    }
    BinDrift seen;
    for (std::size_t j = 0; j < state.n_features; ++j) {
        if (state.is_binned()) {
            check_binned_feature(state, strategy, stats, j, single_mode, relative_drift, seen);
        } else {
            check_feature(state, strategy, stats, j, single_mode);
        }
        if (::testing::Test::HasFatalFailure()) {
            return;
        }
    }
    if (drift != nullptr) {
        drift->largest = std::max(drift->largest, seen.largest);
    }
    check_runs(state, min_samples);
}

}  // namespace zun::testing
