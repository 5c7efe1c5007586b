#pragma once
// Checks shared by both fits before the core runs: matching, non-empty rows,
// no NaN in x (it cannot be ordered), finite targets (a NaN or infinite
// target would silently give a meaningless model).
#include "matrix_view.hpp"

namespace zun::py {

void check_fit_inputs(const MatrixView& x, const VectorView& y);

// For the boosted fit, after check_fit_inputs: targets whose squares can be
// summed. Beyond that every error and least-squares step works on inf and the
// model predicts a constant.
void check_target_magnitude(const VectorView& y);

}  // namespace zun::py
