#pragma once
// The record a fit's progress callback receives: a named tuple
// (epoch, trees_done, total_trees, epochs, elapsed, train_error).
#include <Python.h>

#include <optional>

#include "fit_control.hpp"
#include "py_ref.hpp"

namespace zun::py {

// `train_error` is the error after `epoch` once that epoch is done, else absent.
PyRef new_progress_record(const FitProgress& progress, double elapsed, std::optional<double> train_error,
                          std::optional<double> validation_error = std::nullopt);

}  // namespace zun::py
