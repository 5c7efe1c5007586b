#pragma once
// The design matrix of the epoch scalings over the training rows, kept per
// part of the rows as a growing factor (one part of all rows when the trees
// fit on all of them). The parts' factors are reduced in part order, so the
// weights depend only on the parts, never on where or when each part's
// factor was made.
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "forest/design_qr.hpp"
#include "forest/epoch_scaling.hpp"
#include "grid_tensor.hpp"
#include "matrix_view.hpp"
#include "stage_predictor/tree_rows.hpp"

namespace zun {

class ScalingDesign {
public:
    // `rows` must outlive this; y holds one target per training row.
    ScalingDesign(const VectorView& y, const TreeRows& rows);

    std::size_t cols() const { return parts_.front().cols(); }

    // A stage's columns f+ and -f-, given over all training rows.
    void append_stage(const Components& components);

    // The minimum-norm least-squares weights of every column so far, with
    // the given ridge (see solve_epoch_scaling).
    std::optional<EpochScaling> solve(double ridge = 0.0) const;

    // The design times w over all training rows, in row order.
    std::vector<double> multiply(std::span<const double> w) const;

private:
    const TreeRows& rows_;
    std::size_t row_count_;
    std::vector<DesignQr> parts_;
};

}  // namespace zun
