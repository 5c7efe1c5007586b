#pragma once
// The Python class FitResult: the error, residuals and in-sample predictions
// of one fit, each epoch's training error and whether a stop cut the fit
// short; the arrays are created once and handed out as they are.
#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "py_ref.hpp"

namespace zun::py {

PyTypeObject* create_fit_result_type();
// validation_errors and best_epoch: those of a boosted fit with validation
// rows (empty and None otherwise).
PyRef new_fit_result(double error, const std::vector<double>& residuals, const std::vector<double>& y_hat,
                     const std::vector<double>& epoch_errors, bool stopped_early,
                     const std::vector<double>& validation_errors = {},
                     std::optional<std::uint64_t> best_epoch = std::nullopt);

}  // namespace zun::py
