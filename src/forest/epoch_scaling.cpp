// Eigen must not start threads of its own: the fit's results may not depend
// on the thread count, and the worker pool owns the cores.
#define EIGEN_DONT_PARALLELIZE
#include "forest/epoch_scaling.hpp"

#include <Eigen/Dense>
#include <Eigen/SVD>
#include <algorithm>
#include <cmath>

namespace zun {

namespace {

// 2^-52, the spacing of doubles just above 1.
constexpr double kEpsilon = 2.220446049250313e-16;

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
                               double tolerance, double ridge) {
    EpochScaling result;
    double smallest_kept = 0.0;
    for (Eigen::Index i = 0; i < singular_values.size(); ++i) {
        const double sigma = singular_values(i);
        if (sigma > tolerance) {
            // Without a ridge the plain division keeps the unregularised bits.
            if (ridge > 0.0) {
                coordinates(i) *= sigma / (sigma * sigma + ridge);
            } else {
                coordinates(i) /= sigma;
            }
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

std::optional<EpochScaling> solve_epoch_scaling(const TriangularFactor& factor, std::size_t design_rows,
                                                double ridge) {
    const std::size_t cols = factor.cols;
    if (factor.rows == 0 || cols == 0) {
        // No singular value at all: every direction is cut.
        return EpochScaling{std::vector<double>(cols, 0.0), std::nullopt, 0};
    }
    const Eigen::Map<const Eigen::MatrixXd> r(factor.r.data(), static_cast<Eigen::Index>(factor.rows),
                                              static_cast<Eigen::Index>(cols));
    // Jacobi SVD: accurate small singular values on the nearly collinear
    // f+ / -f- columns, and single-threaded.
    const Eigen::JacobiSVD<Eigen::MatrixXd> svd(r, Eigen::ComputeThinU | Eigen::ComputeThinV);
    if (!svd.computeU() || !svd.computeV()) {
        return std::nullopt;
    }
    const Eigen::VectorXd& singular_values = svd.singularValues();
    const double tolerance =
        static_cast<double>(std::max(design_rows, cols)) * largest_singular_value(singular_values) * kEpsilon;
    if (!(tolerance >= 0.0)) {
        return std::nullopt;
    }

    const Eigen::Map<const Eigen::VectorXd> qty(factor.qty.data(), static_cast<Eigen::Index>(factor.rows));
    Eigen::VectorXd coordinates = svd.matrixU().transpose() * qty;
    EpochScaling result = scale_coordinates(coordinates, singular_values, tolerance, ridge);
    const Eigen::VectorXd weights = svd.matrixV() * coordinates;
    result.weights.assign(weights.begin(), weights.end());
    return result;
}

std::optional<EpochScaling> solve_epoch_scaling(const MatrixView& design, const VectorView& y) {
    return solve_epoch_scaling(DesignQr::of(design, y).factor(), design.rows());
}

}  // namespace zun
