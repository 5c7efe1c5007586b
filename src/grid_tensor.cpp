#include "grid_tensor.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "error.hpp"
#include "parallel.hpp"

namespace zun {

std::size_t interval_of(const std::vector<double>& thresholds, double value) {
    if (thresholds.empty()) {
        return 0;
    }
    // Halving search on a base index: every comparison is `value >= s`, so a
    // NaN never moves the base and never adds the final 1.
    std::size_t base = 0;
    std::size_t span = thresholds.size();
    while (span > 1) {
        const std::size_t half = span / 2;
        const std::size_t mid = base + half;
        if (value >= thresholds[mid]) {
            base = mid;
        }
        span -= half;
    }
    return base + (value >= thresholds[base] ? 1 : 0);
}

std::size_t feature_count(const GridTensor& grid_tensor) { return grid_tensor.splits.size(); }

std::optional<std::string> evaluation_problem(const GridTensor& grid_tensor, std::size_t columns) {
    const std::size_t features = std::min(
        {grid_tensor.splits.size(), grid_tensor.backbone_values.size(), grid_tensor.tilt_values.size()});
    if (columns > features) {
        return fmt::format("x has {} columns but the model has {} features", columns, features);
    }
    for (std::size_t j = 0; j < columns; ++j) {
        const std::size_t thresholds = grid_tensor.splits[j].size();
        const std::size_t backbone = grid_tensor.backbone_values[j].size();
        const std::size_t tilt = grid_tensor.tilt_values[j].size();
        if (backbone < thresholds + 1 || tilt < thresholds + 1) {
            return fmt::format("feature {} has {} thresholds but {} backbone values and {} tilt values", j,
                               thresholds, backbone, tilt);
        }
    }
    return std::nullopt;
}

std::vector<FeatureFactors> interval_factors(const GridTensor& grid_tensor, std::size_t columns) {
    std::vector<FeatureFactors> factors(columns);
    for (std::size_t j = 0; j < columns; ++j) {
        const auto& backbone = grid_tensor.backbone_values[j];
        const auto& tilt = grid_tensor.tilt_values[j];
        const std::size_t n = std::min(backbone.size(), tilt.size());
        factors[j].plus.resize(n);
        factors[j].minus.resize(n);
        for (std::size_t k = 0; k < n; ++k) {
            // One exponential per factor: the results are compared bit for
            // bit with an independent evaluation.
            factors[j].plus[k] = std::exp(tilt[k]) * backbone[k];
            factors[j].minus[k] = std::exp(-tilt[k]) * backbone[k];
        }
    }
    return factors;
}

std::vector<double> predict(const GridTensor& grid_tensor, const MatrixView& x) {
    if (const auto problem = evaluation_problem(grid_tensor, x.cols())) {
        throw InternalError(*problem);
    }
    const std::vector<FeatureFactors> factors = interval_factors(grid_tensor, x.cols());
    std::vector<double> result(x.rows());
    parallel_for_blocks(x.rows(), prediction_block_rows, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            double plus = grid_tensor.lambda_plus;
            double minus = grid_tensor.lambda_minus;
            // In column order, so every row's product is the same whatever
            // block or thread computes it.
            for (std::size_t j = 0; j < x.cols(); ++j) {
                const std::size_t k = interval_of(grid_tensor.splits[j], x(i, j));
                plus = plus * factors[j].plus[k];
                minus = minus * factors[j].minus[k];
            }
            result[i] = plus - minus;
        }
    });
    return result;
}

std::vector<std::vector<double>> mean_factor(const GridTensor& grid_tensor) {
    const std::size_t features = std::min(grid_tensor.backbone_values.size(), grid_tensor.tilt_values.size());
    std::vector<std::vector<double>> result(features);
    for (std::size_t j = 0; j < features; ++j) {
        const auto& backbone = grid_tensor.backbone_values[j];
        const auto& tilt = grid_tensor.tilt_values[j];
        const std::size_t n = std::min(backbone.size(), tilt.size());
        result[j].resize(n);
        for (std::size_t k = 0; k < n; ++k) {
            result[j][k] = backbone[k] * std::cosh(tilt[k]);
        }
    }
    return result;
}

}  // namespace zun
