#pragma once
// The Python class StagePredictor: one boosting stage of a model.
#include <Python.h>

#include "py_ref.hpp"
#include "stage_predictor.hpp"

namespace zun::py {

PyTypeObject* create_stage_predictor_type();
PyRef wrap_stage_predictor(StagePredictor record);

}  // namespace zun::py
