#pragma once
// The Python class FitResult: the error, residuals and in-sample predictions
// of one fit, each epoch's training error and whether a stop cut the fit
// short; the arrays are created once and handed out as they are.
#include <Python.h>

#include <vector>

#include "py_ref.hpp"

namespace zun::py {

PyTypeObject* create_fit_result_type();
PyRef new_fit_result(double error, const std::vector<double>& residuals, const std::vector<double>& y_hat,
                     const std::vector<double>& epoch_errors, bool stopped_early);

}  // namespace zun::py
