#pragma once
// Partial dependence of a boosted model: some features fixed, the others
// averaged over a data set, per stage and component. The caller allocates the
// value arrays and the functions fill them in place.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "matrix_view.hpp"
#include "stage_predictor.hpp"

namespace zun::analysis {

// (C+, C-) of one stage: the plus constant and the negated minus constant,
// both carrying the stage's scalings.
struct ComponentPair {
    double plus;
    double minus;
};

// Why partial_dependence cannot run on these inputs, or nullopt; the first
// failing check in the order callers see them.
std::optional<std::string> partial_dependence_problem(std::span<const StagePredictor> stages,
                                                      std::span<const std::uint64_t> fixed_indices,
                                                      std::size_t fixed_columns, std::size_t data_columns);

// Fills `values` (fixed_values.rows() x 2L, row-major; stage l in columns 2l
// and 2l + 1) and returns (C+, C-) per stage.
// Precondition: partial_dependence_problem(...) is nullopt.
std::vector<ComponentPair> partial_dependence(std::span<const StagePredictor> stages,
                                              std::span<const std::uint64_t> fixed_indices,
                                              const MatrixView& fixed_values, const MatrixView& data_x,
                                              std::span<double> values);

std::optional<std::string> first_order_problem(std::span<const StagePredictor> stages, std::size_t value_columns,
                                               std::size_t data_rows, std::size_t data_columns);

// One function per feature j: fills values[j] (values_x.rows() x 2L,
// row-major) and returns the constants as [j][stage].
// Precondition: first_order_problem(...) is nullopt and values has one
// entry per column of data_x.
std::vector<std::vector<ComponentPair>> first_order_partial_dependence(std::span<const StagePredictor> stages,
                                                                       const MatrixView& values_x,
                                                                       const MatrixView& data_x,
                                                                       std::span<const std::span<double>> values);

}  // namespace zun::analysis
