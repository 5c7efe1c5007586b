#pragma once
// Individual conditional expectation curves: one feature of each observation
// moved along a range of values, the others held, per stage and component.
// The caller allocates the result and the functions fill it in place.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "matrix_view.hpp"
#include "stage_predictor.hpp"

namespace zun::analysis {

// Why ice_curves cannot run on these inputs, or nullopt; the first failing
// check in the order callers see them.
std::optional<std::string> ice_curves_problem(std::span<const StagePredictor> stages, std::uint64_t feature,
                                              std::size_t observation_columns, std::size_t data_columns,
                                              std::size_t range_size);

// Writes `curves` (observations.rows() x x_range.size() x 2L, row-major;
// stage l in the last index's 2l and 2l + 1, the minus part negated). With no
// stages nothing is written.
// Precondition: ice_curves_problem(...) is nullopt.
void ice_curves(std::span<const StagePredictor> stages, const MatrixView& observations, std::size_t feature,
                const VectorView& x_range, std::span<double> curves);

// Writes `predictions` (observations.rows() x x_range.size(), row-major): the
// model's prediction of each observation with `feature` set to each value,
// that is the curves above summed over their last index, without the
// stage-by-stage array (2L times larger) in between. Rows are split among the
// worker threads; each sums its stages in order, whatever their number.
// Precondition: ice_curves_problem(stages, feature, observations.cols(),
// observations.cols(), x_range.size()) is nullopt.
void ice_predictions(std::span<const StagePredictor> stages, const MatrixView& observations, std::size_t feature,
                     const VectorView& x_range, std::span<double> predictions);

}  // namespace zun::analysis
