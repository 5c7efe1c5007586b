#pragma once
// Python objects that own one core record, and what every class of the
// module shares: creation without a constructor, deallocation, self checks.
#include <Python.h>

#include <memory>
#include <new>
#include <utility>

#include <fmt/format.h>

#include "arguments.hpp"
#include "errors.hpp"
#include "py_ref.hpp"

namespace zun::py {

template <class Record>
struct RecordObject {
    PyObject ob_base;
    std::unique_ptr<Record> record;  // constructed in place after allocation
};

template <class Record>
PyRef wrap_record(PyTypeObject* type, Record record) {
    PyRef object = PyRef::steal(check(PyType_GenericAlloc(type, 0)));
    auto* raw = reinterpret_cast<RecordObject<Record>*>(object.get());
    new (&raw->record) std::unique_ptr<Record>();
    raw->record = std::make_unique<Record>(std::move(record));
    return object;
}

template <class Record>
const Record& record_of(PyObject* self) {
    return *reinterpret_cast<RecordObject<Record>*>(self)->record;
}

// Frees an instance whose members are already destroyed.
void free_instance(PyObject* self);

template <class Record>
void dealloc_record(PyObject* self) {
    reinterpret_cast<RecordObject<Record>*>(self)->record.~unique_ptr();
    free_instance(self);
}

// The Py_tp_new of every class: objects come only from the module's methods.
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Creates a final heap type named "builtins.<name>", so that `__module__`
// reads "builtins" and `__qualname__` is the bare name.
PyTypeObject* create_type(const char* spec_name, int basicsize, PyType_Slot* slots);

void require_instance(PyObject* self, PyTypeObject* type, const MethodSpec& spec);

// The PyMethodDef of a method declared by `spec`.
PyMethodDef method_def(const MethodSpec& spec, PyCFunctionWithKeywords function);

}  // namespace zun::py
