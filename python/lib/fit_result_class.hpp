#pragma once
// The Python class FitResult: the error, residuals and in-sample predictions
// of one fit, the two arrays created once and handed out as they are.
#include <Python.h>

#include <vector>

#include "py_ref.hpp"

namespace zun::py {

PyTypeObject* create_fit_result_type();
PyRef new_fit_result(double error, const std::vector<double>& residuals, const std::vector<double>& y_hat);

}  // namespace zun::py
