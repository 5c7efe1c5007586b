#pragma once
// The Python class GridTensor: one fitted grid tensor record.
#include <Python.h>

#include "grid_tensor.hpp"
#include "py_ref.hpp"

namespace zun::py {

PyTypeObject* create_grid_tensor_type();
PyRef wrap_grid_tensor(GridTensor record);

}  // namespace zun::py
