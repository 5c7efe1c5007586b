#include "grid_tensor/refinement.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "error.hpp"
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
            EXPECT_EQ(state.f_plus[i], state.lambda_plus) << c.name;
            EXPECT_EQ(state.f_minus[i], state.lambda_minus) << c.name;
            EXPECT_EQ(state.residual[i], c.y[i] - (state.lambda_plus - state.lambda_minus)) << c.name;
            EXPECT_EQ(state.residual_snapshot[i], state.residual[i]) << c.name;
            const double r = state.residual[i];
            const double w = sample_weight(c.strategy, r);
            const Stats5 expected = c.single_mode
                                        ? Stats5{w * state.lambda_plus * state.lambda_plus, 0, 0,
                                                 w * r * state.lambda_plus, 0}
                                        : Stats5{w * state.lambda_plus * state.lambda_plus,
                                                 w * state.lambda_minus * state.lambda_minus,
                                                 w * state.lambda_plus * state.lambda_minus, w * r * state.lambda_plus,
                                                 w * r * state.lambda_minus};
            EXPECT_EQ(state.sample_stats[i], expected) << c.name << " sample " << i;
        }
    }
}

TEST(InitializeRefinementTest, HandComputedSingleComponentCandidates) {
    // lambda_plus = 1, residuals (0, 1, 3) in sorted order; the only candidate
    // of three positions is 1: left {A 1, B 0} -> x 0; right {A 2, B 4} ->
    // x = clamp(3) - 1 = 2, gain 2*2*4 - 2*4 = 8.
    const Problem problem = columns_problem({{2.0, 0.0, 1.0}}, {4.0, 1.0, 2.0});
    const GridTensorState state = initialized_state(problem, RefinementStrategy{});
    EXPECT_EQ(state.sorted_order(0), (std::vector<std::size_t>{1, 2, 0}));
    EXPECT_TRUE(std::isnan(state.split_gain[0][0]));
    EXPECT_TRUE(std::isnan(state.split_gain[0][2]));
    EXPECT_DOUBLE_EQ(state.split_gain[0][1], 8.0);
    EXPECT_EQ(state.left_update[0][1], (UpdatePair{0.0, 0.0}));
    EXPECT_EQ(state.right_update[0][1], (UpdatePair{2.0, 0.0}));
    EXPECT_EQ(state.side_gains[0][1], (UpdatePair{0.0, 8.0}));
    EXPECT_EQ(state.interval_stats[0][0].count, 3u);
    EXPECT_EQ(state.interval_stats[0][0].sums, (Stats5{3.0, 0.0, 0.0, 4.0, 0.0}));
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
    EXPECT_NEAR(state.split_gain[0][1], left.gain + right.gain, kTol);
    EXPECT_NEAR(state.left_update[0][1].x, left.x, kTol);
    EXPECT_NEAR(state.left_update[0][1].y, left.y, kTol);
    EXPECT_NEAR(state.right_update[0][1].x, right.x, kTol);
    EXPECT_NEAR(state.right_update[0][1].y, right.y, kTol);
    // The sign structure: the left side wants less f+ and more f-.
    EXPECT_LT(state.left_update[0][1].x, 0.0);
    EXPECT_GT(state.right_update[0][1].x, 0.0);
}

TEST(InitializeRefinementTest, TiesAndIntervalEndsAreNeverCandidates) {
    // Sorted values 1, 1, 2, 3, 3, 3, 4: ties at positions 1, 4, 5; ends 0, 6.
    const Problem problem = columns_problem({{3, 1, 3, 2, 1, 4, 3}}, {1, 2, 3, 4, 5, 6, 7});
    const GridTensorState state = initialized_state(problem, RefinementStrategy{});
    const std::vector<bool> candidate = {false, false, true, true, false, false, false};
    for (std::size_t q = 0; q < candidate.size(); ++q) {
        EXPECT_EQ(!std::isnan(state.split_gain[0][q]), candidate[q]) << q;
        EXPECT_EQ(!std::isnan(state.left_update[0][q].x), candidate[q]) << q;
    }
}

TEST(InitializeRefinementTest, ConstantFeatureHasNoCandidate) {
    const Problem problem = columns_problem({{5, 5, 5, 5, 5}}, {1, -2, 3, 0, 1});
    const GridTensorState state = initialized_state(problem, RefinementStrategy{});
    for (const double gain : state.split_gain[0]) {
        EXPECT_TRUE(std::isnan(gain));
    }
}

TEST(InitializeRefinementTest, SuppliedOrdersGiveTheSameStateAsSortingItself) {
    const Problem problem = testing::random_problem(3, 40, 3, true, false);
    const GridTensorState own = initialized_state(problem, RefinementStrategy{});
    GridTensorState shared(problem.x_view(), problem.y_view(), sort_features(problem.x_view()));
    initialize_refinement(RefinementStrategy{}, shared);
    for (std::size_t j = 0; j < 3; ++j) {
        EXPECT_EQ(shared.sorted_order(j), own.sorted_order(j));
        EXPECT_EQ(shared.prefix_stats[j], own.prefix_stats[j]);
        for (std::size_t q = 0; q < 40; ++q) {
            const double a = shared.split_gain[j][q];
            const double b = own.split_gain[j][q];
            EXPECT_TRUE((std::isnan(a) && std::isnan(b)) || a == b) << j << " " << q;
        }
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
