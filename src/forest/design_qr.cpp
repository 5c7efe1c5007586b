#include "forest/design_qr.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "error.hpp"

// glibc 2.35 gave hypot a new symbol version for its errno handling; the
// older one computes the same values and keeps the wheel loadable on glibc
// 2.34 systems, the oldest the package supports.
#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver hypot,hypot@GLIBC_2.2.5");
#endif

namespace zun {
namespace {

// Four running sums added at the end: a fixed order, so the same bits on
// every machine, that does not wait on a single chain of additions.
double dot(const double* a, const double* b, std::size_t n) {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        s0 += a[i] * b[i];
        s1 += a[i + 1] * b[i + 1];
        s2 += a[i + 2] * b[i + 2];
        s3 += a[i + 3] * b[i + 3];
    }
    for (; i < n; ++i) {
        s0 += a[i] * b[i];
    }
    return (s0 + s1) + (s2 + s3);
}

// The 2-norm, scaled so that no square overflows or underflows.
double norm(const double* a, std::size_t n) {
    double scale = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        scale = std::max(scale, std::abs(a[i]));
    }
    if (scale == 0.0) {
        return 0.0;
    }
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double t = a[i] / scale;
        sum += t * t;
    }
    return scale * std::sqrt(sum);
}

void require_finite_column(const std::vector<double>& column, std::size_t index) {
    for (std::size_t row = 0; row < column.size(); ++row) {
        if (!std::isfinite(column[row])) {
            throw FitError(fmt::format(
                "epoch scaling: the design matrix holds {} at row {}, column {}; it cannot be decomposed",
                column[row], row, index));
        }
    }
}

}  // namespace

DesignQr::DesignQr(const VectorView& y) : qty_(y.size()) {
    for (std::size_t row = 0; row < y.size(); ++row) {
        if (!std::isfinite(y[row])) {
            throw FitError(fmt::format("epoch scaling: y holds {} at row {}; it cannot be fitted", y[row], row));
        }
        qty_[row] = y[row];
    }
}

DesignQr DesignQr::of(const MatrixView& design, const VectorView& y) {
    if (design.rows() != y.size()) {
        throw InternalError(fmt::format("epoch scaling: the design matrix has {} rows but y has {} entries",
                                        design.rows(), y.size()));
    }
    DesignQr qr(y);
    std::vector<std::vector<double>> columns(design.cols(), std::vector<double>(design.rows()));
    for (std::size_t j = 0; j < design.cols(); ++j) {
        for (std::size_t i = 0; i < design.rows(); ++i) {
            columns[j][i] = design(i, j);
        }
    }
    qr.append_columns(columns);
    return qr;
}

void DesignQr::reflect(const Reflector& h, double* column) {
    if (h.tau == 0.0) {
        return;
    }
    double* below = column + h.first;
    const double s = h.tau * (below[0] + dot(h.tail.data(), below + 1, h.tail.size()));
    below[0] -= s;
    for (std::size_t i = 0; i < h.tail.size(); ++i) {
        below[i + 1] -= s * h.tail[i];
    }
}

// reflect() on two columns with one read of the reflector: the same
// operations in the same order on each, so the same bits.
void DesignQr::reflect_pair(const Reflector& h, double* a, double* b) {
    if (h.tau == 0.0) {
        return;
    }
    const double* v = h.tail.data();
    const std::size_t n = h.tail.size();
    double* below_a = a + h.first;
    double* below_b = b + h.first;
    const double* ta = below_a + 1;
    const double* tb = below_b + 1;
    double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0;
    double b0 = 0.0, b1 = 0.0, b2 = 0.0, b3 = 0.0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        a0 += v[i] * ta[i];
        a1 += v[i + 1] * ta[i + 1];
        a2 += v[i + 2] * ta[i + 2];
        a3 += v[i + 3] * ta[i + 3];
        b0 += v[i] * tb[i];
        b1 += v[i + 1] * tb[i + 1];
        b2 += v[i + 2] * tb[i + 2];
        b3 += v[i + 3] * tb[i + 3];
    }
    for (; i < n; ++i) {
        a0 += v[i] * ta[i];
        b0 += v[i] * tb[i];
    }
    const double sa = h.tau * (below_a[0] + ((a0 + a1) + (a2 + a3)));
    const double sb = h.tau * (below_b[0] + ((b0 + b1) + (b2 + b3)));
    below_a[0] -= sa;
    below_b[0] -= sb;
    for (std::size_t k = 0; k < n; ++k) {
        below_a[k + 1] -= sa * v[k];
        below_b[k + 1] -= sb * v[k];
    }
}

// Householder step on a column to which every reflector so far has been
// applied: below the current rank it makes the reflector that zeroes the
// column's lower part (none once every row has one), and records R's column.
void DesignQr::add_reflected_column(std::vector<double>& column) {
    const std::size_t k = reflectors_.size();
    if (k < rows()) {
        Reflector h;
        h.first = k;
        const double alpha = column[k];
        const double lower = norm(column.data() + k + 1, rows() - k - 1);
        double beta = alpha;
        if (lower != 0.0) {
            beta = -std::copysign(std::hypot(alpha, lower), alpha);
            h.tau = (beta - alpha) / beta;
            const double divisor = alpha - beta;
            h.tail.assign(column.begin() + static_cast<std::ptrdiff_t>(k + 1), column.end());
            for (double& t : h.tail) {
                t /= divisor;
            }
        }
        column[k] = beta;
        reflect(h, qty_.data());
        reflectors_.push_back(std::move(h));
    }
    column.resize(reflectors_.size());
    column.shrink_to_fit();
    r_columns_.push_back(std::move(column));
}

void DesignQr::append_columns(std::span<const std::vector<double>> columns) {
    for (std::size_t c = 0; c < columns.size(); ++c) {
        if (columns[c].size() != rows()) {
            throw InternalError(fmt::format("epoch scaling: a column of {} entries for a design of {} rows",
                                            columns[c].size(), rows()));
        }
        require_finite_column(columns[c], cols() + c);
    }
    std::vector<std::vector<double>> work(columns.begin(), columns.end());
    const std::size_t earlier = reflectors_.size();
    for (std::size_t h = 0; h < earlier; ++h) {
        std::size_t c = 0;
        for (; c + 2 <= work.size(); c += 2) {
            reflect_pair(reflectors_[h], work[c].data(), work[c + 1].data());
        }
        if (c < work.size()) {
            reflect(reflectors_[h], work[c].data());
        }
    }
    for (std::vector<double>& column : work) {
        // The reflectors the columns before it in this call made.
        for (std::size_t h = earlier; h < reflectors_.size(); ++h) {
            reflect(reflectors_[h], column.data());
        }
        add_reflected_column(column);
    }
}

TriangularFactor DesignQr::factor() const {
    TriangularFactor factor;
    factor.rows = reflectors_.size();
    factor.cols = cols();
    factor.r.assign(factor.rows * factor.cols, 0.0);
    for (std::size_t j = 0; j < factor.cols; ++j) {
        std::copy(r_columns_[j].begin(), r_columns_[j].end(),
                  factor.r.begin() + static_cast<std::ptrdiff_t>(j * factor.rows));
    }
    factor.qty.assign(qty_.begin(), qty_.begin() + static_cast<std::ptrdiff_t>(factor.rows));
    return factor;
}

std::vector<double> DesignQr::multiply(std::span<const double> w) const {
    if (w.size() != cols()) {
        throw InternalError(
            fmt::format("epoch scaling: {} weights for a design matrix of {} columns", w.size(), cols()));
    }
    // D w = Q [R w; 0]: R w in the leading rows, then the reflectors from
    // the last to the first.
    std::vector<double> product(rows(), 0.0);
    for (std::size_t j = 0; j < cols(); ++j) {
        const std::vector<double>& column = r_columns_[j];
        for (std::size_t i = 0; i < column.size(); ++i) {
            product[i] += column[i] * w[j];
        }
    }
    for (auto h = reflectors_.rbegin(); h != reflectors_.rend(); ++h) {
        reflect(*h, product.data());
    }
    return product;
}

TriangularFactor stack_factors(std::span<const TriangularFactor> parts) {
    const std::size_t cols = parts.empty() ? 0 : parts.front().cols;
    std::vector<double> qty;
    std::vector<std::vector<double>> columns(cols);
    for (const TriangularFactor& part : parts) {
        if (part.cols != cols) {
            throw InternalError(fmt::format("epoch scaling: stacking factors of {} and {} columns", cols, part.cols));
        }
        qty.insert(qty.end(), part.qty.begin(), part.qty.end());
        for (std::size_t j = 0; j < cols; ++j) {
            const auto first = part.r.begin() + static_cast<std::ptrdiff_t>(j * part.rows);
            columns[j].insert(columns[j].end(), first, first + static_cast<std::ptrdiff_t>(part.rows));
        }
    }
    DesignQr stacked(VectorView::contiguous(qty.data(), qty.size()));
    stacked.append_columns(columns);
    return stacked.factor();
}

}  // namespace zun
