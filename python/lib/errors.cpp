#include "errors.hpp"

namespace zun::py {

PyObject* panic_exception_type() {
    // Created on first use and kept for the life of the process.
    static PyObject* const type = PyErr_NewExceptionWithDoc(
        "_zunmerak.PanicException", "An internal invariant of the extension was violated.", PyExc_BaseException,
        nullptr);
    return type;
}

void raise_panic(const char* message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        return;  // creating the type failed and set its own error
    }
    PyErr_SetString(type, message);
}

}  // namespace zun::py
