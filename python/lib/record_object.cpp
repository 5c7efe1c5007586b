#include "record_object.hpp"

namespace zun::py {

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
    const PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
    if (!name) {
        return nullptr;
    }
    PyErr_Format(PyExc_TypeError, "cannot create '%U' instances", name.get());
    return nullptr;
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);  // instances of heap types hold a reference to their type
}

PyTypeObject* create_type(const char* spec_name, int basicsize, PyType_Slot* slots) {
    PyType_Spec spec{spec_name, basicsize, 0, Py_TPFLAGS_DEFAULT, slots};
    return reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&spec)));
}

void require_instance(PyObject* self, PyTypeObject* type, const MethodSpec& spec) {
    if (!PyObject_TypeCheck(self, type)) {
        throw type_error(fmt::format("{} requires a '{}' object as self", spec.display_name(), spec.owner()));
    }
}

PyMethodDef method_def(const MethodSpec& spec, PyCFunctionWithKeywords function) {
    const int flags = METH_VARARGS | METH_KEYWORDS | (spec.receiver() == Receiver::Class ? METH_CLASS : 0);
    return PyMethodDef{spec.name(), reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(function)), flags,
                       spec.docstring()};
}

}  // namespace zun::py
