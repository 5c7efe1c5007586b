#include "analysis/partial_dependence.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analysis/stages_fixture.hpp"

namespace zun::analysis {
namespace {

struct FixedCase {
    const char* name;
    std::vector<std::uint64_t> indices;
};

const std::vector<FixedCase> kFixedSets = {
    {"none", {}}, {"one", {1}}, {"two in reverse order", {2, 0}}, {"all", {0, 1, 2}}};

// Evaluation points for the fixed features: thresholds, NaN and values between.
std::vector<double> fixed_rows(std::size_t width) {
    const std::vector<double> points = {0.0, -0.7, std::nan(""), 1.2, 0.5};
    std::vector<double> values;
    for (std::size_t i = 0; i < points.size(); ++i) {
        for (std::size_t q = 0; q < width; ++q) {
            values.push_back(points[(i + 2 * q) % points.size()]);
        }
    }
    return values;
}

TEST(PartialDependence, IsTheMeanOverDataWithTheFixedFeaturesSubstituted) {
    const std::vector<StagePredictor> stages = analysis_stages();
    const Rows data = analysis_rows();
    for (const FixedCase& c : kFixedSets) {
        SCOPED_TRACE(c.name);
        const std::size_t width = c.indices.size();
        const std::vector<double> fixed = fixed_rows(width);
        const std::size_t n_obs = 5;
        const MatrixView fixed_view(fixed.data(), n_obs, width, static_cast<std::ptrdiff_t>(width * sizeof(double)),
                                    sizeof(double));
        ASSERT_EQ(partial_dependence_problem(stages, c.indices, width, data.cols), std::nullopt);
        std::vector<double> values(n_obs * 2 * stages.size(), -1.0);
        const std::vector<ComponentPair> constants =
            partial_dependence(stages, c.indices, fixed_view, data.view(), values);
        ASSERT_EQ(constants.size(), stages.size());
        for (std::size_t i = 0; i < n_obs; ++i) {
            Rows substituted = data;
            for (std::size_t q = 0; q < width; ++q) {
                substituted = substituted.with(c.indices[q], fixed[i * width + q]);
            }
            for (std::size_t l = 0; l < stages.size(); ++l) {
                SCOPED_TRACE(testing::Message() << "row " << i << ", stage " << l);
                const StageColumns columns = stage_columns(stages[l], substituted.view());
                expect_close(values[i * 2 * stages.size() + 2 * l], mean(columns.plus));
                expect_close(values[i * 2 * stages.size() + 2 * l + 1], mean(columns.minus));
                if (width == 0) {
                    EXPECT_EQ(values[i * 2 * stages.size() + 2 * l], constants[l].plus);
                    EXPECT_EQ(values[i * 2 * stages.size() + 2 * l + 1], constants[l].minus);
                }
            }
        }
    }
}

TEST(PartialDependence, DataWithoutRowsGivesNaN) {
    const std::vector<StagePredictor> stages = analysis_stages();
    const std::vector<double> fixed = {0.5};
    const std::vector<std::uint64_t> indices = {1};
    std::vector<double> values(2 * stages.size(), 0.0);
    const std::vector<ComponentPair> constants = partial_dependence(
        stages, indices, MatrixView::contiguous(fixed.data(), 1, 1), MatrixView::contiguous(nullptr, 0, 3), values);
    for (std::size_t l = 0; l < stages.size(); ++l) {
        EXPECT_TRUE(std::isnan(constants[l].plus) && std::isnan(constants[l].minus));
    }
    for (const double value : values) {
        EXPECT_TRUE(std::isnan(value));
    }
}

TEST(FirstOrderPartialDependence, EachFeatureIsItsPartialDependence) {
    const std::vector<StagePredictor> stages = analysis_stages();
    const Rows data = analysis_rows();
    const Rows points = analysis_rows();
    ASSERT_EQ(first_order_problem(stages, points.cols, data.rows(), data.cols), std::nullopt);
    const std::size_t width = 2 * stages.size();
    std::vector<std::vector<double>> values(data.cols, std::vector<double>(points.rows() * width, -1.0));
    const std::vector<std::span<double>> outputs(values.begin(), values.end());
    const std::vector<std::vector<ComponentPair>> constants =
        first_order_partial_dependence(stages, points.view(), data.view(), outputs);
    ASSERT_EQ(constants.size(), data.cols);
    for (std::uint64_t j = 0; j < data.cols; ++j) {
        SCOPED_TRACE(testing::Message() << "feature " << j);
        const std::vector<std::uint64_t> indices = {j};
        std::vector<double> column(points.rows());
        for (std::size_t r = 0; r < points.rows(); ++r) {
            column[r] = points.values[r * points.cols + j];
        }
        std::vector<double> expected(points.rows() * width);
        const std::vector<ComponentPair> expected_constants = partial_dependence(
            stages, indices, MatrixView::contiguous(column.data(), points.rows(), 1), data.view(), expected);
        for (std::size_t l = 0; l < stages.size(); ++l) {
            expect_close(constants[j][l].plus, expected_constants[l].plus);
            expect_close(constants[j][l].minus, expected_constants[l].minus);
        }
        for (std::size_t k = 0; k < expected.size(); ++k) {
            expect_close(values[j][k], expected[k]);
        }
    }
}

TEST(FirstOrderPartialDependence, OneFeatureConstantsAreTheScaledLambdas) {
    const std::vector<StagePredictor> stages = {analysis_stage({{{0.0}, {0.5, 2.0}, {0.1, -0.2}}}, 1.5, 0.25, 2.0, 3.0)};
    const std::vector<double> data = {-1.0, 1.0, 4.0};
    std::vector<double> values(2 * data.size());
    const std::vector<std::span<double>> outputs = {values};
    const auto constants = first_order_partial_dependence(stages, MatrixView::contiguous(data.data(), 3, 1),
                                                          MatrixView::contiguous(data.data(), 3, 1), outputs);
    EXPECT_EQ(constants[0][0].plus, 2.0 * 1.5);
    EXPECT_EQ(constants[0][0].minus, -3.0 * 0.25);
}

// Stage 0 has three features, stage 1 two; a broken stage has a feature
// without backbone values.
std::vector<StagePredictor> mixed_stages() {
    std::vector<StagePredictor> stages = analysis_stages();
    stages[1].primary_grid_tensor = grid_tensor({{{0.0}, {1.0, 2.0}, {0.0, 0.1}}, {{}, {1.0}, {0.0}}});
    return stages;
}

std::vector<StagePredictor> broken_stages() {
    std::vector<StagePredictor> stages = analysis_stages();
    stages[1].primary_grid_tensor.backbone_values[2].clear();
    return stages;
}

TEST(PartialDependenceProblem, ReportsTheFirstFailingCheck) {
    struct Case {
        const char* name;
        std::vector<StagePredictor> stages;
        std::vector<std::uint64_t> indices;
        std::size_t fixed_columns;
        std::size_t data_columns;
        std::optional<std::string> problem;
    };
    const std::vector<Case> cases = {
        {"valid", analysis_stages(), {2, 0}, 2, 3, std::nullopt},
        {"wider data", analysis_stages(), {1}, 1, 7, std::nullopt},
        {"column count before duplicates", analysis_stages(), {1, 1}, 1, 3,
         "fixed_values must have 2 columns (one per fixed_indices), got 1"},
        {"duplicates before bounds", analysis_stages(), {7, 7}, 2, 3, "fixed_indices must contain unique values"},
        {"bounds before data width", analysis_stages(), {3}, 1, 1, "Feature index 3 out of bounds (n_features=3)"},
        {"narrow data", analysis_stages(), {0}, 1, 2,
         "Feature count mismatch: data_x has 2 columns but the grid of stage 0 has 3"},
        {"bounds of a later stage", mixed_stages(), {2}, 1, 3, "Feature index 2 out of bounds (n_features=2)"},
        {"stage without backbone values", broken_stages(), {0}, 1, 3,
         "stage 1: the combined grid tensor cannot be evaluated on its 3 features: feature 2 has no backbone values"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(partial_dependence_problem(c.stages, c.indices, c.fixed_columns, c.data_columns), c.problem);
    }
}

TEST(FirstOrderProblem, ReportsTheFirstFailingCheck) {
    struct Case {
        const char* name;
        std::vector<StagePredictor> stages;
        std::size_t value_columns;
        std::size_t data_rows;
        std::size_t data_columns;
        std::optional<std::string> problem;
    };
    const std::vector<Case> cases = {
        {"valid", analysis_stages(), 3, 1, 3, std::nullopt},
        {"no rows before column counts", analysis_stages(), 2, 0, 3, "data_x must contain at least one sample"},
        {"column counts", analysis_stages(), 2, 4, 3,
         "values_x and data_x must have the same number of columns, got 2 and 3"},
        {"grid width", mixed_stages(), 3, 4, 3, "Feature count mismatch: values_x has 3 columns but grid has 2"},
        {"stage without backbone values", broken_stages(), 3, 4, 3,
         "stage 1: the combined grid tensor cannot be evaluated on its 3 features: feature 2 has no backbone values"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(first_order_problem(c.stages, c.value_columns, c.data_rows, c.data_columns), c.problem);
    }
}

}  // namespace
}  // namespace zun::analysis
