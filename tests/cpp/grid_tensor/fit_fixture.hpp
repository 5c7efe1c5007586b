#pragma once
// Training problems shared by the grid tensor fit tests. A state borrows the
// problem's arrays, so the problem must outlive every state made from it.
#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

#include "grid_tensor/refinement.hpp"
#include "grid_tensor/state.hpp"
#include "matrix_view.hpp"

namespace zun::testing {

struct Problem {
    std::vector<double> x;  // row-major, rows x cols
    std::vector<double> y;
    std::size_t rows = 0;
    std::size_t cols = 0;

    MatrixView x_view() const { return MatrixView::contiguous(x.data(), rows, cols); }
    VectorView y_view() const { return VectorView::contiguous(y.data(), rows); }
};

// One column of x per entry of `columns`, y given.
inline Problem columns_problem(const std::vector<std::vector<double>>& columns, std::vector<double> y) {
    Problem problem;
    problem.rows = y.size();
    problem.cols = columns.size();
    problem.y = std::move(y);
    problem.x.resize(problem.rows * problem.cols);
    for (std::size_t j = 0; j < problem.cols; ++j) {
        for (std::size_t i = 0; i < problem.rows; ++i) {
            problem.x[i * problem.cols + j] = columns[j][i];
        }
    }
    return problem;
}

// Random features (rounded to a coarse grid when `ties`, so many values
// repeat) and a target with structure in the first two features plus noise;
// shifted to be non-negative when `non_negative`.
inline Problem random_problem(unsigned seed, std::size_t rows, std::size_t cols, bool ties, bool non_negative) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    Problem problem;
    problem.rows = rows;
    problem.cols = cols;
    problem.x.resize(rows * cols);
    problem.y.resize(rows);
    for (double& value : problem.x) {
        value = normal(rng);
        if (ties) {
            value = std::round(value * 3.0) / 3.0;
        }
    }
    for (std::size_t i = 0; i < rows; ++i) {
        const double a = problem.x[i * cols];
        const double b = cols > 1 ? problem.x[i * cols + 1] : 0.0;
        problem.y[i] = 2.0 * std::tanh(a) + (b > 0.3 ? 1.5 : -0.5) + 0.5 * normal(rng);
        if (non_negative) {
            problem.y[i] = std::abs(problem.y[i]) + 0.1;
        }
    }
    return problem;
}

inline GridTensorState initialized_state(const Problem& problem, const RefinementStrategy& strategy) {
    GridTensorState state(problem.x_view(), problem.y_view());
    initialize_refinement(strategy, state);
    return state;
}

}  // namespace zun::testing
