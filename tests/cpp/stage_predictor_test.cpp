#include "stage_predictor.hpp"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "error.hpp"
#include "grid_tensor.hpp"
#include "matrix_view.hpp"

namespace zun {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// One feature: x < 0 gives (f+, f-) = (1.5 * 2, 0.5 * 2) = (3, 1);
// x >= 0 gives (1.5 * 3 * 2, 0.5 * 3 / 2) = (9, 0.75).
GridTensor one_feature_record() {
    GridTensor gt;
    gt.splits = {{0.0}};
    gt.backbone_values = {{2.0, 3.0}};
    gt.tilt_values = {{0.0, std::log(2.0)}};
    gt.lambda_plus = 1.5;
    gt.lambda_minus = 0.5;
    return gt;
}

GridTensor two_feature_record() {
    GridTensor gt;
    gt.splits = {{-0.5, 0.5, 1.0}, {0.0}};
    gt.backbone_values = {{0.9, 1.2, 0.8, 1.1}, {1.3, 0.7}};
    gt.tilt_values = {{0.2, -0.1, 0.4, -0.3}, {0.15, -0.25}};
    gt.lambda_plus = 1.4;
    gt.lambda_minus = 0.8;
    return gt;
}

const std::vector<double> kTwoColumnRows = {
    -1.0, 0.0,   // thresholds of both features among the values
    -0.5, -2.0,  //
    0.5,  kNaN,  //
    1.0,  kInf,  //
    3.0,  -kInf, //
    kNaN, 0.3,   //
    0.7,  -0.1,  //
};

TEST(ComputeFPlusMinus, GivesBothComponentsPerRow) {
    const std::vector<double> x = {-1.0, 0.0, 2.0, kNaN};
    const Components components = compute_f_plus_minus(one_feature_record(), MatrixView::contiguous(x.data(), 4, 1));
    const std::vector<double> plus = {3.0, 9.0, 9.0, 3.0};
    const std::vector<double> minus = {1.0, 0.75, 0.75, 1.0};
    ASSERT_EQ(components.f_plus.size(), 4u);
    ASSERT_EQ(components.f_minus.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_NEAR(components.f_plus[i], plus[i], 1e-14) << "row " << i;
        EXPECT_NEAR(components.f_minus[i], minus[i], 1e-14) << "row " << i;
    }
}

TEST(ComputeFPlusMinus, DifferenceMatchesTheRecordsOwnPredictionExactly) {
    const GridTensor gt = two_feature_record();
    const auto x = MatrixView::contiguous(kTwoColumnRows.data(), kTwoColumnRows.size() / 2, 2);
    const Components components = compute_f_plus_minus(gt, x);
    const auto predicted = predict(gt, x);
    for (std::size_t i = 0; i < predicted.size(); ++i) {
        EXPECT_EQ(components.f_plus[i] - components.f_minus[i], predicted[i]) << "row " << i;
    }
}

TEST(ComputeFPlusMinus, EveryRowIsTheColumnOrderProductForAnyThreadCount) {
    // Rows enough for several parallel blocks; the clamp is exercised by a
    // threshold list longer than the backbone list.
    GridTensor gt = two_feature_record();
    gt.splits[1] = {0.0, 0.5};
    const std::size_t rows = 2 * prediction_block_rows + 3;
    std::vector<double> x(2 * rows);
    for (std::size_t i = 0; i < x.size(); ++i) {
        x[i] = std::sin(0.37 * static_cast<double>(i)) * 1.5;
    }
    const auto view = MatrixView::contiguous(x.data(), rows, 2);
    StagePredictor stage;
    stage.primary_grid_tensor = gt;
    stage.scaling_plus = 1.7;
    stage.scaling_minus = 0.3;
    for (const int threads : {1, 3}) {
        omp_set_num_threads(threads);
        const Components components = compute_f_plus_minus(gt, view);
        const std::vector<double> predicted = predict(stage, view);
        for (std::size_t i = 0; i < rows; ++i) {
            double plus = gt.lambda_plus;
            double minus = gt.lambda_minus;
            for (std::size_t j = 0; j < 2; ++j) {
                const std::size_t k =
                    std::min(interval_of(gt.splits[j], x[2 * i + j]), gt.backbone_values[j].size() - 1);
                plus = plus * (std::exp(gt.tilt_values[j][k]) * gt.backbone_values[j][k]);
                minus = minus * (std::exp(-gt.tilt_values[j][k]) * gt.backbone_values[j][k]);
            }
            ASSERT_EQ(components.f_plus[i], plus) << "row " << i << ", " << threads << " threads";
            ASSERT_EQ(components.f_minus[i], minus) << "row " << i << ", " << threads << " threads";
            ASSERT_EQ(predicted[i], 1.7 * plus - 0.3 * minus) << "row " << i << ", " << threads << " threads";
        }
    }
}

TEST(ComputeFPlusMinus, ClampsToTheLastBackboneValue) {
    // Three thresholds but only two intervals' values: everything from the
    // second threshold on falls back to the last interval.
    GridTensor gt;
    gt.splits = {{1.0, 2.0, 3.0}};
    gt.backbone_values = {{2.0, 5.0}};
    gt.tilt_values = {{0.0, std::log(2.0)}};
    gt.lambda_plus = 1.0;
    gt.lambda_minus = 1.0;
    ASSERT_TRUE(evaluation_problem(gt, 1).has_value()) << "the record's own predict must refuse this record";

    const std::vector<double> x = {0.5, 1.0, 1.5, 2.0, 2.5, 3.0, 10.0, kInf, kNaN};
    const Components components = compute_f_plus_minus(gt, MatrixView::contiguous(x.data(), x.size(), 1));
    const std::vector<double> plus = {2.0, 10.0, 10.0, 10.0, 10.0, 10.0, 10.0, 10.0, 2.0};
    const std::vector<double> minus = {2.0, 2.5, 2.5, 2.5, 2.5, 2.5, 2.5, 2.5, 2.0};
    for (std::size_t i = 0; i < x.size(); ++i) {
        EXPECT_NEAR(components.f_plus[i], plus[i], 1e-14) << "x = " << x[i];
        EXPECT_NEAR(components.f_minus[i], minus[i], 1e-14) << "x = " << x[i];
    }
}

TEST(ComputeFPlusMinus, ZeroColumnsGiveTheLambdasAndZeroRowsNothing) {
    const double unused = 0.0;
    const Components lambdas = compute_f_plus_minus(two_feature_record(), MatrixView::contiguous(&unused, 3, 0));
    EXPECT_EQ(lambdas.f_plus, std::vector<double>(3, 1.4));
    EXPECT_EQ(lambdas.f_minus, std::vector<double>(3, 0.8));

    const Components empty = compute_f_plus_minus(two_feature_record(), MatrixView::contiguous(&unused, 0, 2));
    EXPECT_TRUE(empty.f_plus.empty());
    EXPECT_TRUE(empty.f_minus.empty());
}

TEST(ComputeFPlusMinus, StridedViewsMatchTheContiguousOne) {
    const std::size_t rows = kTwoColumnRows.size() / 2;
    const std::size_t cols = 2;
    const GridTensor gt = two_feature_record();
    const Components reference = compute_f_plus_minus(gt, MatrixView::contiguous(kTwoColumnRows.data(), rows, cols));

    // Column-major copy, and a row-reversed copy read through a negative stride.
    std::vector<double> fortran(rows * cols);
    std::vector<double> reversed(rows * cols);
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = 0; j < cols; ++j) {
            fortran[j * rows + i] = kTwoColumnRows[i * cols + j];
            reversed[(rows - 1 - i) * cols + j] = kTwoColumnRows[i * cols + j];
        }
    }
    const auto d = static_cast<std::ptrdiff_t>(sizeof(double));
    const MatrixView views[] = {
        MatrixView(fortran.data(), rows, cols, d, static_cast<std::ptrdiff_t>(rows) * d),
        MatrixView(reversed.data() + (rows - 1) * cols, rows, cols, -static_cast<std::ptrdiff_t>(cols) * d, d),
    };
    for (const MatrixView& view : views) {
        const Components components = compute_f_plus_minus(gt, view);
        EXPECT_EQ(components.f_plus, reference.f_plus);
        EXPECT_EQ(components.f_minus, reference.f_minus);
    }
}

TEST(StageEvaluationProblem, NamesWhatTheClampedEvaluationWouldMiss) {
    const auto with = [](auto change) {
        GridTensor gt = two_feature_record();
        change(gt);
        return gt;
    };
    const struct {
        const char* name;
        GridTensor record;
        std::size_t columns;
        std::optional<std::string> expected;
    } cases[] = {
        {"all columns", two_feature_record(), 2, std::nullopt},
        {"no columns", two_feature_record(), 0, std::nullopt},
        {"too many columns", two_feature_record(), 3, "x has 3 columns but the model has 2 features"},
        {"short split list", with([](GridTensor& g) { g.splits.pop_back(); }), 2,
         "x has 2 columns but the model has 1 features"},
        {"short tilt list", with([](GridTensor& g) { g.tilt_values.pop_back(); }), 2,
         "x has 2 columns but the model has 1 features"},
        {"no backbone values", with([](GridTensor& g) { g.backbone_values[1].clear(); }), 2,
         "feature 1 has no backbone values"},
        {"no backbone values beyond x", with([](GridTensor& g) { g.backbone_values[1].clear(); }), 1,
         std::nullopt},
        {"fewer tilts than backbone values", with([](GridTensor& g) { g.tilt_values[0].resize(2); }), 2,
         "feature 0 has 4 backbone values but only 2 tilt values"},
        {"more thresholds than values", with([](GridTensor& g) {
             g.backbone_values[0].resize(1);
             g.tilt_values[0].resize(1);
         }),
         2, std::nullopt},
        {"more tilts than backbone values", with([](GridTensor& g) { g.backbone_values[1].resize(1); }), 2,
         std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(stage_evaluation_problem(c.record, c.columns), c.expected) << c.name;
    }
}

TEST(ComputeFPlusMinus, ThrowsWhenItWouldReadOutOfBounds) {
    const std::vector<double> x = {0.0, 1.0, 2.0};
    GridTensor no_values = two_feature_record();
    no_values.backbone_values[0].clear();
    try {
        compute_f_plus_minus(no_values, MatrixView::contiguous(x.data(), 1, 2));
        ADD_FAILURE() << "an empty backbone list was not reported";
    } catch (const InternalError& error) {
        EXPECT_STREQ(error.what(), "feature 0 has no backbone values");
    }
    StagePredictor stage;
    stage.primary_grid_tensor = two_feature_record();
    EXPECT_THROW(predict(stage, MatrixView::contiguous(x.data(), 1, 3)), InternalError);
}

TEST(StagePredict, ScalesTheComponentsOfThePrimaryGridTensor) {
    // Rows x = -1 and x = 1: (f+, f-) = (3, 1) and (9, 0.75).
    const std::vector<double> x = {-1.0, 1.0};
    const struct {
        std::optional<double> plus;
        std::optional<double> minus;
        std::vector<double> expected;
    } cases[] = {
        {std::nullopt, std::nullopt, {3.0, 9.0}},  // absent s- is 0, not 1
        {2.0, 3.0, {3.0, 15.75}},
        {std::nullopt, 3.0, {0.0, 6.75}},
        {2.0, std::nullopt, {6.0, 18.0}},
        {0.0, -1.0, {1.0, 0.75}},
    };
    for (const auto& c : cases) {
        StagePredictor stage;
        stage.primary_grid_tensor = one_feature_record();
        stage.primary_grid_tensor.scaling = 100.0;  // carried along, never applied
        // The trees are for inspection only; prediction must not read them.
        stage.grid_tensors = {two_feature_record(), GridTensor{}};
        stage.scaling_plus = c.plus;
        stage.scaling_minus = c.minus;
        const auto predicted = predict(stage, MatrixView::contiguous(x.data(), 2, 1));
        ASSERT_EQ(predicted.size(), 2u);
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_NEAR(predicted[i], c.expected[i], 1e-13)
                << "s+ " << c.plus.value_or(-99) << ", s- " << c.minus.value_or(-99) << ", row " << i;
        }
    }
}

TEST(StagePredict, ScalingDefaults) {
    StagePredictor stage;
    EXPECT_EQ(scaling_plus_or_default(stage), 1.0);
    EXPECT_EQ(scaling_minus_or_default(stage), 0.0);
    stage.scaling_plus = -2.5;
    stage.scaling_minus = 4.0;
    EXPECT_EQ(scaling_plus_or_default(stage), -2.5);
    EXPECT_EQ(scaling_minus_or_default(stage), 4.0);
}

TEST(StagePredict, ZeroRowsGiveAnEmptyVector) {
    StagePredictor stage;
    stage.primary_grid_tensor = one_feature_record();
    const double unused = 0.0;
    EXPECT_TRUE(predict(stage, MatrixView::contiguous(&unused, 0, 1)).empty());
}

}  // namespace
}  // namespace zun
