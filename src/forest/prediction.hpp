#pragma once
// The boosted model's prediction: the sum of its stages' predictions.
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "matrix_view.hpp"
#include "stage_predictor.hpp"

namespace zun {

// Why predict_boosted cannot evaluate `columns` columns with every stage, or
// nullopt: every stage needs exactly its feature count, and a record that
// evaluation would read out of bounds names its stage.
std::optional<std::string> boosted_prediction_problem(std::span<const StagePredictor> stages, std::size_t columns);

// Starts from zeros and adds each stage's prediction in epoch order.
// Precondition: boosted_prediction_problem(stages, x.cols()) is nullopt.
std::vector<double> predict_boosted(std::span<const StagePredictor> stages, const MatrixView& x);

}  // namespace zun
