#pragma once
// The few entries of NumPy's C API that the module uses, read at run time
// from the `_ARRAY_API` capsule so no NumPy headers are needed to build.
#include <Python.h>

#include <cstdint>

namespace zun::py::numpy {

using npy_intp = Py_ssize_t;

// The leading, stable part of NumPy's array object layout.
struct ArrayFields {
    PyObject ob_base;
    char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

inline ArrayFields* fields(PyObject* array) { return reinterpret_cast<ArrayFields*>(array); }

// Loads the API table on first use; throws PythonErrorSet when NumPy is missing.
void ensure_loaded();

bool is_array(PyObject* object);
bool has_float64_dtype(PyObject* array);
bool is_numpy_bool(PyObject* object);

// A new C-ordered float64 array of the given shape; values uninitialised.
PyObject* new_float64_array(int nd, const npy_intp* dims);

}  // namespace zun::py::numpy
