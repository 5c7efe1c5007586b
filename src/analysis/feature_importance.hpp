#pragma once
// Feature importance of a boosted model: the spread over a data set of each
// stage's log backbone factor and tilt per feature, combined across stages
// with weights proportional to each stage's energy on the same data.
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "matrix_view.hpp"
#include "stage_predictor.hpp"

namespace zun::analysis {

// Per-stage importances, row-major (stages x features).
struct StageImportances {
    std::vector<double> backbone;
    std::vector<double> tilt;
};

struct AggregatedImportance {
    std::vector<double> backbone;  // per feature
    std::vector<double> tilt;      // per feature
    std::vector<double> weights;   // per stage, summing to 1
};

// Why per_stage_importance cannot run on `data_columns` columns, or nullopt.
std::optional<std::string> importance_problem(std::span<const StagePredictor> stages, std::size_t data_columns);

// As importance_problem, and the weights need at least one stage.
std::optional<std::string> aggregation_problem(std::span<const StagePredictor> stages, std::size_t data_columns);

// Population variances over the rows of log b_j and of t_j per stage and feature.
// Precondition: importance_problem(stages, x.cols()) is nullopt.
StageImportances per_stage_importance(std::span<const StagePredictor> stages, const MatrixView& x);

// Energy share of each stage on x; 1/L each when the total is 0 or NaN.
// Precondition: aggregation_problem(stages, x.cols()) is nullopt.
std::vector<double> stage_weights(std::span<const StagePredictor> stages, const MatrixView& x);

// Precondition: aggregation_problem(stages, x.cols()) is nullopt.
AggregatedImportance aggregated_importance(std::span<const StagePredictor> stages, const MatrixView& x);

// backbone + gamma * tilt, element-wise.
std::vector<double> combined_importance(const std::vector<double>& backbone, const std::vector<double>& tilt,
                                        double gamma);

}  // namespace zun::analysis
