#pragma once
// The joint least-squares rescaling of all stages after an epoch: every stage
// contributes its f+ column and its negated f- column, and the minimum-norm
// least-squares weights against y become the stages' scaling_plus and
// scaling_minus.
#include <cstddef>
#include <optional>
#include <vector>

#include "forest/design_qr.hpp"
#include "matrix_view.hpp"

namespace zun {

struct EpochScaling {
    // weights[2k] is stage k's scaling_plus, weights[2k + 1] its scaling_minus.
    std::vector<double> weights;
    // Largest over smallest kept singular value; absent when none is kept
    // (zero or empty design matrix). Large values mean the weights are
    // unstable, which the boosting loop reports.
    std::optional<double> condition_number;
    std::size_t kept_singular_values = 0;
};

// Minimum-norm least-squares solution of design * w = y from the design's
// triangular factor, by a singular value decomposition of R (whose singular
// values are the design's); singular values not above
// max(design_rows, cols) * largest singular value * 2^-52 are cut.
// nullopt means the decomposition gave no usable factors; the caller then
// falls back to unscaled predictions. A ridge > 0 scales each kept
// direction by sigma / (sigma^2 + ridge) instead of 1 / sigma: the ridge
// solution min |design w - y|^2 + ridge |w|^2 within the kept directions.
std::optional<EpochScaling> solve_epoch_scaling(const TriangularFactor& factor, std::size_t design_rows,
                                                double ridge = 0.0);

// The same for a whole design matrix at once. Throws InternalError when
// y.size() != design.rows() and FitError when design or y holds a NaN or
// infinite value.
std::optional<EpochScaling> solve_epoch_scaling(const MatrixView& design, const VectorView& y);

}  // namespace zun
