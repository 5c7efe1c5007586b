#include "forest/prediction.hpp"

#include <fmt/format.h>

namespace zun {

std::optional<std::string> boosted_prediction_problem(std::span<const StagePredictor> stages, std::size_t columns) {
    for (std::size_t s = 0; s < stages.size(); ++s) {
        // Fewer columns would evaluate the leading features only: the
        // prediction of another model, not of this one.
        const std::size_t features = feature_count(stages[s].primary_grid_tensor);
        if (columns != features) {
            return s == 0 ? fmt::format("x has {} columns but the model has {} features", columns, features)
                          : fmt::format("x has {} columns but stage {} of the model has {} features", columns, s,
                                        features);
        }
        if (const auto problem = stage_evaluation_problem(stages[s].primary_grid_tensor, columns)) {
            return fmt::format("stage {}: {}", s, *problem);
        }
    }
    return std::nullopt;
}

std::vector<double> predict_boosted(std::span<const StagePredictor> stages, const MatrixView& x) {
    std::vector<double> sum(x.rows(), 0.0);
    for (const StagePredictor& stage : stages) {
        const std::vector<double> part = predict(stage, x);
        for (std::size_t i = 0; i < sum.size(); ++i) {
            sum[i] += part[i];
        }
    }
    return sum;
}

}  // namespace zun
