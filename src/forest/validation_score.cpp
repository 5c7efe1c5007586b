#include "forest/validation_score.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "error.hpp"
#include "stage_predictor.hpp"

namespace zun {

ValidationScore::ValidationScore(const MatrixView& x, const VectorView& y, std::size_t features) : x_(x), y_(y) {
    if (x.cols() != features) {
        throw FitError(fmt::format("x_valid has {} columns but x has {}", x.cols(), features));
    }
    if (x.rows() != y.size()) {
        throw FitError(fmt::format("x_valid has {} rows but y_valid has {} entries", x.rows(), y.size()));
    }
    if (x.rows() < 2) {
        throw FitError(fmt::format("the validation rows must be at least 2, got {}", x.rows()));
    }
    for (std::size_t i = 0; i < x.rows(); ++i) {
        for (std::size_t j = 0; j < x.cols(); ++j) {
            if (std::isnan(x(i, j))) {
                throw FitError(fmt::format("x_valid has NaN at row {}, column {}", i, j));
            }
        }
        if (!std::isfinite(y[i])) {
            throw FitError(fmt::format("y_valid has {} at index {}; validation targets must be finite", y[i], i));
        }
    }
}

void ValidationScore::append_stage(const GridTensor& combined) {
    Components components = compute_f_plus_minus(combined, x_);
    for (double& value : components.f_minus) {
        value = -value;
    }
    columns_.push_back(std::move(components.f_plus));
    columns_.push_back(std::move(components.f_minus));
}

double ValidationScore::error(std::span<const double> weights) const {
    if (weights.size() != columns_.size()) {
        throw InternalError(
            fmt::format("validation score: {} weights for {} columns", weights.size(), columns_.size()));
    }
    // Blocks of rows, each column in turn within a block: every row still
    // adds its columns in order, while the columns are read as streams.
    constexpr std::size_t block = 1024;
    std::vector<double> prediction(block);
    double sum = 0.0;
    for (std::size_t start = 0; start < rows(); start += block) {
        const std::size_t count = std::min(block, rows() - start);
        std::fill(prediction.begin(), prediction.begin() + static_cast<std::ptrdiff_t>(count), 0.0);
        for (std::size_t c = 0; c < columns_.size(); ++c) {
            const double* column = columns_[c].data() + start;
            for (std::size_t i = 0; i < count; ++i) {
                prediction[i] += column[i] * weights[c];
            }
        }
        for (std::size_t i = 0; i < count; ++i) {
            const double residual = y_[start + i] - prediction[i];
            sum += residual * residual;
        }
    }
    return sum / static_cast<double>(rows());
}

}  // namespace zun
