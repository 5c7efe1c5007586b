#pragma once
// Test data shared by the boosting tests: uniform features and a target of
// both signs, wavy in feature 0, linear in feature 1, plus noise.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "matrix_view.hpp"

namespace zun {

struct WavyProblem {
    std::vector<double> x;  // row-major
    std::vector<double> y;
    std::size_t rows = 0;
    std::size_t cols = 0;

    MatrixView x_view() const { return MatrixView::contiguous(x.data(), rows, cols); }
    VectorView y_view() const { return VectorView::contiguous(y.data(), rows); }
};

inline WavyProblem make_wavy_problem(std::uint64_t seed, std::size_t rows, std::size_t cols) {
    std::mt19937_64 engine(seed);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::normal_distribution<double> noise(0.0, 0.1);
    WavyProblem p;
    p.rows = rows;
    p.cols = cols;
    p.x.resize(rows * cols);
    for (double& v : p.x) {
        v = uniform(engine);
    }
    p.y.resize(rows);
    for (std::size_t i = 0; i < rows; ++i) {
        p.y[i] = std::sin(6.0 * p.x[i * cols]) + p.x[i * cols + 1] - 0.5 + noise(engine);
    }
    return p;
}

}  // namespace zun
