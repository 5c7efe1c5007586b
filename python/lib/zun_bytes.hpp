#pragma once
// ZUN models as bytes in memory: the model file's bytes without a file, and
// pickling and copying on top of them.
#include <Python.h>

#include "arguments.hpp"

namespace zun::py {

const MethodSpec& to_bytes_spec();
const MethodSpec& from_bytes_spec();
extern const char* const kReduceDoc;

// `self` must be a ZUN instance (checked by the method descriptor).
PyObject* zun_to_bytes(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* zun_from_bytes(PyObject* cls, PyObject* args, PyObject* kwargs);
PyObject* zun_reduce(PyObject* self, PyObject* unused);

}  // namespace zun::py
