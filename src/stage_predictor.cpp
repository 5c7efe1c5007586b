#include "stage_predictor.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "error.hpp"

namespace zun {

std::optional<std::string> stage_evaluation_problem(const GridTensor& grid_tensor, std::size_t columns) {
    const std::size_t features = std::min(
        {grid_tensor.splits.size(), grid_tensor.backbone_values.size(), grid_tensor.tilt_values.size()});
    if (columns > features) {
        return fmt::format("x has {} columns but the model has {} features", columns, features);
    }
    for (std::size_t j = 0; j < columns; ++j) {
        const std::size_t backbone = grid_tensor.backbone_values[j].size();
        const std::size_t tilt = grid_tensor.tilt_values[j].size();
        // The clamp needs a last backbone value to fall back on, and a tilt
        // for every backbone index it can reach.
        if (backbone == 0) {
            return fmt::format("feature {} has no backbone values", j);
        }
        if (tilt < backbone) {
            return fmt::format("feature {} has {} backbone values but only {} tilt values", j, backbone, tilt);
        }
    }
    return std::nullopt;
}

Components compute_f_plus_minus(const GridTensor& grid_tensor, const MatrixView& x) {
    if (const auto problem = stage_evaluation_problem(grid_tensor, x.cols())) {
        throw InternalError(*problem);
    }
    Components components{std::vector<double>(x.rows()), std::vector<double>(x.rows())};
    for (std::size_t i = 0; i < x.rows(); ++i) {
        double plus = grid_tensor.lambda_plus;
        double minus = grid_tensor.lambda_minus;
        for (std::size_t j = 0; j < x.cols(); ++j) {
            const auto& backbone = grid_tensor.backbone_values[j];
            // A stored record may carry more thresholds than values; the
            // clamp sends such values to the last interval.
            const std::size_t k = std::min(interval_of(grid_tensor.splits[j], x(i, j)), backbone.size() - 1);
            const double b = backbone[k];
            const double t = grid_tensor.tilt_values[j][k];
            plus = plus * (std::exp(t) * b);
            minus = minus * (std::exp(-t) * b);
        }
        components.f_plus[i] = plus;
        components.f_minus[i] = minus;
    }
    return components;
}

double scaling_plus_or_default(const StagePredictor& stage) { return stage.scaling_plus.value_or(1.0); }

double scaling_minus_or_default(const StagePredictor& stage) { return stage.scaling_minus.value_or(0.0); }

std::vector<double> predict(const StagePredictor& stage, const MatrixView& x) {
    const Components components = compute_f_plus_minus(stage.primary_grid_tensor, x);
    const double s_plus = scaling_plus_or_default(stage);
    const double s_minus = scaling_minus_or_default(stage);
    std::vector<double> result(x.rows());
    for (std::size_t i = 0; i < result.size(); ++i) {
        result[i] = s_plus * components.f_plus[i] - s_minus * components.f_minus[i];
    }
    return result;
}

}  // namespace zun
