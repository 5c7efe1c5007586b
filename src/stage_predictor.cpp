#include "stage_predictor.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "error.hpp"
#include "parallel.hpp"

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

namespace {

// Calls emit(i, f+, f-) for every row of x, rows split in blocks over the
// worker threads; each row's products are formed in column order.
template <class Emit>
void for_each_row_components(const GridTensor& grid_tensor, const MatrixView& x, const Emit& emit) {
    if (const auto problem = stage_evaluation_problem(grid_tensor, x.cols())) {
        throw InternalError(*problem);
    }
    const std::vector<FeatureFactors> factors = interval_factors(grid_tensor, x.cols());
    parallel_for_blocks(x.rows(), prediction_block_rows, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            double plus = grid_tensor.lambda_plus;
            double minus = grid_tensor.lambda_minus;
            for (std::size_t j = 0; j < x.cols(); ++j) {
                // A stored record may carry more thresholds than values; the
                // clamp sends such values to the last interval.
                const std::size_t last = grid_tensor.backbone_values[j].size() - 1;
                const std::size_t k = std::min(interval_of(grid_tensor.splits[j], x(i, j)), last);
                plus = plus * factors[j].plus[k];
                minus = minus * factors[j].minus[k];
            }
            emit(i, plus, minus);
        }
    });
}

}  // namespace

Components compute_f_plus_minus(const GridTensor& grid_tensor, const MatrixView& x) {
    Components components{std::vector<double>(x.rows()), std::vector<double>(x.rows())};
    for_each_row_components(grid_tensor, x, [&](std::size_t i, double plus, double minus) {
        components.f_plus[i] = plus;
        components.f_minus[i] = minus;
    });
    return components;
}

double scaling_plus_or_default(const StagePredictor& stage) { return stage.scaling_plus.value_or(1.0); }

double scaling_minus_or_default(const StagePredictor& stage) { return stage.scaling_minus.value_or(0.0); }

std::vector<double> predict(const StagePredictor& stage, const MatrixView& x) {
    const double s_plus = scaling_plus_or_default(stage);
    const double s_minus = scaling_minus_or_default(stage);
    std::vector<double> result(x.rows());
    for_each_row_components(stage.primary_grid_tensor, x, [&](std::size_t i, double plus, double minus) {
        result[i] = s_plus * plus - s_minus * minus;
    });
    return result;
}

std::vector<double> stage_prediction(const StagePredictor& stage, const Components& components) {
    const double s_plus = scaling_plus_or_default(stage);
    const double s_minus = scaling_minus_or_default(stage);
    std::vector<double> result(components.f_plus.size());
    for (std::size_t i = 0; i < result.size(); ++i) {
        result[i] = s_plus * components.f_plus[i] - s_minus * components.f_minus[i];
    }
    return result;
}

}  // namespace zun
