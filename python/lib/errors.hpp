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
    ApiError(PyObject* type, const std::string& message)
        : std::runtime_error(message), type_(type), message_(message) {}
    PyObject* type() const { return type_; }
    // The whole text; what() stops at the first NUL byte.
    const std::string& message() const { return message_; }

private:
    PyObject* type_;
    std::string message_;
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

void raise_panic(const std::string& message);

// Raises `type` with the whole message: NUL bytes and invalid UTF-8 are shown
// escaped rather than cutting the text short.
void raise_error(PyObject* type, const std::string& message);

// Runs a method body; every failure becomes a Python exception and NULL.
// Allocation failures of every kind (a size no allocation can hold included)
// are MemoryError, so `except Exception` sees them.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const PythonErrorSet&) {
    } catch (const ApiError& error) {
        raise_error(error.type(), error.message());
    } catch (const FitError& error) {
        raise_error(PyExc_ValueError, error.what());
    } catch (const InternalError& error) {
        raise_panic(error.what());
    } catch (const IoError& error) {
        raise_error(PyExc_OSError, error.what());
    } catch (const SizeError& error) {
        raise_error(PyExc_MemoryError, error.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error& error) {
        raise_error(PyExc_MemoryError, error.what());
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
    return nullptr;
}

}  // namespace zun::py
