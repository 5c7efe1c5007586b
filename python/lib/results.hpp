#pragma once
// Conversions of core values into new Python objects.
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "py_ref.hpp"

namespace zun::py {

// A new 1-D float64 array owning a copy of the values.
PyRef new_array(const std::vector<double>& values);

// A new C-ordered float64 array of any shape, zero-filled, and a view of its
// values so results can be written in place.
struct NewArray {
    PyRef object;
    std::span<double> values;
};
NewArray new_zero_array(std::initializer_list<std::size_t> shape);
PyRef new_float(double value);
PyRef new_optional_float(const std::optional<double>& value);
PyRef new_float_list(const std::vector<double>& values);
PyRef new_nested_float_list(const std::vector<std::vector<double>>& values);
PyRef new_index_list(const std::vector<std::uint64_t>& values);
PyRef new_interval_lists(const std::vector<std::vector<std::pair<double, double>>>& intervals);
// The UTF-8 text of a str object, and of str(object).
std::string utf8_of(PyObject* text);
std::string str_of(PyObject* object);
// repr() of a UTF-8 text, quotes included: a NUL or other unprintable
// character shows escaped instead of ending or hiding part of a message.
std::string repr_of_text(const std::string& text);

// A new tuple holding the given references.
PyRef new_tuple(std::vector<PyRef> items);

}  // namespace zun::py
