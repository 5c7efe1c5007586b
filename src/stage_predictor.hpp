#pragma once
// One boosting stage: its trees, the combined grid tensor that prediction
// uses, and the stage's scalings set by the boosting loop.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "grid_tensor.hpp"
#include "grid_tensor/params.hpp"
#include "matrix_view.hpp"

namespace zun {

struct StagePredictor {
    std::vector<GridTensor> grid_tensors;
    GridTensor primary_grid_tensor;
    std::optional<std::vector<std::uint64_t>> candidate_indices;
    Aggregation aggregation_method = Aggregation::Combined;
    std::optional<double> scaling_plus;
    std::optional<double> scaling_minus;
    std::optional<double> energy;

    bool operator==(const StagePredictor&) const = default;
};

// Why compute_f_plus_minus cannot evaluate `columns` columns of this grid
// tensor without reading out of bounds, or nullopt when it can. Unlike the
// record's own predict, interval indices are clamped to the value lists here.
std::optional<std::string> stage_evaluation_problem(const GridTensor& grid_tensor, std::size_t columns);

// (f+, f-) per row with the interval index clamped to the backbone list.
// Precondition: stage_evaluation_problem(grid_tensor, x.cols()) is nullopt.
Components compute_f_plus_minus(const GridTensor& grid_tensor, const MatrixView& x);

// s+ * f+ - s- * f- on the primary grid tensor; absent s+ is 1, absent s- is 0.
std::vector<double> predict(const StagePredictor& stage, const MatrixView& x);

// The same from the components of the primary grid tensor, already evaluated.
std::vector<double> stage_prediction(const StagePredictor& stage, const Components& components);

double scaling_plus_or_default(const StagePredictor& stage);
double scaling_minus_or_default(const StagePredictor& stage);

}  // namespace zun
