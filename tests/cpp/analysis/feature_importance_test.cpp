#include "analysis/feature_importance.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "analysis/stages_fixture.hpp"

namespace zun::analysis {
namespace {

// Population variance, the textbook way.
double variance(const std::vector<double>& values) {
    const double m = mean(values);
    double sum = 0.0;
    for (const double v : values) {
        sum += (v - m) * (v - m);
    }
    return sum / static_cast<double>(values.size());
}

TEST(PerStageImportance, IsTheVarianceOfLogBackboneAndTiltOverTheRows) {
    const std::vector<StagePredictor> stages = analysis_stages();
    const Rows data = analysis_rows();
    ASSERT_EQ(importance_problem(stages, data.cols), std::nullopt);
    const StageImportances importances = per_stage_importance(stages, data.view());
    ASSERT_EQ(importances.backbone.size(), stages.size() * data.cols);
    ASSERT_EQ(importances.tilt.size(), stages.size() * data.cols);
    for (std::size_t l = 0; l < stages.size(); ++l) {
        const GridTensor& grid = stages[l].primary_grid_tensor;
        for (std::size_t j = 0; j < data.cols; ++j) {
            SCOPED_TRACE(testing::Message() << "stage " << l << ", feature " << j);
            std::vector<double> log_backbone, tilt;
            for (std::size_t i = 0; i < data.rows(); ++i) {
                const std::size_t k = interval_of(grid.splits[j], data.view()(i, j));
                log_backbone.push_back(std::log(grid.backbone_values[j][k]));
                tilt.push_back(grid.tilt_values[j][k]);
            }
            expect_close(importances.backbone[l * data.cols + j], variance(log_backbone));
            expect_close(importances.tilt[l * data.cols + j], variance(tilt));
        }
    }
}

TEST(PerStageImportance, HalfTheRowsInBackboneOneAndE) {
    const std::vector<StagePredictor> stages = {
        analysis_stage({{{0.0}, {1.0, std::exp(1.0)}, {-0.5, 0.5}}, {{0.0}, {2.0, 3.0}, {0.7, 0.1}}}, 1.0, 1.0, 5.0,
                       2.0)};
    // Feature 0 splits the rows in halves; feature 1 keeps them in one interval.
    const std::vector<double> data = {-1.0, 1.0, -2.0, 2.0, 0.0, 3.0, 4.0, 4.0};
    const StageImportances importances = per_stage_importance(stages, MatrixView::contiguous(data.data(), 4, 2));
    EXPECT_DOUBLE_EQ(importances.backbone[0], 0.25);
    EXPECT_DOUBLE_EQ(importances.tilt[0], 0.25);
    EXPECT_EQ(importances.backbone[1], 0.0);
    EXPECT_EQ(importances.tilt[1], 0.0);
}

// Every feature has one interval with factor 1: the stage contributes
// s+ lambda_plus - s- lambda_minus on every row.
StagePredictor constant_stage(std::optional<double> scaling_plus, std::optional<double> scaling_minus,
                              double lambda_minus = 0.5) {
    return analysis_stage({{{}, {1.0}, {0.0}}, {{}, {1.0}, {0.0}}}, 1.0, lambda_minus, scaling_plus, scaling_minus);
}

TEST(StageWeights, AreEnergySharesOrEqualWhenThereIsNoEnergy) {
    struct Case {
        const char* name;
        std::vector<StagePredictor> stages;
        std::vector<double> weights;
    };
    const std::vector<Case> cases = {
        {"contributions 1 and 2", {constant_stage(1.0, 0.0), constant_stage(2.0, 0.0)}, {0.2, 0.8}},
        {"contributions 0 and 2.5", {constant_stage(1.0, 2.0), constant_stage(3.0, 1.0)}, {0.0, 1.0}},
        {"absent scalings are 1 and 0", {constant_stage(std::nullopt, std::nullopt), constant_stage(1.0, 0.0)},
         {0.5, 0.5}},
        {"no energy", {constant_stage(0.0, 0.0), constant_stage(1.0, 2.0), constant_stage(0.0, 5.0, 0.0)},
         {1.0 / 3, 1.0 / 3, 1.0 / 3}},
    };
    const std::vector<double> data(10, 0.5);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(aggregation_problem(c.stages, 2), std::nullopt);
        const std::vector<double> weights = stage_weights(c.stages, MatrixView::contiguous(data.data(), 5, 2));
        ASSERT_EQ(weights.size(), c.weights.size());
        for (std::size_t l = 0; l < weights.size(); ++l) {
            expect_close(weights[l], c.weights[l]);
        }
    }
}

TEST(AggregatedImportance, WeightsTheStageImportances) {
    const std::vector<StagePredictor> stages = analysis_stages();
    const Rows data = analysis_rows();
    const AggregatedImportance aggregated = aggregated_importance(stages, data.view());
    const StageImportances per_stage = per_stage_importance(stages, data.view());
    std::vector<double> energies;
    for (const StagePredictor& stage : stages) {
        const StageColumns columns = stage_columns(stage, data.view());
        std::vector<double> squares;
        for (std::size_t i = 0; i < data.rows(); ++i) {
            squares.push_back((columns.plus[i] + columns.minus[i]) * (columns.plus[i] + columns.minus[i]));
        }
        energies.push_back(mean(squares));
    }
    const double total = energies[0] + energies[1];
    for (std::size_t l = 0; l < stages.size(); ++l) {
        expect_close(aggregated.weights[l], energies[l] / total);
    }
    for (std::size_t j = 0; j < data.cols; ++j) {
        expect_close(aggregated.backbone[j], aggregated.weights[0] * per_stage.backbone[j] +
                                                 aggregated.weights[1] * per_stage.backbone[data.cols + j]);
        expect_close(aggregated.tilt[j],
                     aggregated.weights[0] * per_stage.tilt[j] + aggregated.weights[1] * per_stage.tilt[data.cols + j]);
    }
    const std::vector<double> combined = combined_importance(aggregated.backbone, aggregated.tilt, 0.5);
    for (std::size_t j = 0; j < data.cols; ++j) {
        EXPECT_EQ(combined[j], aggregated.backbone[j] + 0.5 * aggregated.tilt[j]);
    }
}

TEST(AggregatedImportance, DataWithoutRowsGivesNaNImportancesAndEqualWeights) {
    const std::vector<StagePredictor> stages = analysis_stages();
    const AggregatedImportance aggregated = aggregated_importance(stages, MatrixView::contiguous(nullptr, 0, 3));
    for (std::size_t j = 0; j < 3; ++j) {
        EXPECT_TRUE(std::isnan(aggregated.backbone[j]) && std::isnan(aggregated.tilt[j]));
    }
    EXPECT_EQ(aggregated.weights, (std::vector<double>{0.5, 0.5}));
}

TEST(ImportanceProblem, MismatchBeforeMissingStages) {
    std::vector<StagePredictor> broken = analysis_stages();
    broken[1].primary_grid_tensor.backbone_values[0].clear();
    struct Case {
        const char* name;
        std::vector<StagePredictor> stages;
        std::size_t columns;
        std::optional<std::string> per_stage;
        std::optional<std::string> aggregated;
    };
    const std::string mismatch = "Feature dimension mismatch: data has 4 features, but model has 3";
    const std::vector<Case> cases = {
        {"valid", analysis_stages(), 3, std::nullopt, std::nullopt},
        {"wider data", analysis_stages(), 4, mismatch, mismatch},
        {"no stages", {}, 4, std::nullopt, "Model has no stages"},
        {"stage without backbone values", broken, 3,
         "stage 1: the combined grid tensor cannot be evaluated on its 3 features: feature 0 has no backbone values",
         "stage 1: the combined grid tensor cannot be evaluated on its 3 features: feature 0 has no backbone values"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(importance_problem(c.stages, c.columns), c.per_stage);
        EXPECT_EQ(aggregation_problem(c.stages, c.columns), c.aggregated);
    }
}

}  // namespace
}  // namespace zun::analysis
