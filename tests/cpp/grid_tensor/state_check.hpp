#pragma once
// From-scratch recomputation of everything a fitting state maintains
// incrementally, compared with the state. Used after every move of the
// drift tests: incremental statistics that drift show up here.
#include <gtest/gtest.h>

#include <algorithm>
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

inline bool close(const Stats5& a, const Stats5& b, const Stats5& scale, const CheckTolerance& tol) {
    return close(a.pp, b.pp, scale.pp, tol) && close(a.mm, b.mm, scale.mm, tol) && close(a.pm, b.pm, scale.pm, tol) &&
           close(a.rp, b.rp, scale.rp, tol) && close(a.rm, b.rm, scale.rm, tol);
}

inline Stats5 magnitude(const Stats5& s) {
    return {std::abs(s.pp), std::abs(s.mm), std::abs(s.pm), std::abs(s.rp), std::abs(s.rm)};
}

// Sums (and sums of magnitudes, the scale of rounding) of the sample
// statistics over positions [start, end) of a feature.
struct RangeSums {
    Stats5 sums;
    Stats5 scale;
};

inline RangeSums range_sums(const GridTensorState& state, const std::vector<Stats5>& stats, std::size_t feature,
                            std::size_t start, std::size_t end) {
    RangeSums result;
    const auto& order = state.sorted_order(feature);
    for (std::size_t q = start; q < end; ++q) {
        result.sums += stats[order[q]];
        result.scale += magnitude(stats[order[q]]);
    }
    return result;
}

inline std::string where(std::size_t feature, std::size_t index) {
    return "feature " + std::to_string(feature) + " index " + std::to_string(index);
}

inline void check_components(const GridTensorState& state, const CheckTolerance& tol) {
    for (std::size_t i = 0; i < state.n_samples; ++i) {
        double plus = state.lambda_plus;
        double minus = state.lambda_minus;
        for (std::size_t j = 0; j < state.n_features; ++j) {
            const std::size_t k = state.interval_containing(j, state.sample_rank(j)[i]);
            ASSERT_EQ(state.sample_interval[j][i], k) << where(j, i);
            plus *= state.backbone[j][k] * std::exp(state.tilt[j][k]);
            minus *= state.backbone[j][k] * std::exp(-state.tilt[j][k]);
        }
        ASSERT_TRUE(close(state.f_plus[i], plus, 0.0, tol)) << "f_plus of sample " << i;
        ASSERT_TRUE(close(state.f_minus[i], minus, 0.0, tol)) << "f_minus of sample " << i;
        ASSERT_EQ(state.raw_difference[i], state.f_plus[i] - state.f_minus[i]) << i;
        ASSERT_EQ(state.prediction[i], state.raw_difference[i]) << i;
        ASSERT_EQ(state.residual[i], state.y[i] - state.prediction[i]) << i;
        ASSERT_EQ(state.residual_snapshot[i], state.residual[i]) << i;
    }
}

// Positions that can never be cut: ties, interval ends (present or past:
// every past interval end is next to a present cut) and, when binned, every
// position that is not a bin boundary.
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
    if (state.is_binned(j)) {
        std::vector<bool> boundary(n, false);
        for (const std::size_t b : state.bin_boundaries[j]) {
            boundary[b] = true;
        }
        for (std::size_t q = 0; q < n; ++q) {
            marked[q] = marked[q] || !boundary[q];
        }
    }
    return marked;
}

inline void check_candidate(const PairedUpdate& left, const PairedUpdate& right, const UpdatePair& left_change,
                            const UpdatePair& right_change, const UpdatePair& side_gains, double gain,
                            const CheckTolerance& tol, const std::string& label) {
    ASSERT_TRUE(close(left_change.x, left.x, 0.0, tol)) << label << " left x " << left_change.x << " vs " << left.x;
    ASSERT_TRUE(close(left_change.y, left.y, 0.0, tol)) << label << " left y " << left_change.y << " vs " << left.y;
    ASSERT_TRUE(close(right_change.x, right.x, 0.0, tol)) << label << " right x " << right_change.x << " vs " << right.x;
    ASSERT_TRUE(close(right_change.y, right.y, 0.0, tol)) << label << " right y " << right_change.y << " vs " << right.y;
    ASSERT_TRUE(close(side_gains.x, left.gain, 0.0, tol)) << label << " left gain";
    ASSERT_TRUE(close(side_gains.y, right.gain, 0.0, tol)) << label << " right gain";
    ASSERT_TRUE(close(gain, left.gain + right.gain, 0.0, tol)) << label << " gain " << gain;
}

inline void check_feature(const GridTensorState& state, const RefinementStrategy& strategy,
                          const std::vector<Stats5>& stats, std::size_t j, bool single_mode,
                          const CheckTolerance& tol) {
    const auto& cuts = state.split_positions[j];
    ASSERT_EQ(state.backbone[j].size(), cuts.size() + 1);
    ASSERT_EQ(state.tilt[j].size(), cuts.size() + 1);
    ASSERT_EQ(state.interval_stats[j].size(), cuts.size() + 1);
    ASSERT_EQ(state.resplit_score[j].size(), cuts.size());
    for (std::size_t c = 0; c < cuts.size(); ++c) {
        ASSERT_TRUE(cuts[c] >= 1 && cuts[c] < state.n_samples && (c == 0 || cuts[c - 1] < cuts[c])) << where(j, c);
    }
    const std::vector<bool> marked = expected_marks(state, j);
    std::vector<RangeSums> interval_sums;
    for (std::size_t k = 0; k <= cuts.size(); ++k) {
        const std::size_t start = state.interval_start(j, k);
        const std::size_t end = state.interval_end(j, k);
        const RangeSums total = range_sums(state, stats, j, start, end);
        interval_sums.push_back(total);
        ASSERT_EQ(state.interval_stats[j][k].count, end - start) << where(j, k);
        ASSERT_TRUE(close(state.interval_stats[j][k].sums, total.sums, total.scale, tol)) << "interval " << where(j, k);
        // Cumulative sums, per position or per bin, local to the interval.
        RangeSums running;
        const auto& order = state.sorted_order(j);
        for (std::size_t q = start; q < end; ++q) {
            ASSERT_EQ(std::isnan(state.split_gain[j][q]), bool(marked[q])) << "mark " << where(j, q);
            if (!marked[q]) {
                // Candidate q: left [start, q), right [q, end).
                const PairedUpdate l = side_update(strategy, running.sums, single_mode);
                const PairedUpdate r = side_update(strategy, total.sums - running.sums, single_mode);
                check_candidate(l, r, state.left_update[j][q], state.right_update[j][q], state.side_gains[j][q],
                                state.split_gain[j][q], tol, "candidate " + where(j, q));
                if (::testing::Test::HasFatalFailure()) {
                    return;
                }
            }
            running.sums += stats[order[q]];
            running.scale += magnitude(stats[order[q]]);
            if (!state.is_binned(j)) {
                ASSERT_TRUE(close(state.prefix_stats[j][q], running.sums, running.scale, tol)) << "prefix " << where(j, q);
            } else if (q + 1 == state.bin_end(j, state.bin_containing(j, q))) {
                ASSERT_TRUE(close(state.bin_prefix_stats[j][state.bin_containing(j, q)], running.sums, running.scale, tol))
                    << "bin prefix " << where(j, q);
            }
        }
    }
    for (std::size_t c = 0; c < cuts.size(); ++c) {
        const PairedUpdate l = side_update(strategy, interval_sums[c].sums, single_mode);
        const PairedUpdate r = side_update(strategy, interval_sums[c + 1].sums, single_mode);
        check_candidate(l, r, state.resplit_left_update[j][c], state.resplit_right_update[j][c],
                        state.resplit_side_gains[j][c], state.resplit_score[j][c], tol, "resplit " + where(j, c));
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

// Every incrementally kept quantity against its recomputation from the
// state's model, components and residual snapshot.
inline void check_state(const GridTensorState& state, const RefinementStrategy& strategy, std::size_t min_samples,
                        const CheckTolerance& tol = {}) {
    const bool single_mode = single_component_mode(state);
    check_components(state, tol);
    if (::testing::Test::HasFatalFailure()) {
        return;
    }
    std::vector<Stats5> stats(state.n_samples);
    for (std::size_t i = 0; i < state.n_samples; ++i) {
        const double r = state.residual_snapshot[i];
        stats[i] = sample_products(sample_weight(strategy, r), state.f_plus[i], state.f_minus[i], r, single_mode);
        ASSERT_EQ(state.sample_stats[i], stats[i]) << "sample " << i;
    }
    for (std::size_t j = 0; j < state.n_features; ++j) {
        check_feature(state, strategy, stats, j, single_mode, tol);
        if (::testing::Test::HasFatalFailure()) {
            return;
        }
    }
    check_runs(state, min_samples);
}

}  // namespace zun::testing
