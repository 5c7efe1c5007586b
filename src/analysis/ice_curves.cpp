#include "analysis/ice_curves.hpp"

#include <vector>

#include <fmt/format.h>

#include "analysis/stage_factors.hpp"

namespace zun::analysis {
namespace {

// lambda times the factors of every feature of row i except `feature`.
FactorPair held_product(const GridTensor& grid, const MatrixView& observations, std::size_t i, std::size_t feature) {
    FactorPair product{grid.lambda_plus, grid.lambda_minus};
    for (std::size_t j = 0; j < observations.cols(); ++j) {
        if (j == feature) {
            continue;
        }
        const FactorPair a = factors_at(grid, j, observations(i, j));
        product.plus = product.plus * a.plus;
        product.minus = product.minus * a.minus;
    }
    return product;
}

void stage_curves(const StagePredictor& stage, std::size_t l, std::size_t width, const MatrixView& observations,
                  std::size_t feature, const VectorView& x_range, std::span<double> curves) {
    const GridTensor& grid = stage.primary_grid_tensor;
    const double s_plus = scaling_plus_or_default(stage);
    const double s_minus = scaling_minus_or_default(stage);
    // The varied feature's factors are the same for every observation.
    std::vector<FactorPair> varied(x_range.size());
    for (std::size_t k = 0; k < x_range.size(); ++k) {
        varied[k] = factors_at(grid, feature, x_range[k]);
    }
    for (std::size_t i = 0; i < observations.rows(); ++i) {
        const FactorPair held = held_product(grid, observations, i, feature);
        double* row = curves.data() + i * x_range.size() * width;
        for (std::size_t k = 0; k < varied.size(); ++k) {
            row[k * width + 2 * l] = varied[k].plus * held.plus * s_plus;
            row[k * width + 2 * l + 1] = -varied[k].minus * held.minus * s_minus;
        }
    }
}

}  // namespace

std::optional<std::string> ice_curves_problem(std::span<const StagePredictor> stages, std::uint64_t feature,
                                              std::size_t observation_columns, std::size_t data_columns,
                                              std::size_t range_size) {
    if (feature >= observation_columns) {
        return fmt::format("feature_index {} out of bounds (n_features={})", feature, observation_columns);
    }
    if (observation_columns != data_columns) {
        return fmt::format("observations and data_x must have the same number of columns, got {} and {}",
                           observation_columns, data_columns);
    }
    if (range_size == 0) {
        return "x_range must contain at least one value";
    }
    for (std::size_t l = 0; l < stages.size(); ++l) {
        const std::size_t features = feature_count(stages[l].primary_grid_tensor);
        if (features != observation_columns) {
            return fmt::format("Feature count mismatch: observations has {} columns but grid has {}",
                               observation_columns, features);
        }
        if (auto problem = stage_factor_problem(stages[l], l)) {
            return problem;
        }
    }
    return std::nullopt;
}

void ice_curves(std::span<const StagePredictor> stages, const MatrixView& observations, std::size_t feature,
                const VectorView& x_range, std::span<double> curves) {
    const std::size_t width = 2 * stages.size();
    for (std::size_t l = 0; l < stages.size(); ++l) {
        stage_curves(stages[l], l, width, observations, feature, x_range, curves);
    }
}

}  // namespace zun::analysis
