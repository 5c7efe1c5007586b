#include "results.hpp"

#include <algorithm>
#include <cstring>

#include "checked_size.hpp"
#include "errors.hpp"
#include "numpy_api.hpp"

namespace zun::py {
namespace {

template <class Item, class Convert>
PyRef new_list(const std::vector<Item>& items, Convert convert) {
    PyRef list = PyRef::steal(check(PyList_New(static_cast<Py_ssize_t>(items.size()))));
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyRef item = convert(items[i]);
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());  // steals
    }
    return list;
}

}  // namespace

PyRef new_array(const std::vector<double>& values) {
    const numpy::npy_intp dims[1] = {static_cast<numpy::npy_intp>(values.size())};
    PyRef array = PyRef::steal(numpy::new_float64_array(1, dims));
    if (!values.empty()) {
        std::memcpy(numpy::fields(array.get())->data, values.data(), values.size() * sizeof(double));
    }
    return array;
}

NewArray new_zero_array(std::initializer_list<std::size_t> shape) {
    std::vector<numpy::npy_intp> dims;
    std::vector<std::uint64_t> extents;
    for (const std::size_t extent : shape) {
        dims.push_back(static_cast<numpy::npy_intp>(extent));
        extents.push_back(extent);
    }
    const std::size_t size = checked_count(extents, "the result array");
    PyRef array = PyRef::steal(numpy::new_float64_array(static_cast<int>(dims.size()), dims.data()));
    const std::span<double> values(reinterpret_cast<double*>(numpy::fields(array.get())->data), size);
    std::fill(values.begin(), values.end(), 0.0);
    return {std::move(array), values};
}

PyRef new_float(double value) { return PyRef::steal(check(PyFloat_FromDouble(value))); }

PyRef new_optional_float(const std::optional<double>& value) {
    return value ? new_float(*value) : PyRef::borrow(Py_None);
}

PyRef new_float_list(const std::vector<double>& values) { return new_list(values, new_float); }

PyRef new_nested_float_list(const std::vector<std::vector<double>>& values) {
    return new_list(values, new_float_list);
}

PyRef new_index_list(const std::vector<std::uint64_t>& values) {
    return new_list(values, [](std::uint64_t v) { return PyRef::steal(check(PyLong_FromUnsignedLongLong(v))); });
}

PyRef new_interval_lists(const std::vector<std::vector<std::pair<double, double>>>& intervals) {
    const auto interval_tuple = [](const std::pair<double, double>& bounds) {
        return new_tuple({new_float(bounds.first), new_float(bounds.second)});
    };
    return new_list(intervals, [&](const std::vector<std::pair<double, double>>& feature) {
        return new_list(feature, interval_tuple);
    });
}

std::string utf8_of(PyObject* text) {
    const PyRef bytes = PyRef::steal(check(PyUnicode_AsUTF8String(text)));
    return std::string(PyBytes_AsString(bytes.get()), static_cast<std::size_t>(PyBytes_Size(bytes.get())));
}

std::string str_of(PyObject* object) {
    const PyRef text = PyRef::steal(check(PyObject_Str(object)));
    return utf8_of(text.get());
}

std::string repr_of_text(const std::string& text) {
    const PyRef object =
        PyRef::steal(check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
    const PyRef repr = PyRef::steal(check(PyObject_Repr(object.get())));
    return utf8_of(repr.get());
}

PyRef new_tuple(std::vector<PyRef> items) {
    PyRef tuple = PyRef::steal(check(PyTuple_New(static_cast<Py_ssize_t>(items.size()))));
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());  // steals
    }
    return tuple;
}

}  // namespace zun::py
