#pragma once
// The error of a boosted fit on rows it does not train on, after every
// epoch's scaling. Each stage's two design columns on those rows are kept,
// so scoring an epoch costs O(rows x stages) and no stage is evaluated again.
#include <cstddef>
#include <span>
#include <vector>

#include "grid_tensor.hpp"
#include "matrix_view.hpp"

namespace zun {

class ValidationScore {
public:
    // x must have `features` columns, no NaN, and at least two rows; y one
    // finite value per row (FitError naming the problem otherwise). Both
    // must outlive this.
    ValidationScore(const MatrixView& x, const VectorView& y, std::size_t features);

    std::size_t rows() const { return y_.size(); }

    // The combined grid tensor of the next stage: its f+ and -f- columns.
    void append_stage(const GridTensor& combined);

    // Mean squared error of the columns so far times `weights` (one per
    // column, as the scaling's) against y; rows summed in order.
    double error(std::span<const double> weights) const;

private:
    MatrixView x_;
    VectorView y_;
    std::vector<std::vector<double>> columns_;
};

}  // namespace zun
