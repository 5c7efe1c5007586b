// Eigen must not start threads of its own: the fit's results may not depend
// on the thread count, and the worker pool owns the cores.
#define EIGEN_DONT_PARALLELIZE
#include "forest/epoch_scaling.hpp"

#include <fmt/format.h>

#include <Eigen/Dense>
#include <Eigen/SVD>
#include <algorithm>
#include <cmath>

#include "error.hpp"

namespace zun {

namespace {

// 2^-52, the spacing of doubles just above 1.
constexpr double kEpsilon = 2.220446049250313e-16;

void require_matching_sizes(const MatrixView& design, const VectorView& y) {
    if (y.size() != design.rows()) {
        throw InternalError(fmt::format("epoch scaling: the design matrix has {} rows but y has {} entries",
                                        design.rows(), y.size()));
    }
}

// A non-finite entry has no decomposition; the fit stops rather than go on
// with garbage scalings.
void require_finite(const MatrixView& design, const VectorView& y) {
    for (std::size_t row = 0; row < design.rows(); ++row) {
        for (std::size_t col = 0; col < design.cols(); ++col) {
            const double value = design(row, col);
            if (!std::isfinite(value)) {
                throw FitError(fmt::format(
                    "epoch scaling: the design matrix holds {} at row {}, column {}; it cannot be decomposed", value,
                    row, col));
            }
        }
    }
    for (std::size_t row = 0; row < y.size(); ++row) {
        if (!std::isfinite(y[row])) {
            throw FitError(fmt::format("epoch scaling: y holds {} at row {}; it cannot be fitted", y[row], row));
        }
    }
}

Eigen::MatrixXd dense_copy(const MatrixView& design) {
    const auto rows = static_cast<Eigen::Index>(design.rows());
    const auto cols = static_cast<Eigen::Index>(design.cols());
    Eigen::MatrixXd dense(rows, cols);
    for (Eigen::Index col = 0; col < cols; ++col) {
        for (Eigen::Index row = 0; row < rows; ++row) {
            dense(row, col) = design(static_cast<std::size_t>(row), static_cast<std::size_t>(col));
        }
    }
    return dense;
}

Eigen::VectorXd dense_copy(const VectorView& y) {
    Eigen::VectorXd dense(static_cast<Eigen::Index>(y.size()));
    for (std::size_t row = 0; row < y.size(); ++row) {
        dense(static_cast<Eigen::Index>(row)) = y[row];
    }
    return dense;
}

// A NaN singular value never becomes the maximum.
double largest_singular_value(const Eigen::VectorXd& singular_values) {
    double largest = 0.0;
    for (const double value : singular_values) {
        if (value > largest) {
            largest = value;
        }
    }
    return largest;
}

// Coordinates of y in the kept singular directions, zero for the cut ones;
// also the condition number over the kept values.
EpochScaling scale_coordinates(Eigen::VectorXd& coordinates, const Eigen::VectorXd& singular_values,
                               double tolerance) {
    EpochScaling result;
    double smallest_kept = 0.0;
    for (Eigen::Index i = 0; i < singular_values.size(); ++i) {
        const double sigma = singular_values(i);
        if (sigma > tolerance) {
            coordinates(i) /= sigma;
            smallest_kept = result.kept_singular_values == 0 ? sigma : std::min(smallest_kept, sigma);
            ++result.kept_singular_values;
        } else {
            coordinates(i) = 0.0;
        }
    }
    if (result.kept_singular_values > 0) {
        result.condition_number = largest_singular_value(singular_values) / smallest_kept;
    }
    return result;
}

}  // namespace

std::optional<EpochScaling> solve_epoch_scaling(const MatrixView& design, const VectorView& y) {
    require_matching_sizes(design, y);
    require_finite(design, y);
    const std::size_t rows = design.rows();
    const std::size_t cols = design.cols();
    if (rows == 0 || cols == 0) {
        // No singular value at all: every direction is cut.
        return EpochScaling{std::vector<double>(cols, 0.0), std::nullopt, 0};
    }

    // Jacobi SVD: accurate small singular values on the nearly collinear
    // f+ / -f- columns, and single-threaded.
    const Eigen::JacobiSVD<Eigen::MatrixXd> svd(dense_copy(design), Eigen::ComputeThinU | Eigen::ComputeThinV);
    if (!svd.computeU() || !svd.computeV()) {
        return std::nullopt;
    }
    const Eigen::VectorXd& singular_values = svd.singularValues();
    const double tolerance =
        static_cast<double>(std::max(rows, cols)) * largest_singular_value(singular_values) * kEpsilon;
    if (!(tolerance >= 0.0)) {
        return std::nullopt;
    }

    Eigen::VectorXd coordinates = svd.matrixU().transpose() * dense_copy(y);
    EpochScaling result = scale_coordinates(coordinates, singular_values, tolerance);
    const Eigen::VectorXd weights = svd.matrixV() * coordinates;
    result.weights.assign(weights.begin(), weights.end());
    return result;
}

std::vector<double> apply_scaling_weights(const MatrixView& design, const std::vector<double>& weights) {
    if (weights.size() != design.cols()) {
        throw InternalError(fmt::format("apply_scaling_weights: {} weights for a design matrix of {} columns",
                                        weights.size(), design.cols()));
    }
    std::vector<double> prediction(design.rows(), 0.0);
    for (std::size_t row = 0; row < design.rows(); ++row) {
        double sum = 0.0;
        for (std::size_t col = 0; col < weights.size(); ++col) {
            sum += design(row, col) * weights[col];
        }
        prediction[row] = sum;
    }
    return prediction;
}

}  // namespace zun
