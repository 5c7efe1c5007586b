#include "errors.hpp"

namespace zun::py {

PyObject* panic_exception_type() {
    // Created on first use and kept for the life of the process.
    static PyObject* const type = PyErr_NewExceptionWithDoc(
        "_zunmerak.PanicException", "An internal invariant of the extension was violated.", PyExc_BaseException,
        nullptr);
    return type;
}

void raise_panic(const std::string& message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        return;  // creating the type failed and set its own error
    }
    raise_error(type, message);
}

void raise_error(PyObject* type, const std::string& message) {
    PyObject* text =
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "backslashreplace");
    if (text == nullptr) {
        return;  // the decoding's own error (memory) stands
    }
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

}  // namespace zun::py
