#include "stage_predictor/combine_grids.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "error.hpp"
#include "grid_tensor.hpp"
#include "grid_tensor_builder.hpp"
#include "logging/simple.hpp"
#include "matrix_view.hpp"

namespace zun {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();


// One row per combination of the given values, over `features` columns.
std::vector<double> all_rows(const std::vector<double>& values, std::size_t features) {
    std::vector<double> rows;
    std::size_t count = 1;
    for (std::size_t j = 0; j < features; ++j) {
        count *= values.size();
    }
    for (std::size_t r = 0; r < count; ++r) {
        std::size_t rest = r;
        for (std::size_t j = 0; j < features; ++j) {
            rows.push_back(values[rest % values.size()]);
            rest /= values.size();
        }
    }
    return rows;
}

std::vector<double> predict_rows(const GridTensor& model, const std::vector<double>& rows, std::size_t features) {
    return predict(model, MatrixView::contiguous(rows.data(), rows.size() / features, features));
}

void expect_all_near(const std::vector<double>& actual, const std::vector<double>& expected, double tolerance) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        EXPECT_NEAR(actual[i], expected[i], tolerance) << "entry " << i;
    }
}

std::string captured_warnings(const std::function<void()>& action) {
    logging::install_simple_logger();
    logging::set_max_level(logging::Level::Warn);
    ::testing::internal::CaptureStdout();
    action();
    const std::string output = ::testing::internal::GetCapturedStdout();
    logging::set_max_level(logging::Level::Off);
    return output;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

TEST(CombineGridsUnion, SplitsAreSortedAndCloseClustersKeepTheirSmallestPoint) {
    struct Case {
        const char* name;
        std::vector<double> points;
        std::vector<double> expected;
    };
    const std::vector<Case> cases = {
        {"no points", {}, {}},
        {"unsorted distinct", {3.0, -1.0, 2.0}, {-1.0, 2.0, 3.0}},
        {"exact duplicates from two inputs", {1.0, 2.0, 1.0}, {1.0, 2.0}},
        {"larger near-duplicate given first", {1.0 + 1e-13, 1.0}, {1.0}},
        // Each point is compared with the last kept one, not its neighbour.
        {"chain below tolerance", {0.0, 0.6e-12, 1.2e-12}, {0.0, 1.2e-12}},
        {"exactly the tolerance apart", {0.0, 1e-12}, {0.0, 1e-12}},
        {"infinite points", {inf, 0.0, -inf, inf}, {-inf, 0.0, inf}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(union_splits(c.points), c.expected);
    }
}

TEST(CombineGridsUnion, NanSplitPointIsRejected) {
    EXPECT_THROW(union_splits({1.0, nan}), FitError);
    const GridTensor plain = grid_tensor({{{}, {1.0}, {0.0}}, {{2.0}, {1.0, 1.0}, {0.0, 0.0}}});
    const GridTensor with_nan = grid_tensor({{{}, {1.0}, {0.0}}, {{nan}, {1.0, 1.0}, {0.0, 0.0}}});
    try {
        combine_grids({plain, with_nan});
        ADD_FAILURE() << "no error";
    } catch (const FitError& error) {
        EXPECT_EQ(std::string(error.what()), "Cannot build the union grid of feature 1: a split point is NaN and cannot be ordered");
    }
}

TEST(CombineGridsUnion, IntervalsRunFromMinusToPlusInfinityThroughEverySplit) {
    EXPECT_EQ(union_intervals({}), (std::vector<Interval>{{-inf, inf}}));
    EXPECT_EQ(union_intervals({1.0, 2.0}), (std::vector<Interval>{{-inf, 1.0}, {1.0, 2.0}, {2.0, inf}}));
}

TEST(CombineGrids, EmptyInputGivesEmptyOutput) { EXPECT_TRUE(combine_grids({}).empty()); }

TEST(CombineGrids, AlignedValuesRepeatTheParentIntervalsValues) {
    const GridTensor coarse = grid_tensor({{{1.0}, {2.0, 3.0}, {0.1, 0.2}}}, 1.5, 0.25);
    const GridTensor fine = grid_tensor({{{1.0, 2.0}, {4.0, 5.0, 6.0}, {-0.1, -0.2, -0.3}}}, 2.0, 0.5);

    const std::vector<GridTensor> aligned = combine_grids({coarse, fine});

    ASSERT_EQ(aligned.size(), 2u);
    const std::vector<std::vector<double>> union_grid = {{1.0, 2.0}};
    const std::vector<std::vector<Interval>> union_cells = {{{-inf, 1.0}, {1.0, 2.0}, {2.0, inf}}};
    for (const GridTensor& a : aligned) {
        EXPECT_EQ(a.splits, union_grid);
        EXPECT_EQ(a.intervals, union_cells);
        EXPECT_EQ(a.observation_counts, (std::vector<std::vector<std::uint64_t>>{{0, 0, 0}}));
        EXPECT_EQ(a.scaling, 1.0);
    }
    EXPECT_EQ(aligned[0].backbone_values, (std::vector<std::vector<double>>{{2.0, 3.0, 3.0}}));
    EXPECT_EQ(aligned[0].tilt_values, (std::vector<std::vector<double>>{{0.1, 0.2, 0.2}}));
    EXPECT_EQ(aligned[0].lambda_plus, 1.5);
    EXPECT_EQ(aligned[0].lambda_minus, 0.25);
    EXPECT_EQ(aligned[1].backbone_values, fine.backbone_values);
    EXPECT_EQ(aligned[1].tilt_values, fine.tilt_values);
    EXPECT_EQ(aligned[1].lambda_plus, 2.0);
    EXPECT_EQ(aligned[1].lambda_minus, 0.5);
}

TEST(CombineGrids, FeatureCutByNoInputKeepsTheSingleInterval) {
    const GridTensor a = grid_tensor({{{0.0}, {1.0, 2.0}, {0.0, 0.0}}, {{}, {3.0}, {0.4}}});
    const GridTensor b = grid_tensor({{{5.0}, {1.0, 2.0}, {0.0, 0.0}}, {{}, {6.0}, {-0.4}}});

    const std::vector<GridTensor> aligned = combine_grids({a, b});

    ASSERT_EQ(aligned.size(), 2u);
    EXPECT_TRUE(aligned[0].splits[1].empty());
    EXPECT_EQ(aligned[0].intervals[1], (std::vector<Interval>{{-inf, inf}}));
    EXPECT_EQ(aligned[0].backbone_values[1], std::vector<double>{3.0});
    EXPECT_EQ(aligned[1].tilt_values[1], std::vector<double>{-0.4});
    EXPECT_EQ(aligned[1].splits[0], (std::vector<double>{0.0, 5.0}));
}

TEST(CombineGrids, AlignedTensorPredictsExactlyLikeItsInput) {
    const std::vector<GridTensor> inputs = {
        grid_tensor({{{1.0}, {2.0, 0.5}, {0.3, -0.2}}, {{0.0, 2.5}, {1.0, 1.5, 0.8}, {0.0, 0.7, -0.4}}}, 1.2, 0.9),
        grid_tensor({{{1.0, 2.0}, {0.7, 1.1, 1.9}, {-0.5, 0.1, 0.6}}, {{}, {1.3}, {0.2}}}, 0.8, 1.4),
        grid_tensor({{{-3.0}, {1.6, 0.4}, {0.9, -0.9}}, {{2.5}, {0.6, 2.2}, {-0.1, 0.3}}}, 2.0, 0.3),
    };
    const std::vector<double> rows = all_rows({-inf, -3.0, -1.0, 0.0, 1.0, 1.5, 2.0, 2.5, 3.0, inf, nan}, 2);

    const std::vector<GridTensor> aligned = combine_grids(inputs);

    ASSERT_EQ(aligned.size(), inputs.size());
    for (std::size_t g = 0; g < inputs.size(); ++g) {
        SCOPED_TRACE("input " + std::to_string(g));
        EXPECT_EQ(aligned[g].splits[0], (std::vector<double>{-3.0, 1.0, 2.0}));
        EXPECT_EQ(predict_rows(aligned[g], rows, 2), predict_rows(inputs[g], rows, 2));
    }
}

TEST(CombineGrids, NearDuplicateSplitLeavesNoParentAndFallsBackToTheNeutralPair) {
    const GridTensor exact = grid_tensor({{{1.0}, {2.0, 3.0}, {0.1, 0.2}}});
    const GridTensor shifted = grid_tensor({{{1.0 + 1e-13}, {4.0, 5.0}, {0.3, 0.4}}});
    std::vector<GridTensor> aligned;

    const std::string log = captured_warnings([&] { aligned = combine_grids({exact, shifted}); });

    ASSERT_EQ(aligned.size(), 2u);
    EXPECT_EQ(aligned[1].splits[0], std::vector<double>{1.0});
    EXPECT_EQ(aligned[0].backbone_values[0], (std::vector<double>{2.0, 3.0}));
    EXPECT_EQ(aligned[1].backbone_values[0], (std::vector<double>{4.0, 1.0}));
    EXPECT_EQ(aligned[1].tilt_values[0], (std::vector<double>{0.3, 0.0}));
    EXPECT_EQ(occurrences(log, "[zun::stage_predictor::combine_grids] [WARN] Could not find parent interval for "
                               "union interval [1, inf)\n"),
              1u)
        << log;
    EXPECT_EQ(occurrences(log, "Could not find parent interval"), 1u) << log;
}

TEST(CombineGrids, InputWithFewerFeaturesThanTheFirstIsRejected) {
    const GridTensor two = grid_tensor({{{1.0}, {1.0, 1.0}, {0.0, 0.0}}, {{}, {1.0}, {0.0}}});
    const GridTensor one = grid_tensor({{{1.0}, {1.0, 1.0}, {0.0, 0.0}}});
    EXPECT_THROW(combine_grids({two, one}), InternalError);
    EXPECT_EQ(combine_grids({one, two}).front().splits.size(), 1u);
}

TEST(CombineGridsClampedLog, FloorsAndLimitsTheLogarithm) {
    struct Case {
        double value;
        double expected;
    };
    const std::vector<Case> cases = {
        {1.0, 0.0},        {std::exp(2.0), 2.0}, {1e-10, -log_limit}, {1e-20, -log_limit}, {0.0, -log_limit},
        {-5.0, -log_limit}, {1e20, log_limit},   {inf, log_limit},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_NEAR(clamped_log(c.value), c.expected, 1e-12);
    }
    EXPECT_DOUBLE_EQ(log_limit, std::log(1e10));
}

// Aligned members on one feature with the single cut at 0; counts of zero
// leave the merged shapes as the geometric means made them.
GridTensor member(const std::vector<double>& backbone, const std::vector<double>& tilt, double lambda_plus = 1.0,
                  double lambda_minus = 1.0) {
    return combine_grids({grid_tensor({{{0.0}, backbone, tilt}}, lambda_plus, lambda_minus)}).front();
}

const IntervalCounts no_counts = {{0, 0}};

TEST(CombineGridsMerge, OppositeFactorsMeetAtTheirGeometricMean) {
    // F+ = 4 and 1, F- = 1 and 4 in the first cell; P = M = 2.
    const GridTensor up = member({2.0, 1.0}, {std::log(2.0), 0.0});
    const GridTensor down = member({2.0, 1.0}, {-std::log(2.0), 0.0});

    const GridTensor merged = merge_aligned_grids({up, down}, no_counts);

    EXPECT_NEAR(merged.backbone_values[0][0], 2.0, 1e-12);
    EXPECT_NEAR(merged.tilt_values[0][0], 0.0, 1e-12);
    EXPECT_NEAR(merged.backbone_values[0][1], 1.0, 1e-12);
}

TEST(CombineGridsMerge, SingleMemberReproducesItsValuesAndCoefficients) {
    const GridTensor only = member({0.5, 2.0}, {0.3, -0.7}, 3.0, 0.25);
    const IntervalCounts counts = {{0, 0}};

    const GridTensor merged = merge_aligned_grids({only}, counts);

    expect_all_near(merged.backbone_values[0], {0.5, 2.0}, 1e-12);
    expect_all_near(merged.tilt_values[0], {0.3, -0.7}, 1e-12);
    EXPECT_NEAR(merged.lambda_plus, 3.0, 1e-12);
    EXPECT_NEAR(merged.lambda_minus, 0.25, 1e-12);
    EXPECT_EQ(merged.splits, only.splits);
    EXPECT_EQ(merged.intervals, only.intervals);
    EXPECT_EQ(merged.observation_counts, counts);
    EXPECT_EQ(merged.scaling, 1.0);
}

TEST(CombineGridsMerge, ExtremeFactorsAreFlooredAndClampedToFiniteValues) {
    const double half_limit = 0.5 * log_limit;
    struct Case {
        const char* name;
        double backbone;
        double tilt;
        double expected_backbone;
        double expected_tilt;
    };
    // ln F+ and ln F- hit the log limits, so P' / M' = 1e20 and the ratio
    // limit halves the tilt.
    const std::vector<Case> cases = {
        {"tilt 80", 1.0, 80.0, 1.0, half_limit},
        {"tilt -80", 1.0, -80.0, 1.0, -half_limit},
        {"tilt past exp overflow", 1.0, 1000.0, 1.0, half_limit},
        {"infinite tilt", 1.0, inf, 1.0, half_limit},
        {"zero backbone", 0.0, 0.0, 1e-10, 0.0},
        {"negative backbone", -3.0, 0.0, 1e-10, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const GridTensor merged = merge_aligned_grids({member({c.backbone, 1.0}, {c.tilt, 0.0})}, no_counts);
        EXPECT_NEAR(merged.backbone_values[0][0], c.expected_backbone, 1e-12 * c.expected_backbone);
        EXPECT_NEAR(merged.tilt_values[0][0], c.expected_tilt, 1e-12);
    }
}

TEST(CombineGridsMerge, ShapesAreIdentifiedButCoefficientsStayTheMembers) {
    // Count-weighted RMS of backbone 2 and mean tilt 2 are taken out of the
    // shapes; the coefficients do not absorb them.
    const GridTensor only = member({2.0, 2.0}, {1.0, 3.0}, 3.0, 0.5);

    const GridTensor merged = merge_aligned_grids({only}, {{1, 1}});

    expect_all_near(merged.backbone_values[0], {1.0, 1.0}, 1e-12);
    expect_all_near(merged.tilt_values[0], {-1.0, 1.0}, 1e-12);
    EXPECT_NEAR(merged.lambda_plus, 3.0, 1e-12);
    EXPECT_NEAR(merged.lambda_minus, 0.5, 1e-12);
}

TEST(CombineGridsMerge, IdenticalIdentifiedMembersGiveTheSameFunction) {
    // Already identified for the counts below: 3 * 0.8^2 + 2.08 = 4 and
    // 3 * 0.1 - 0.3 = 0, so the merge may not change what it computes.
    const GridTensor source =
        grid_tensor({{{0.0}, {0.8, std::sqrt(2.08)}, {0.1, -0.3}}, {{-1.0, 1.0}, {1.0, 1.0, 1.0}, {0.2, -0.2, 0.0}}},
                    1.7, 0.6);
    const IntervalCounts counts = {{3, 1}, {2, 2, 5}};
    const std::vector<GridTensor> aligned = combine_grids({source, source, source});
    const std::vector<double> rows = all_rows({-2.0, -1.0, 0.0, 0.5, 1.0, 3.0}, 2);

    const GridTensor merged = merge_aligned_grids(aligned, counts);

    EXPECT_EQ(merged.observation_counts, counts);
    expect_all_near(predict_rows(merged, rows, 2), predict_rows(source, rows, 2), 1e-12);
}

TEST(CombineGridsMerge, CoefficientsAreClampedGeometricMeans) {
    const GridTensor a = member({1.0, 1.0}, {0.0, 0.0}, 2.0, 1e-20);
    const GridTensor b = member({1.0, 1.0}, {0.0, 0.0}, 8.0, 1.0);

    const GridTensor merged = merge_aligned_grids({a, b}, no_counts);

    EXPECT_NEAR(merged.lambda_plus, 4.0, 1e-12);
    // 1e-20 enters as its floor 1e-10.
    EXPECT_NEAR(merged.lambda_minus, 1e-5, 1e-17);
}

TEST(CombineGridsWeightedMerge, WeightsPullTheMeansTowardsHeavierMembers) {
    const GridTensor a = member({2.0, 1.0}, {0.0, 0.0}, 2.0, 1.0);
    const GridTensor b = member({32.0, 1.0}, {0.0, 0.0}, 8.0, 1.0);

    const GridTensor merged = merge_weighted_grids({a, b}, {3.0, 1.0}, no_counts);

    // (3 ln 2 + ln 32) / 4 = 2 ln 2; (3 ln 2 + ln 8) / 4 = 1.5 ln 2.
    EXPECT_NEAR(merged.backbone_values[0][0], 4.0, 1e-12);
    EXPECT_NEAR(merged.lambda_plus, std::pow(2.0, 1.5), 1e-12);
    EXPECT_NEAR(geometric_mean_of_lambdas({2.0, 8.0}, {3.0, 1.0}), std::pow(2.0, 1.5), 1e-12);
}

TEST(CombineGridsGuards, FailWithTheirMessage) {
    const GridTensor one = member({1.0, 1.0}, {0.0, 0.0});
    struct Case {
        const char* name;
        std::function<void()> call;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"merge of no grids", [] { merge_aligned_grids({}, no_counts); }, "Cannot combine empty candidate grids"},
        {"weighted merge of no grids", [] { merge_weighted_grids({}, {}, no_counts); },
         "Cannot combine empty candidate grids"},
        {"weights summing to zero", [&] { merge_weighted_grids({one, one}, {1.0, -1.0}, no_counts); },
         "Total weight must be positive"},
        {"negative weight", [&] { merge_weighted_grids({one}, {-2.0}, no_counts); },
         "Total weight must be positive"},
        {"no lambdas", [] { geometric_mean_of_lambdas({}, {}); }, "Cannot combine empty lambda list"},
        {"zero lambda weight", [] { geometric_mean_of_lambdas({2.0}, {0.0}); }, "Total weight must be positive"},
        {"NaN lambda weight", [] { geometric_mean_of_lambdas({2.0}, {nan}); }, "Total weight must be positive"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            c.call();
            ADD_FAILURE() << "no error";
        } catch (const FitError& error) {
            EXPECT_EQ(std::string(error.what()), c.message);
        }
    }
}

TEST(CombineGridsGuards, MismatchedShapesAreRejected) {
    const GridTensor one = member({1.0, 1.0}, {0.0, 0.0});
    GridTensor short_member = one;
    short_member.tilt_values[0].pop_back();
    EXPECT_THROW(merge_aligned_grids({one, short_member}, no_counts), InternalError);
    EXPECT_THROW(merge_weighted_grids({one}, {1.0, 1.0}, no_counts), InternalError);
}

}  // namespace
}  // namespace zun
