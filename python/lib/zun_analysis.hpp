#pragma once
// The analysis methods of ZUN: partial dependence, ICE curves, feature
// importance and contributions. Each is declared by a MethodSpec and
// implemented by a function for the ZUN methods table; the computations live
// in src/analysis/.
#include <Python.h>

#include "arguments.hpp"

namespace zun::py {

const MethodSpec& partial_dependence_spec();
const MethodSpec& first_order_partial_dependence_spec();
const MethodSpec& ice_curves_spec();
const MethodSpec& ice_predictions_spec();
const MethodSpec& contributions_spec();
const MethodSpec& per_stage_feature_importance_spec();
const MethodSpec& aggregated_feature_importance_spec();
const MethodSpec& combined_feature_importance_spec();

// `self` must be a ZUN instance; the method descriptor of the ZUN type checks
// that before the call, as for every method in a type's methods table.
PyObject* compute_partial_dependence_function(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* compute_first_order_partial_dependence_functions(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* compute_ice_curves(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* compute_ice_predictions(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* compute_contributions(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* compute_per_stage_feature_importance(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* compute_aggregated_feature_importance(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* compute_combined_feature_importance(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace zun::py
