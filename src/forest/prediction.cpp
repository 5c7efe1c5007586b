#include "forest/prediction.hpp"

#include <fmt/format.h>

namespace zun {

std::optional<std::string> boosted_prediction_problem(std::span<const StagePredictor> stages, std::size_t columns) {
    for (std::size_t s = 0; s < stages.size(); ++s) {
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
