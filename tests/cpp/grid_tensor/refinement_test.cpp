#include "grid_tensor/refinement.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "error.hpp"
#include "grid_tensor/bin_sums.hpp"
#include "grid_tensor/fit_fixture.hpp"

namespace zun {
namespace {

using testing::columns_problem;
using testing::initialized_state;
using testing::Problem;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kTol = 1e-12;

RefinementStrategy strategy_with(double alpha, double tau, double rho) {
    RefinementStrategy strategy;
    strategy.alpha = alpha;
    strategy.tilt_tau = tau;
    strategy.tilt_rho = rho;
    return strategy;
}

TEST(SingleFactorUpdateTest, HandComputedCases) {
    struct Case {
        const char* name;
        double a, b, alpha;
        double x, gain;
    };
    const std::vector<Case> cases = {
        {"interior optimum", 2.0, 1.0, 0.0, 0.5, 0.5},
        // The ridge shrinks x but is not charged in the gain: 2*0.5*1 - 1*0.25.
        {"ridge", 1.0, 1.0, 1.0, 0.5, 0.75},
        {"clamped above at 20", 1.0, 100.0, 0.0, 19.0, 2.0 * 19.0 * 100.0 - 361.0},
        {"clamped below at 0.05", 1.0, -5.0, 0.0, -0.95, 2.0 * -0.95 * -5.0 - 0.9025},
        {"no curvature gives no change", 0.0, 3.0, 0.0, 0.0, 0.0},
        {"negative alpha + A gives no change", 0.5, 3.0, -1.0, 0.0, 0.0},
    };
    for (const Case& c : cases) {
        const SingleFactorUpdate update = single_factor_update(c.a, c.b, c.alpha);
        EXPECT_NEAR(update.x, c.x, kTol) << c.name;
        EXPECT_NEAR(update.gain, c.gain, kTol) << c.name;
    }
}

TEST(PairedUpdateTest, HandComputedBranches) {
    struct Case {
        const char* name;
        double a, b, c, d, e;
        RefinementStrategy strategy;
        double x, y, gain;
    };
    const std::vector<Case> cases = {
        // M = [[2, .5], [.5, 3]], det 5.75: x = 11/23, y = 2/23, gain = d x + e y.
        {"rho 0, well conditioned", 2, 3, 0.5, 1, 0.5, strategy_with(0, 0, 0), 11.0 / 23, 2.0 / 23, 12.0 / 23},
        // alpha and tau on the diagonal, -tau off it: M = [[2.01, -1.01], [-1.01, 2.01]], det 3.02.
        {"alpha and tau", 1, 1, -1, 1, -1, strategy_with(1, 0.01, 0), 1 / 3.02, -1 / 3.02, 2 / 3.02},
        {"zero determinant", 1, 1, -1, 5, 2, strategy_with(0, 0, 0), 0, 0, 0},
        {"determinant overflows", 1e200, 1e200, 0, 5, 2, strategy_with(0, 0, 0), 0, 0, 0},
        // det about 1e-13 passes the determinant test but not the condition test.
        {"ill conditioned", 1, 1, -1 + 5e-14, 1e-3, 2e-3, strategy_with(0, 0, 0), 0, 0, 0},
        {"both clamped", 1, 1, 0, 100, -10, strategy_with(0, 0, 0), 19, -0.95,
         2 * (100 * 19 + 9.5) - (361 + 0.9025)},
        // rho 0.5, h = 0.25: (d - h, e + h) = (1.75, 0.25) keeps x > y.
        {"rho, x above y", 1, 1, 0, 2, 0, strategy_with(0, 0, 0.5), 1.75, 0.25, 3.125},
        // (d - h, e + h) = (-0.25, 2.25) fails, (d + h, e - h) = (0.25, 1.75) holds y > x.
        {"rho, y above x", 1, 1, 0, 0, 2, strategy_with(0, 0, 0.5), 0.25, 1.75, 3.125},
        // Neither side solution keeps its sign: projection of (1.1, 1) onto x = y
        // along M^-1 (1, -1) = (1, -1) gives (1.05, 1.05).
        {"rho, projection onto x = y", 1, 1, 0, 1.1, 1, strategy_with(0, 0, 0.5), 1.05, 1.05, 2.205},
        // M = [[1, -2], [-2, 3]]: M^-1 (1, -1) = (-1, -1), no direction to project along.
        {"rho, degenerate projection", 1, 3, -2, 0, 0, strategy_with(0, 0, 0.5), 0, 0, 0},
        // With rho the ill-conditioned system is solved anyway (no condition test).
        {"rho skips the condition test", 1, 1, -1 + 5e-14, 1, 0, strategy_with(0, 0, 0.5), 19, 19,
         2 * 19 - (361 + 2 * (-1 + 5e-14) * 361 + 361)},
    };
    for (const Case& c : cases) {
        const PairedUpdate update = paired_update(c.a, c.b, c.c, c.d, c.e, c.strategy);
        EXPECT_NEAR(update.x, c.x, 1e-9) << c.name;
        EXPECT_NEAR(update.y, c.y, 1e-9) << c.name;
        EXPECT_NEAR(update.gain, c.gain, 1e-9) << c.name;
    }
}

TEST(PairedUpdateTest, NaNRhoCountsAsNonZeroAndProjects) {
    // Both side solves are NaN; the projection of (2, 0) onto x = y is (1, 1);
    // the penalty NaN * 0 makes the gain NaN.
    const PairedUpdate update = paired_update(1, 1, 0, 2, 0, strategy_with(0, 0, kNaN));
    EXPECT_DOUBLE_EQ(update.x, 1.0);
    EXPECT_DOUBLE_EQ(update.y, 1.0);
    EXPECT_TRUE(std::isnan(update.gain));
}

TEST(SampleWeightTest, L2AndHuber) {
    RefinementStrategy huber;
    huber.kind = RefinementKind::Huber;
    EXPECT_EQ(sample_weight(RefinementStrategy{}, 100.0), 1.0);
    EXPECT_EQ(sample_weight(huber, 1.0), 1.0);
    EXPECT_EQ(sample_weight(huber, -1.345), 1.0);
    EXPECT_DOUBLE_EQ(sample_weight(huber, -2.69), 0.5);
    EXPECT_DOUBLE_EQ(sample_weight(huber, 13.45), 0.1);
}

TEST(InitializeRefinementTest, CoefficientsFromTheTargets) {
    RefinementStrategy huber;
    huber.kind = RefinementKind::Huber;
    const double w3 = 1.345 / 3.0;
    const double w2 = 1.345 / 2.0;
    struct Case {
        const char* name;
        std::vector<double> y;
        RefinementStrategy strategy;
        double lambda_plus, lambda_minus;
        bool single_mode;
    };
    const std::vector<Case> cases = {
        {"non-negative targets", {0.0, 2.0, 5.0, 1.0}, {}, 1.0, 0.0, true},
        {"L2 means of the two parts", {3.0, -1.0, 0.0, -2.0}, {}, 0.75, 0.75, false},
        {"Huber weighted means", {3.0, -1.0, 0.0, -2.0}, huber, w3 * 3.0 / (w3 + 1 + 1 + w2),
         (1.0 + w2 * 2.0) / (w3 + 1 + 1 + w2), false},
        {"tiny negative part is floored", {1.0, -4e-10, 2.0, 1.0}, {}, 1.0, 1e-10, true},
    };
    for (const Case& c : cases) {
        const Problem problem = columns_problem({{1, 2, 3, 4}}, c.y);
        const GridTensorState state = initialized_state(problem, c.strategy);
        EXPECT_NEAR(state.lambda_plus, c.lambda_plus, kTol) << c.name;
        EXPECT_NEAR(state.lambda_minus, c.lambda_minus, kTol) << c.name;
        EXPECT_EQ(single_component_mode(state), c.single_mode) << c.name;
        EXPECT_TRUE(state.stats_ready) << c.name;
        for (std::size_t i = 0; i < 4; ++i) {
            const SampleRecord& sample = state.samples[i];
            EXPECT_EQ(sample.f_plus, state.lambda_plus) << c.name;
            EXPECT_EQ(sample.f_minus, state.lambda_minus) << c.name;
            EXPECT_EQ(sample.residual, c.y[i] - (state.lambda_plus - state.lambda_minus)) << c.name;
            EXPECT_EQ(sample.target, c.y[i]) << c.name;
            const double r = sample.residual;
            const double w = sample_weight(c.strategy, r);
            const Stats5 expected = c.single_mode
                                        ? Stats5{w * state.lambda_plus * state.lambda_plus, 0, 0,
                                                 w * r * state.lambda_plus, 0}
                                        : Stats5{w * state.lambda_plus * state.lambda_plus,
                                                 w * state.lambda_minus * state.lambda_minus,
                                                 w * state.lambda_plus * state.lambda_minus, w * r * state.lambda_plus,
                                                 w * r * state.lambda_minus};
            EXPECT_EQ(sample_products(c.strategy, sample, c.single_mode), expected) << c.name << " sample " << i;
        }
    }
}

TEST(InitializeRefinementTest, HandComputedSingleComponentCandidates) {
    // lambda_plus = 1, residuals (0, 1, 3) in sorted order; the only candidate
    // of three positions is 1: left {A 1, B 0} -> x 0; right {A 2, B 4} ->
    // x = clamp(3) - 1 = 2, gain 2*2*4 - 2*4 = 8.
    const Problem problem = columns_problem({{2.0, 0.0, 1.0}}, {4.0, 1.0, 2.0});
    const RefinementStrategy strategy{};
    const GridTensorState state = initialized_state(problem, strategy);
    EXPECT_EQ(state.sorted_order(0), (std::vector<std::size_t>{1, 2, 0}));
    EXPECT_TRUE(std::isnan(split_candidate(strategy, state, 0, 0, true).gain));
    EXPECT_TRUE(std::isnan(split_candidate(strategy, state, 0, 2, true).gain));
    EXPECT_EQ(split_candidate(strategy, state, 0, 1, true), (SplitCandidate{{0.0, 0.0}, {2.0, 0.0}, 8.0}));
    EXPECT_EQ(state.interval_stats[0][0].count, 3u);
    EXPECT_EQ(state.interval_stats[0][0].sums, (Stats5{3.0, 0.0, 0.0, 4.0, 0.0}));
    EXPECT_FALSE(state.guard_nan_gains);
}

TEST(InitializeRefinementTest, HandComputedPairedCandidate) {
    // y = (-1, 1, 3): lambda_plus = 4/3, lambda_minus = 1/3, prediction 1,
    // residuals (-2, 0, 2). Candidate 1 solves each side with paired_update
    // on its sums: a = w p^2, b = w m^2, c = -w p m, d = w r p, e = -w r m.
    const Problem problem = columns_problem({{0.0, 1.0, 2.0}}, {-1.0, 1.0, 3.0});
    const RefinementStrategy strategy = strategy_with(0.5, 0.01, 0.0);
    const GridTensorState state = initialized_state(problem, strategy);
    const double p = 4.0 / 3.0;
    const double m = 1.0 / 3.0;
    const PairedUpdate left = paired_update(p * p, m * m, -p * m, -2 * p, 2 * m, strategy);
    const PairedUpdate right = paired_update(2 * p * p, 2 * m * m, -2 * p * m, 2 * p, -2 * m, strategy);
    const SplitCandidate candidate = split_candidate(strategy, state, 0, 1, false);
    EXPECT_NEAR(candidate.gain, left.gain + right.gain, kTol);
    EXPECT_NEAR(candidate.left.x, left.x, kTol);
    EXPECT_NEAR(candidate.left.y, left.y, kTol);
    EXPECT_NEAR(candidate.right.x, right.x, kTol);
    EXPECT_NEAR(candidate.right.y, right.y, kTol);
    // The sign structure: the left side wants less f+ and more f-.
    EXPECT_LT(candidate.left.x, 0.0);
    EXPECT_GT(candidate.right.x, 0.0);
}

TEST(InitializeRefinementTest, TiesAndIntervalEndsAreNeverCandidates) {
    // Sorted values 1, 1, 2, 3, 3, 3, 4: ties at positions 1, 4, 5; ends 0, 6.
    const Problem problem = columns_problem({{3, 1, 3, 2, 1, 4, 3}}, {1, 2, 3, 4, 5, 6, 7});
    const RefinementStrategy strategy{};
    const GridTensorState state = initialized_state(problem, strategy);
    const std::vector<bool> candidate = {false, false, true, true, false, false, false};
    for (std::size_t q = 0; q < candidate.size(); ++q) {
        EXPECT_EQ(!state.cut_excluded(0, q), candidate[q]) << q;
        const SplitCandidate entry = split_candidate(strategy, state, 0, q, true);
        EXPECT_EQ(!std::isnan(entry.gain), candidate[q]) << q;
        EXPECT_EQ(!std::isnan(entry.left.x), candidate[q]) << q;
    }
}

TEST(InitializeRefinementTest, ConstantFeatureHasNoCandidate) {
    const Problem problem = columns_problem({{5, 5, 5, 5, 5}}, {1, -2, 3, 0, 1});
    const RefinementStrategy strategy{};
    const GridTensorState state = initialized_state(problem, strategy);
    for (std::size_t q = 0; q < 5; ++q) {
        EXPECT_TRUE(state.cut_excluded(0, q)) << q;
        EXPECT_TRUE(std::isnan(split_candidate(strategy, state, 0, q, false).gain)) << q;
    }
}

TEST(InitializeRefinementTest, ASingleSampleKeepsItsUntouchedEntry) {
    // One position is never reached by an interval computation: it stays a
    // candidate with gain 0 and no changes, as it started.
    const Problem problem = columns_problem({{1.0}}, {2.0});
    const RefinementStrategy strategy{};
    const GridTensorState state = initialized_state(problem, strategy);
    const SplitCandidate entry = split_candidate(strategy, state, 0, 0, true);
    EXPECT_EQ(entry.gain, 0.0);
    EXPECT_TRUE(std::isnan(entry.left.x) && std::isnan(entry.right.y));
}

TEST(InitializeRefinementTest, SuppliedOrdersGiveTheSameStateAsSortingItself) {
    const Problem problem = testing::random_problem(3, 100, 3, true, false);
    const RefinementStrategy strategy{};
    const GridTensorState own = initialized_state(problem, strategy);
    GridTensorState shared(problem.x_view(), problem.y_view(), sort_features(problem.x_view()));
    initialize_refinement(strategy, shared);
    for (std::size_t j = 0; j < 3; ++j) {
        EXPECT_EQ(shared.sorted_order(j), own.sorted_order(j));
        EXPECT_EQ(shared.checkpoints[j], own.checkpoints[j]);
        EXPECT_EQ(shared.interval_stats[j], own.interval_stats[j]);
        for (std::size_t q = 0; q < 100; ++q) {
            const double a = split_candidate(strategy, shared, j, q, false).gain;
            const double b = split_candidate(strategy, own, j, q, false).gain;
            EXPECT_TRUE((std::isnan(a) && std::isnan(b)) || a == b) << j << " " << q;
        }
    }
}

TEST(StateCandidatesTest, TheWalkAlongRunsAndTheCuttableRunsAgreeWithSinglePositions) {
    // Runs with gaps longer and shorter than the checkpoint spacing, and
    // positions across interval boundaries, in a paired and a binned state.
    const RefinementStrategy strategy = strategy_with(0.5, 0.01, 0.05);
    for (const bool binned : {false, true}) {
        // Ties (skipped positions inside the runs) when exact; when binned,
        // 40 bins of 7 or 8 samples and cuts on two of their boundaries.
        const Problem problem = testing::random_problem(5, 300, 2, !binned, false);
        GridTensorState state(problem.x_view(), problem.y_view(), nullptr,
                              binned ? bin_features(problem.x_view(), 40) : nullptr);
        initialize_refinement(strategy, state);
        state.split_positions[1] = binned ? std::vector<std::size_t>{105, 172} : std::vector<std::size_t>{100, 170};
        state.backbone[1] = {1.0, 1.0, 1.0};
        state.tilt[1] = {0.0, 0.0, 0.0};
        state.interval_stats[1].resize(3);
        state.resplit_score[1].resize(2);
        state.resplit_left_update[1].resize(2);
        state.resplit_right_update[1].resize(2);
        state.resplit_side_gains[1].resize(2);
        if (binned) {
            refresh_binned_statistics(strategy, state);
        } else {
            refine_after_move(strategy, state, 1, 0, 300);
        }
        const std::vector<CandidateRun> runs = {{1, 5}, {20, 90}, {160, 20}, {250, 49}};
        const StateCandidates candidates(strategy, state);
        for (std::size_t j = 0; j < 2; ++j) {
            std::vector<std::size_t> visited;
            candidates.for_each_in_runs(j, runs, [&](std::size_t q, std::size_t run, const SplitCandidate& got) {
                visited.push_back(q);
                EXPECT_TRUE(q >= runs[run].start && q < runs[run].start + runs[run].length) << q;
                EXPECT_EQ(got, candidates.at(j, q)) << "feature " << j << " position " << q;
            });
            std::vector<std::size_t> expected;
            for (const CandidateRun& run : runs) {
                for (std::size_t q = run.start; q < run.start + run.length; ++q) {
                    if (candidates.may_cut(j, q)) {
                        expected.push_back(q);
                    }
                }
            }
            EXPECT_EQ(visited, expected) << "feature " << j << (binned ? " binned" : "");
            EXPECT_FALSE(expected.empty());
            // The one-scan runs agree with the runs of may_cut.
            EXPECT_EQ(candidates.cuttable_runs(j, 300), candidates.SplitCandidates::cuttable_runs(j, 300))
                << "feature " << j << (binned ? " binned" : "");
        }
    }
}

TEST(GuardNaNGainsTest, OverflowingStatisticsMarkTheirNaNGainsAtInitialisation) {
    struct Case {
        const char* name;
        double scale;
        RefinementStrategy strategy;
        bool guarded;
        bool all_nan;
    };
    RefinementStrategy nan_rho;
    nan_rho.tilt_rho = kNaN;
    RefinementStrategy huge_alpha;
    huge_alpha.alpha = 1e250;
    const std::vector<Case> cases = {
        {"ordinary", 1.0, {}, false, false},
        {"huge but summable", 1e150, {}, true, false},
        {"squares overflow", 1e160, {}, true, true},
        {"NaN rho", 1.0, nan_rho, true, true},
        {"huge alpha", 1.0, huge_alpha, true, false},
    };
    for (const Case& c : cases) {
        Problem problem = testing::random_problem(8, 60, 2, false, false);
        for (double& target : problem.y) {
            target *= c.scale;
        }
        const GridTensorState state = initialized_state(problem, c.strategy);
        EXPECT_EQ(state.guard_nan_gains, c.guarded) << c.name;
        std::size_t marked = 0;
        std::size_t candidates = 0;
        for (std::size_t j = 0; j < 2; ++j) {
            for (std::size_t q = 1; q + 1 < 60; ++q) {
                const double gain = split_candidate(c.strategy, state, j, q, false).gain;
                const bool nan_marked = state.guard_nan_gains && state.nan_gain[j][q] != 0;
                // Excluded exactly where a gain is NaN.
                EXPECT_EQ(state.cut_excluded(j, q), std::isnan(gain)) << c.name << " " << j << " " << q;
                marked += nan_marked ? 1 : 0;
                candidates += std::isnan(gain) ? 0 : 1;
            }
        }
        EXPECT_EQ(candidates == 0, c.all_nan) << c.name;
        EXPECT_EQ(marked > 0, c.all_nan) << c.name;
    }
}

TEST(InitializeRefinementTest, RejectsOrdersOfAnotherShape) {
    const Problem problem = testing::random_problem(3, 10, 2, false, false);
    const Problem other = testing::random_problem(3, 11, 2, false, false);
    GridTensorState state(problem.x_view(), problem.y_view(), sort_features(other.x_view()));
    EXPECT_THROW(initialize_refinement(RefinementStrategy{}, state), InternalError);
}

}  // namespace
}  // namespace zun
