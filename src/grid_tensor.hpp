#pragma once
// The grid tensor record and its evaluation: each feature axis is cut into
// intervals; a sample's prediction is f+ - f- with
//   f+ = lambda_plus  * prod_j b_j(k_j) * exp(+t_j(k_j)),
//   f- = lambda_minus * prod_j b_j(k_j) * exp(-t_j(k_j)).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "matrix_view.hpp"

namespace zun {

using Interval = std::pair<double, double>;  // (low, high)

struct GridTensor {
    std::vector<std::vector<double>> splits;
    std::vector<std::vector<std::uint64_t>> observation_counts;
    std::vector<std::vector<Interval>> intervals;
    double scaling = 1.0;
    std::vector<std::vector<double>> backbone_values;
    std::vector<std::vector<double>> tilt_values;
    double lambda_plus = 1.0;
    double lambda_minus = 1.0;

    bool operator==(const GridTensor&) const = default;
};

struct Components {
    std::vector<double> f_plus;
    std::vector<double> f_minus;
};

// Number of thresholds <= value: a value equal to a threshold lies in the
// interval on its right; NaN compares false everywhere and lands in 0.
std::size_t interval_of(const std::vector<double>& thresholds, double value);

// Why `predict` cannot evaluate `columns` columns of this record without
// reading out of bounds, or nullopt when it can.
std::optional<std::string> evaluation_problem(const GridTensor& grid_tensor, std::size_t columns);

// b e^t and b e^-t of every interval of one feature: what a row in that
// interval multiplies into f+ and into f-.
struct FeatureFactors {
    std::vector<double> plus;
    std::vector<double> minus;
};

// Rows per block when evaluations split the rows among the worker threads.
inline constexpr std::size_t prediction_block_rows = 4096;

// The factors of features 0 .. columns - 1, one entry per interval that has
// both a backbone and a tilt value. Evaluating them once per record rather
// than once per row and feature gives the same products.
std::vector<FeatureFactors> interval_factors(const GridTensor& grid_tensor, std::size_t columns);

// f+ - f- per row. Precondition: evaluation_problem(grid_tensor, x.cols()) is nullopt.
std::vector<double> predict(const GridTensor& grid_tensor, const MatrixView& x);

// backbone * cosh(tilt) per feature and interval, paired up to the shorter list.
std::vector<std::vector<double>> mean_factor(const GridTensor& grid_tensor);

std::size_t feature_count(const GridTensor& grid_tensor);

}  // namespace zun
