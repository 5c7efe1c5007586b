#include "analysis/feature_importance.hpp"

#include <cmath>

#include <fmt/format.h>

#include "analysis/stage_factors.hpp"

namespace zun::analysis {
namespace {

// Two passes (mean, then squared deviations) rather than a one-pass formula,
// which loses precision when the mean is large against the spread.
double population_variance(std::span<const double> values) {
    const double n = static_cast<double>(values.size());
    double sum = 0.0;
    for (const double v : values) {
        sum += v;
    }
    const double mean = sum / n;
    double squares = 0.0;
    for (const double v : values) {
        const double deviation = v - mean;
        squares += deviation * deviation;
    }
    return squares / n;
}

// Mean over the rows of the squared scaled stage contribution s+ f+ - s- f-.
double stage_energy(const StagePredictor& stage, const MatrixView& x) {
    const Components components = compute_f_plus_minus(stage.primary_grid_tensor, x);
    const double s_plus = scaling_plus_or_default(stage);
    const double s_minus = scaling_minus_or_default(stage);
    double sum = 0.0;
    for (std::size_t i = 0; i < x.rows(); ++i) {
        const double contribution = components.f_plus[i] * s_plus - components.f_minus[i] * s_minus;
        sum += contribution * contribution;
    }
    return sum / static_cast<double>(x.rows());
}

}  // namespace

std::optional<std::string> importance_problem(std::span<const StagePredictor> stages, std::size_t data_columns) {
    for (const StagePredictor& stage : stages) {
        const std::size_t features = feature_count(stage.primary_grid_tensor);
        if (features != data_columns) {
            return fmt::format("Feature dimension mismatch: data has {} features, but model has {}", data_columns,
                               features);
        }
    }
    for (std::size_t l = 0; l < stages.size(); ++l) {
        if (auto problem = stage_factor_problem(stages[l], l)) {
            return problem;
        }
    }
    return std::nullopt;
}

std::optional<std::string> aggregation_problem(std::span<const StagePredictor> stages, std::size_t data_columns) {
    if (auto problem = importance_problem(stages, data_columns)) {
        return problem;
    }
    if (stages.empty()) {
        return "Model has no stages";
    }
    return std::nullopt;
}

StageImportances per_stage_importance(std::span<const StagePredictor> stages, const MatrixView& x) {
    const std::size_t p = x.cols();
    StageImportances result{std::vector<double>(stages.size() * p, 0.0), std::vector<double>(stages.size() * p, 0.0)};
    std::vector<double> log_backbone(x.rows());
    std::vector<double> tilt(x.rows());
    for (std::size_t l = 0; l < stages.size(); ++l) {
        const GridTensor& grid = stages[l].primary_grid_tensor;
        for (std::size_t j = 0; j < p; ++j) {
            for (std::size_t i = 0; i < x.rows(); ++i) {
                const std::size_t k = clamped_interval(grid, j, x(i, j));
                log_backbone[i] = std::log(grid.backbone_values[j][k]);
                tilt[i] = grid.tilt_values[j][k];
            }
            result.backbone[l * p + j] = population_variance(log_backbone);
            result.tilt[l * p + j] = population_variance(tilt);
        }
    }
    return result;
}

std::vector<double> stage_weights(std::span<const StagePredictor> stages, const MatrixView& x) {
    std::vector<double> energies;
    energies.reserve(stages.size());
    double total = 0.0;
    for (const StagePredictor& stage : stages) {
        energies.push_back(stage_energy(stage, x));
        total += energies.back();
    }
    // `total > 0` is false for NaN too (a data set without rows): equal weights then.
    const double uniform = 1.0 / static_cast<double>(stages.size());
    std::vector<double> weights;
    weights.reserve(stages.size());
    for (const double energy : energies) {
        weights.push_back(total > 0.0 ? energy / total : uniform);
    }
    return weights;
}

AggregatedImportance aggregated_importance(std::span<const StagePredictor> stages, const MatrixView& x) {
    const std::size_t p = x.cols();
    const StageImportances per_stage = per_stage_importance(stages, x);
    AggregatedImportance result{std::vector<double>(p, 0.0), std::vector<double>(p, 0.0), stage_weights(stages, x)};
    for (std::size_t l = 0; l < stages.size(); ++l) {
        const double weight = result.weights[l];
        for (std::size_t j = 0; j < p; ++j) {
            result.backbone[j] = per_stage.backbone[l * p + j] * weight + result.backbone[j];
            result.tilt[j] = per_stage.tilt[l * p + j] * weight + result.tilt[j];
        }
    }
    return result;
}

std::vector<double> combined_importance(const std::vector<double>& backbone, const std::vector<double>& tilt,
                                        double gamma) {
    std::vector<double> combined(backbone.size());
    for (std::size_t j = 0; j < combined.size(); ++j) {
        const double weighted_tilt = gamma * tilt[j];
        combined[j] = backbone[j] + weighted_tilt;
    }
    return combined;
}

}  // namespace zun::analysis
