#pragma once
// Failures inside the binding travel as C++ exceptions to one translation
// point, `guarded`, which turns them into Python exceptions.
#include <Python.h>

#include <new>
#include <stdexcept>
#include <string>

#include "error.hpp"

namespace zun::py {

// A Python exception is already set; just unwind.
struct PythonErrorSet {};

// A Python exception still to be raised: its type and message.
class ApiError : public std::runtime_error {
public:
    ApiError(PyObject* type, const std::string& message) : std::runtime_error(message), type_(type) {}
    PyObject* type() const { return type_; }

private:
    PyObject* type_;
};

inline ApiError value_error(const std::string& message) { return ApiError(PyExc_ValueError, message); }
inline ApiError type_error(const std::string& message) { return ApiError(PyExc_TypeError, message); }
inline ApiError os_error(const std::string& message) { return ApiError(PyExc_OSError, message); }

// Turns a NULL result of a C-API call into an unwinding PythonErrorSet.
inline PyObject* check(PyObject* result) {
    if (result == nullptr) {
        throw PythonErrorSet{};
    }
    return result;
}

// The exception type for internal failures; derives from BaseException so
// that `except Exception` does not swallow a broken invariant.
PyObject* panic_exception_type();

void raise_panic(const char* message);

// Runs a method body; every failure becomes a Python exception and NULL.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const PythonErrorSet&) {
    } catch (const ApiError& error) {
        PyErr_SetString(error.type(), error.what());
    } catch (const FitError& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const InternalError& error) {
        raise_panic(error.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
    return nullptr;
}

}  // namespace zun::py
