#include "analysis/ice_curves.hpp"

#include <algorithm>
#include <vector>

#include <fmt/format.h>

#include "analysis/stage_factors.hpp"
#include "parallel.hpp"

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

// Observations per block of work handed to a worker thread.
constexpr std::size_t kBlockRows = 256;

// One stage ready for many observations: every interval's factors computed
// once, and the varied feature's factors at each value times the scalings.
struct CurveStage {
    const GridTensor* grid;
    std::vector<FeatureFactors> factors;
    std::vector<double> varied_plus;   // s+ a+_f(v_k)
    std::vector<double> varied_minus;  // s- a-_f(v_k)
};

CurveStage curve_stage(const StagePredictor& stage, std::size_t columns, std::size_t feature,
                       const VectorView& x_range) {
    const GridTensor& grid = stage.primary_grid_tensor;
    CurveStage prepared{&grid, interval_factors(grid, columns), {}, {}};
    const double s_plus = scaling_plus_or_default(stage);
    const double s_minus = scaling_minus_or_default(stage);
    for (std::size_t k = 0; k < x_range.size(); ++k) {
        const std::size_t interval = clamped_interval(grid, feature, x_range[k]);
        prepared.varied_plus.push_back(s_plus * prepared.factors[feature].plus[interval]);
        prepared.varied_minus.push_back(s_minus * prepared.factors[feature].minus[interval]);
    }
    return prepared;
}

// Adds one stage's prediction along the range to `row_predictions`.
void add_stage_curve(const CurveStage& stage, const MatrixView& observations, std::size_t i, std::size_t feature,
                     std::span<double> row_predictions) {
    double held_plus = stage.grid->lambda_plus;
    double held_minus = stage.grid->lambda_minus;
    for (std::size_t j = 0; j < observations.cols(); ++j) {
        if (j == feature) {
            continue;
        }
        const std::size_t k = clamped_interval(*stage.grid, j, observations(i, j));
        held_plus = held_plus * stage.factors[j].plus[k];
        held_minus = held_minus * stage.factors[j].minus[k];
    }
    for (std::size_t k = 0; k < row_predictions.size(); ++k) {
        row_predictions[k] += stage.varied_plus[k] * held_plus - stage.varied_minus[k] * held_minus;
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

void ice_predictions(std::span<const StagePredictor> stages, const MatrixView& observations, std::size_t feature,
                     const VectorView& x_range, std::span<double> predictions) {
    std::vector<CurveStage> prepared;
    for (const StagePredictor& stage : stages) {
        prepared.push_back(curve_stage(stage, observations.cols(), feature, x_range));
    }
    const std::size_t width = x_range.size();
    parallel_for_blocks(observations.rows(), kBlockRows, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const std::span<double> row = predictions.subspan(i * width, width);
            std::fill(row.begin(), row.end(), 0.0);
            for (const CurveStage& stage : prepared) {
                add_stage_curve(stage, observations, i, feature, row);
            }
        }
    });
}

}  // namespace zun::analysis
