#pragma once
// A small boosted model for the analysis tests: stages on three features
// whose factors all differ, one stage with both scalings, one with none
// (s+ = 1, s- = 0), and data rows that hit thresholds, NaN and infinities.
// The reference columns come from the stage evaluation, which the analysis
// code does not call, so they check it independently.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "grid_tensor_builder.hpp"
#include "matrix_view.hpp"
#include "stage_predictor.hpp"

namespace zun {

inline StagePredictor analysis_stage(std::vector<FeatureValues> features, double lambda_plus, double lambda_minus,
                                     std::optional<double> scaling_plus, std::optional<double> scaling_minus) {
    StagePredictor stage;
    stage.primary_grid_tensor = grid_tensor(features, lambda_plus, lambda_minus);
    stage.scaling_plus = scaling_plus;
    stage.scaling_minus = scaling_minus;
    return stage;
}

inline std::vector<StagePredictor> analysis_stages() {
    return {
        analysis_stage({{{0.0}, {0.8, 1.3}, {0.2, -0.4}},
                        {{-0.5, 0.5}, {1.1, 0.6, 1.7}, {-0.1, 0.3, 0.05}},
                        {{}, {1.2}, {0.25}}},
                       1.4, 0.7, 0.9, 1.6),
        analysis_stage({{{0.5}, {1.5, 0.9}, {0.0, 0.6}},
                        {{0.0}, {0.7, 1.25}, {0.35, -0.2}},
                        {{-1.0, 0.0, 1.0}, {0.9, 1.1, 1.4, 0.6}, {-0.3, 0.1, 0.2, 0.4}}},
                       0.8, 1.9, std::nullopt, std::nullopt),
    };
}

// Row-major rows of three features.
struct Rows {
    std::vector<double> values;
    std::size_t cols = 3;

    std::size_t rows() const { return values.size() / cols; }
    MatrixView view() const { return MatrixView::contiguous(values.data(), rows(), cols); }
    // A copy with column `col` set to `value` in every row.
    Rows with(std::size_t col, double value) const {
        Rows changed = *this;
        for (std::size_t i = 0; i < rows(); ++i) {
            changed.values[i * cols + col] = value;
        }
        return changed;
    }
};

inline Rows analysis_rows() {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    return {{-1.0, 0.0,  0.5,    //
             0.0,  -0.5, -1.0,   //
             0.5,  0.5,  2.0,    //
             2.0,  nan,  0.0,    //
             -inf, 1.5,  inf,    //
             0.25, -2.0, -0.3,   //
             nan,  0.1,  1.0}};
}

// The stage's two result columns per row: s+ f+ and -s- f-.
struct StageColumns {
    std::vector<double> plus;
    std::vector<double> minus;
};

inline StageColumns stage_columns(const StagePredictor& stage, const MatrixView& x) {
    const Components components = compute_f_plus_minus(stage.primary_grid_tensor, x);
    StageColumns columns{components.f_plus, components.f_minus};
    for (std::size_t i = 0; i < x.rows(); ++i) {
        columns.plus[i] *= scaling_plus_or_default(stage);
        columns.minus[i] *= -scaling_minus_or_default(stage);
    }
    return columns;
}

inline double mean(const std::vector<double>& values) {
    double sum = 0.0;
    for (const double v : values) {
        sum += v;
    }
    return sum / static_cast<double>(values.size());
}

// Equal up to rounding of products taken in another order.
inline void expect_close(double actual, double expected) {
    EXPECT_NEAR(actual, expected, 1e-13 * std::max(1.0, std::abs(expected)));
}

}  // namespace zun
