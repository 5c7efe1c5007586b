#include "grid_tensor/reducer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "error.hpp"
#include "grid_tensor/fit.hpp"
#include "grid_tensor/fit_fixture.hpp"
#include "grid_tensor/state_check.hpp"

namespace zun {
namespace {

using testing::columns_problem;
using testing::Problem;

TEST(ApplyChangeTest, ClampsMultipliersAndStoredValues) {
    struct Case {
        const char* name;
        IntervalValues old_values;
        UpdatePair change;
        bool single_mode;
        IntervalValues expected;
    };
    const std::vector<Case> cases = {
        {"single mode scales the backbone and ignores y", {2.0, 0.0}, {0.5, 7.0}, true, {3.0, 0.0}},
        {"x of 100 multiplies by 20, not 101", {2.0, 0.0}, {100.0, 0.0}, true, {40.0, 0.0}},
        {"x of -3 multiplies by 0.05", {2.0, 0.0}, {-3.0, 0.0}, true, {0.1, 0.0}},
        // u = 4, v = 1: backbone * 2, tilt + ln(4) / 2.
        {"paired splits the change into backbone and tilt", {1.5, 0.25}, {3.0, 0.0}, false,
         {3.0, 0.25 + 0.5 * std::log(4.0)}},
        {"paired, both clamped", {1.0, 0.0}, {50.0, -5.0}, false, {1.0, 0.5 * std::log(400.0)}},
        {"backbone floor", {1e-9, 0.0}, {-0.99, 0.0}, true, {1e-10, 0.0}},
        {"backbone ceiling", {1e9, 0.0}, {19.0, 19.0}, false, {1e10, 0.0}},
        {"tilt ceiling", {1.0, 9.0}, {19.0, -0.95}, false, {1.0, 10.0}},
        {"tilt floor", {1.0, -9.0}, {-0.95, 19.0}, false, {1.0, -10.0}},
    };
    for (const Case& c : cases) {
        const IntervalValues result = apply_change(c.old_values, c.change, c.single_mode);
        EXPECT_NEAR(result.backbone, c.expected.backbone, 1e-12 * c.expected.backbone) << c.name;
        EXPECT_NEAR(result.tilt, c.expected.tilt, 1e-12) << c.name;
    }
}

// The move the search would make at position p of feature j, with the
// default refinement strategy.
Split split_action(const GridTensorState& state, std::size_t j, std::size_t p) {
    const auto& runs = state.candidate_ranges[j];
    std::size_t run = 0;
    while (run < runs.size() && runs[run].start + runs[run].length <= p) {
        ++run;
    }
    const RefinementStrategy strategy = make_refinement_strategy(GridTensorParams{}.refinement_strategy_params);
    const SplitCandidate candidate = split_candidate(strategy, state, j, p, single_component_mode(state));
    return {candidate.left, candidate.right, j, candidate.gain, run, p};
}

Resplit resplit_action(const GridTensorState& state, std::size_t j, std::size_t c) {
    return {state.resplit_left_update[j][c], state.resplit_right_update[j][c], j, state.resplit_score[j][c], c,
            state.split_positions[j][c]};
}

// Two identical features (values 0 .. n-1) and targets of both signs, or
// shifted to be non-negative.
Problem twin_problem(std::size_t n, bool non_negative) {
    std::vector<double> values(n);
    std::vector<double> y(n);
    for (std::size_t i = 0; i < n; ++i) {
        values[i] = static_cast<double>(i);
        y[i] = std::sin(0.2 * static_cast<double>(i)) + (i > n / 2 ? 1.0 : -0.5);
        if (non_negative) {
            y[i] = std::abs(y[i]) + 0.1;
        }
    }
    return columns_problem({values, values}, y);
}

TEST(ApplyActionTest, SplitInSingleComponentMode) {
    const Problem problem = twin_problem(40, true);
    const GridTensorParams params = GridTensorParams{};
    const RefinementStrategy strategy{};
    GridTensorState state = prepare_fit(problem.x_view(), problem.y_view(), params);
    ASSERT_TRUE(single_component_mode(state));
    Split split = split_action(state, 0, 10);
    split.left.y = 5.0;  // ignored in single-component mode
    split.right.y = -0.5;
    const double sse = state.sse;
    const auto before = state.samples;
    apply_action(state, split, strategy, params.split_strategy_params);

    EXPECT_EQ(state.split_positions[0], (std::vector<std::size_t>{10}));
    EXPECT_EQ(state.tilt[0], (std::vector<double>{0.0, 0.0}));
    EXPECT_DOUBLE_EQ(state.backbone[0][0], 1.0 + split.left.x);
    EXPECT_DOUBLE_EQ(state.backbone[0][1], 1.0 + split.right.x);
    for (std::size_t i = 0; i < 40; ++i) {
        EXPECT_DOUBLE_EQ(state.samples[i].f_plus, before[i].f_plus * (1.0 + (i < 10 ? split.left.x : split.right.x)))
            << i;
        EXPECT_EQ(state.samples[i].f_minus, 0.0) << i;
    }
    EXPECT_EQ(state.sse, sse - split.gain);
    EXPECT_EQ(state.net_splits, 1u);
    EXPECT_EQ(state.split_count, 1u);
    EXPECT_EQ(state.consecutive_resplits, 0u);
    // Around the cut: position 10 and 9 are never candidates again, and the
    // cut's resplit values are filled.
    EXPECT_TRUE(state.cut_excluded(0, 10) && state.cut_excluded(0, 9));
    EXPECT_FALSE(state.cut_excluded(0, 8) || state.cut_excluded(0, 11));
    EXPECT_FALSE(std::isnan(state.resplit_score[0][0]));
    EXPECT_EQ(state.candidate_ranges[0], (std::vector<CandidateRun>{{1, 9}, {11, 28}}));
    testing::check_state(state, strategy, 1);
}

TEST(ApplyActionTest, ResplitKeepsCutsAndCountsInARow) {
    const Problem problem = twin_problem(60, false);
    const GridTensorParams params = GridTensorParams{};
    const RefinementStrategy strategy = make_refinement_strategy(params.refinement_strategy_params);
    GridTensorState state = prepare_fit(problem.x_view(), problem.y_view(), params);
    apply_action(state, split_action(state, 1, 30), strategy, params.split_strategy_params);
    for (std::size_t round = 1; round <= 2; ++round) {
        const Resplit resplit = resplit_action(state, 1, 0);
        const double sse = state.sse;
        apply_action(state, resplit, strategy, params.split_strategy_params);
        EXPECT_EQ(state.split_positions[1], (std::vector<std::size_t>{30}));
        EXPECT_EQ(state.consecutive_resplits, round);
        EXPECT_EQ(state.resplit_count, round);
        EXPECT_EQ(state.sse, sse - resplit.score);
        testing::check_state(state, strategy, 1);
    }
    apply_action(state, split_action(state, 0, 45), strategy, params.split_strategy_params);
    EXPECT_EQ(state.consecutive_resplits, 0u);
    EXPECT_EQ(state.net_splits, 2u);
    testing::check_state(state, strategy, 1);
}

TEST(ApplyActionTest, MovesOutsideTheStateAreRejectedBeforeAnyChange) {
    const Problem problem = twin_problem(30, false);
    const GridTensorParams params = GridTensorParams{};
    const RefinementStrategy strategy{};
    GridTensorState state = prepare_fit(problem.x_view(), problem.y_view(), params);
    apply_action(state, split_action(state, 0, 12), strategy, params.split_strategy_params);
    const auto samples = state.samples;
    const auto backbone = state.backbone;

    Split bad_feature = split_action(state, 1, 5);
    bad_feature.feature = 2;
    Split at_zero = split_action(state, 1, 5);
    at_zero.position = 0;
    Split on_a_cut = split_action(state, 0, 20);
    on_a_cut.position = 12;
    Split beyond = split_action(state, 1, 5);
    beyond.position = 30;
    Split bad_run = split_action(state, 1, 5);
    bad_run.run_index = 7;
    Resplit bad_cut = resplit_action(state, 0, 0);
    bad_cut.cut_index = 1;
    Resplit moved_cut = resplit_action(state, 0, 0);
    moved_cut.position = 13;
    Resplit resplit_feature = resplit_action(state, 0, 0);
    resplit_feature.feature = 5;
    const std::vector<std::pair<const char*, FitAction>> moves = {
        {"feature", bad_feature}, {"position 0", at_zero},      {"existing cut", on_a_cut},
        {"position n", beyond},   {"run index", bad_run},       {"cut index", bad_cut},
        {"cut position", moved_cut}, {"resplit feature", resplit_feature},
    };
    for (const auto& [name, move] : moves) {
        EXPECT_THROW(apply_action(state, move, strategy, params.split_strategy_params), InternalError) << name;
        EXPECT_EQ(state.samples, samples) << name;
        EXPECT_EQ(state.backbone, backbone) << name;
        EXPECT_EQ(state.split_positions[0], (std::vector<std::size_t>{12})) << name;
    }
}

TEST(ApplyActionTest, DegenerateOldFactorLeavesItsComponentAlone) {
    const Problem problem = twin_problem(30, false);
    const GridTensorParams params = GridTensorParams{};
    const RefinementStrategy strategy{};
    GridTensorState state = prepare_fit(problem.x_view(), problem.y_view(), params);
    apply_action(state, split_action(state, 0, 15), strategy, params.split_strategy_params);
    // Interval 0 of feature 0 with b e^t = 1e-10 e^-10 (below 1e-12) and
    // b e^-t = 1e-10 e^10 (above it).
    state.backbone[0][0] = 1e-10;
    state.tilt[0][0] = -10.0;
    const auto before = state.samples;
    Resplit resplit = resplit_action(state, 0, 0);
    resplit.left = {1.0, 1.0};  // u = v = 2: backbone doubles, tilt stays
    apply_action(state, resplit, strategy, params.split_strategy_params);
    EXPECT_DOUBLE_EQ(state.backbone[0][0], 2e-10);
    for (std::size_t i = 0; i < 15; ++i) {
        const SampleRecord& sample = state.samples[i];
        EXPECT_EQ(sample.f_plus, before[i].f_plus) << i;
        EXPECT_DOUBLE_EQ(sample.f_minus, 2.0 * before[i].f_minus) << i;
        EXPECT_EQ(sample.residual, problem.y[i] - (sample.f_plus - sample.f_minus)) << i;
    }
}

std::size_t nan_marks(const GridTensorState& state) {
    std::size_t count = 0;
    for (const auto& feature : state.nan_gain) {
        for (const std::uint8_t mark : feature) {
            count += mark;
        }
    }
    return count;
}

TEST(ApplyActionTest, LargeComponentsStartTheNaNGuardAndOverflowingSumsMarkTheirGains) {
    // A resplit that multiplies both factors of the left interval by 20: at
    // 2e99 the components cross the guard's bound of 1e100; at 3e152 their
    // squares were summable before and overflow after.
    struct Case {
        double scale;
        bool guarded_before;
        bool marks_after;
    };
    for (const Case& c : std::vector<Case>{{2e99, false, false}, {3e152, true, true}}) {
        Problem problem = twin_problem(60, false);
        for (double& target : problem.y) {
            target *= c.scale;
        }
        const GridTensorParams params = GridTensorParams{};
        const RefinementStrategy strategy{};
        GridTensorState state = prepare_fit(problem.x_view(), problem.y_view(), params);
        apply_action(state, split_action(state, 0, 30), strategy, params.split_strategy_params);
        ASSERT_EQ(state.guard_nan_gains, c.guarded_before) << c.scale;
        ASSERT_EQ(nan_marks(state), 0u) << c.scale;
        Resplit resplit = resplit_action(state, 0, 0);
        resplit.left = {19.0, 19.0};
        resplit.right = {0.0, 0.0};
        apply_action(state, resplit, strategy, params.split_strategy_params);
        EXPECT_TRUE(state.guard_nan_gains) << c.scale;
        EXPECT_EQ(nan_marks(state) > 0, c.marks_after) << c.scale;
        testing::check_state(state, strategy, 1);
    }
}

TEST(ApplyActionTest, SmallMoveTouchesOnlyTheIntervalsHoldingItsSamples) {
    // Identical features of 800 samples: after cuts at 50 in both, a split
    // of feature 0's interval [0, 50) moves 50 samples, which sit in [0, 50)
    // of feature 1, so feature 1's interval [50, 800) must not be summed
    // again. A sentinel checkpoint there would be overwritten by any wider
    // refresh.
    const Problem problem = twin_problem(800, false);
    const GridTensorParams params = GridTensorParams{};
    const RefinementStrategy strategy{};
    GridTensorState state = prepare_fit(problem.x_view(), problem.y_view(), params);
    apply_action(state, split_action(state, 0, 50), strategy, params.split_strategy_params);
    apply_action(state, split_action(state, 1, 50), strategy, params.split_strategy_params);
    testing::check_state(state, strategy, 1);

    const Stats5 sentinel{1, 2, 3, 4, 5};
    const std::size_t in_second_interval = 5;  // checkpoint at position 191
    const Stats5 kept = state.checkpoints[1][in_second_interval];
    state.checkpoints[1][in_second_interval] = sentinel;
    state.interval_stats[1][1].count = 999;
    apply_action(state, split_action(state, 0, 25), strategy, params.split_strategy_params);
    EXPECT_EQ(state.checkpoints[1][in_second_interval], sentinel);
    EXPECT_EQ(state.interval_stats[1][1].count, 999u);
    // With the sentinels taken out again, the state is whole.
    state.checkpoints[1][in_second_interval] = kept;
    state.interval_stats[1][1].count = 750;
    testing::check_state(state, strategy, 1);
}

}  // namespace
}  // namespace zun
