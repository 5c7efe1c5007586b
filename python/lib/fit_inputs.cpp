#include "fit_inputs.hpp"

#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "errors.hpp"

namespace zun::py {

void check_fit_inputs(const MatrixView& x, const VectorView& y) {
    if (x.rows() != y.size()) {
        throw value_error(fmt::format("x has {} rows but y has {} entries", x.rows(), y.size()));
    }
    if (x.rows() == 0) {
        throw value_error("x and y have no rows; a fit needs at least one sample");
    }
    for (std::size_t i = 0; i < x.rows(); ++i) {
        for (std::size_t j = 0; j < x.cols(); ++j) {
            if (std::isnan(x(i, j))) {
                throw value_error(fmt::format("x has NaN in column {} (row {}); fits need ordered feature values", j, i));
            }
        }
    }
    for (std::size_t i = 0; i < y.size(); ++i) {
        if (!std::isfinite(y[i])) {
            throw value_error(fmt::format("y has a non-finite value {} at index {}; fits need finite targets",
                                          y[i], i));
        }
    }
}

void check_target_magnitude(const VectorView& y) {
    const double limit = std::sqrt(std::numeric_limits<double>::max() / static_cast<double>(y.size()));
    for (std::size_t i = 0; i < y.size(); ++i) {
        if (std::abs(y[i]) > limit) {
            throw value_error(fmt::format(
                "y has {} at index {}, beyond {:.3g}, where the sum of {} squared errors overflows; scale y down "
                "first (ZunRegressor standardises it)",
                y[i], i, limit, y.size()));
        }
    }
}

}  // namespace zun::py
