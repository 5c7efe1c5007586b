#pragma once
// The Python class ZUN: the boosted model, an ordered list of stages.
#include <Python.h>

#include <vector>

#include "py_ref.hpp"
#include "stage_predictor.hpp"

namespace zun::py {

using StageList = std::vector<StagePredictor>;

PyTypeObject* create_zun_type();
PyRef wrap_zun(StageList stages);

}  // namespace zun::py
