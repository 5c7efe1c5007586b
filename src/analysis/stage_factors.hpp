#pragma once
// The two factors that one feature value contributes to a stage's combined
// grid tensor, looked up as the stage evaluation does (interval index clamped
// to the last backbone value). The analysis methods multiply these factors in
// their own orders, so they need them one at a time.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "grid_tensor.hpp"
#include "stage_predictor.hpp"

namespace zun::analysis {

struct FactorPair {
    double plus;   // b * e^t
    double minus;  // b * e^-t
};

// Precondition: stage_evaluation_problem(grid_tensor, j + 1) is nullopt.
inline std::size_t clamped_interval(const GridTensor& grid_tensor, std::size_t j, double value) {
    return std::min(interval_of(grid_tensor.splits[j], value), grid_tensor.backbone_values[j].size() - 1);
}

// Precondition: stage_evaluation_problem(grid_tensor, j + 1) is nullopt.
inline FactorPair factors_at(const GridTensor& grid_tensor, std::size_t j, double value) {
    const std::size_t k = clamped_interval(grid_tensor, j, value);
    const double b = grid_tensor.backbone_values[j][k];
    const double t = grid_tensor.tilt_values[j][k];
    return {std::exp(t) * b, b * std::exp(-t)};
}

// Why the factors of every feature of stage `index` cannot be looked up
// without reading out of bounds (a record only a model file can hold), or
// nullopt when they can.
inline std::optional<std::string> stage_factor_problem(const StagePredictor& stage, std::size_t index) {
    const GridTensor& grid_tensor = stage.primary_grid_tensor;
    const std::size_t features = feature_count(grid_tensor);
    if (const auto problem = stage_evaluation_problem(grid_tensor, features)) {
        return fmt::format("stage {}: the combined grid tensor cannot be evaluated on its {} features: {}", index,
                           features, *problem);
    }
    return std::nullopt;
}

}  // namespace zun::analysis
