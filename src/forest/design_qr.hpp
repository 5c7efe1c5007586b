#pragma once
// The epoch scaling's design matrix held as a Householder QR that grows by
// columns. D = Q [R; 0] with Q = H_0 H_1 ... H_{k-1} kept as its reflectors,
// and Q^T y kept alongside, so adding a stage's two columns costs
// O(rows x columns) and the least-squares solve needs only the small factor R
// (whose singular values are those of D). No copy of D is kept or made.
#include <cstddef>
#include <span>
#include <vector>

#include "matrix_view.hpp"

namespace zun {

// R (rows x cols, upper trapezoidal, column-major) and the first `rows`
// entries of Q^T y, where rows = min(design rows, cols).
struct TriangularFactor {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<double> r;
    std::vector<double> qty;

    double at(std::size_t row, std::size_t col) const { return r[col * rows + row]; }
};

class DesignQr {
public:
    // y is copied; a non-finite entry is a FitError naming it.
    explicit DesignQr(const VectorView& y);
    // The factor of a whole design matrix at once (its columns in order).
    static DesignQr of(const MatrixView& design, const VectorView& y);

    std::size_t rows() const { return qty_.size(); }
    std::size_t cols() const { return r_columns_.size(); }

    // Appends columns of rows() entries each, in order; every earlier
    // reflector is read once for all of them. A non-finite entry is a
    // FitError naming its row and column, and leaves the factor as it was.
    void append_columns(std::span<const std::vector<double>> columns);

    TriangularFactor factor() const;

    // D w, one entry per row. Precondition: w.size() == cols().
    std::vector<double> multiply(std::span<const double> w) const;

private:
    // H = I - tau v v^T acting on rows first .. rows() - 1, v = (1, tail).
    struct Reflector {
        std::size_t first = 0;
        double tau = 0.0;
        std::vector<double> tail;
    };

    static void reflect(const Reflector& h, double* column);
    static void reflect_pair(const Reflector& h, double* a, double* b);
    void add_reflected_column(std::vector<double>& column);

    std::vector<Reflector> reflectors_;
    // Column j of R: its entries in rows 0 .. (reflectors after column j) - 1.
    std::vector<std::vector<double>> r_columns_;
    // H_{k-1} ... H_0 y over all rows.
    std::vector<double> qty_;
};

// The factor of the rows of several blocks stacked in the given order, from
// their factors alone (one more QR of the stacked small factors), so blocks
// may be factorised apart. Every part must have the same number of columns.
TriangularFactor stack_factors(std::span<const TriangularFactor> parts);

}  // namespace zun
