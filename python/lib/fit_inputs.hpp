#pragma once
// Checks shared by both fits before the core runs: matching, non-empty rows,
// no NaN in x (it cannot be ordered), finite targets (a NaN or infinite
// target would silently give a meaningless model).
#include "matrix_view.hpp"

namespace zun::py {

void check_fit_inputs(const MatrixView& x, const VectorView& y);

}  // namespace zun::py
