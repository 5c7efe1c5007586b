#include "arguments.hpp"

#include <cmath>
#include <cstring>

#include <fmt/format.h>

#include "checked_size.hpp"
#include "errors.hpp"
#include "float_format.hpp"
#include "grid_tensor/histogram_binning.hpp"
#include "numpy_api.hpp"
#include "py_ref.hpp"
#include "results.hpp"

namespace zun::py {
namespace {

std::string default_text(const DefaultValue& value) {
    struct Visitor {
        std::string operator()(Required) const { return {}; }
        std::string operator()(double v) const { return std::isinf(v) ? "..." : format_debug(v); }
        std::string operator()(std::uint64_t v) const { return std::to_string(v); }
        std::string operator()(bool v) const { return v ? "True" : "False"; }
        std::string operator()(const char* v) const { return fmt::format("\"{}\"", v); }
        std::string operator()(NoneDefault) const { return "None"; }
    };
    return std::visit(Visitor{}, value);
}

bool is_required(const Param& param) { return std::holds_alternative<Required>(param.default_value); }

std::string type_name(PyObject* object) {
    const PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
    if (!name) {
        PyErr_Clear();
        return "object";
    }
    const PyRef utf8 = PyRef::steal(PyUnicode_AsUTF8String(name.get()));
    if (!utf8) {
        PyErr_Clear();
        return "object";
    }
    return PyBytes_AsString(utf8.get());
}

// Re-raises a TypeError from a conversion with the parameter's name in front;
// other exception types pass through unchanged.
[[noreturn]] void rethrow_named(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
        throw PythonErrorSet{};
    }
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    const PyRef owned_type = PyRef::steal(type);
    const PyRef cause = PyRef::steal(value);
    const PyRef owned_traceback = PyRef::steal(traceback);
    std::string original = cause ? str_of(cause.get()) : std::string("wrong type");
    const PyRef message = PyRef::steal(check(PyUnicode_FromString(fmt::format("{}: {}", name, original).c_str())));
    const PyRef error = PyRef::steal(check(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr)));
    if (cause) {
        PyException_SetCause(error.get(), PyRef(cause).release());
    }
    PyErr_SetObject(PyExc_TypeError, error.get());
    throw PythonErrorSet{};
}

numpy::ArrayFields* checked_array(PyObject* object, const char* name, int dimensions) {
    const char* shape = dimensions == 2 ? "2-D" : "1-D";
    if (!numpy::is_array(object)) {
        throw type_error(fmt::format("{}: expected a {} numpy.ndarray of float64, got {}", name, shape, type_name(object)));
    }
    numpy::ArrayFields* array = numpy::fields(object);
    if (array->nd != dimensions) {
        throw type_error(
            fmt::format("{}: expected a {} numpy.ndarray of float64, got an array with {} dimensions", name, shape, array->nd));
    }
    if (!numpy::has_float64_dtype(object)) {
        throw type_error(fmt::format("{}: expected a {} numpy.ndarray of float64, got dtype {}", name, shape,
                                     str_of(array->descr)));
    }
    return array;
}

std::uint64_t to_unsigned64(PyObject* object, const char* name) {
    const PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) {
        rethrow_named(name);
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        rethrow_named(name);
    }
    return value;
}

double to_float64(PyObject* object, const char* name) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        rethrow_named(name);
    }
    return value;
}

std::string to_text(PyObject* object, const char* name) {
    if (!PyUnicode_Check(object)) {
        throw type_error(fmt::format("{}: expected str, got {}", name, type_name(object)));
    }
    return utf8_of(object);
}

std::string to_path(PyObject* object, const char* name) {
    const PyRef path = PyRef::steal(PyOS_FSPath(object));
    if (!path) {
        rethrow_named(name);
    }
    if (!PyUnicode_Check(path.get())) {
        throw type_error(fmt::format("{}: expected str or os.PathLike, got {}", name, type_name(object)));
    }
    const PyRef encoded = PyRef::steal(check(PyUnicode_EncodeFSDefault(path.get())));
    std::string bytes(PyBytes_AsString(encoded.get()), static_cast<std::size_t>(PyBytes_Size(encoded.get())));
    if (bytes.find('\0') != std::string::npos) {
        throw value_error(fmt::format("{}: embedded null byte", name));
    }
    return bytes;
}

}  // namespace

MethodSpec::MethodSpec(const char* owner, const char* name, Receiver receiver, std::vector<Param> params,
                       const char* description)
    : owner_(owner), name_(name), receiver_(receiver), params_(std::move(params)) {
    docstring_ = text_signature() + "\n--\n\n";
    if (description != nullptr) {
        docstring_ += description;
    }
}

std::string MethodSpec::display_name() const { return fmt::format("{}.{}()", owner_, name_); }

std::string MethodSpec::text_signature() const {
    std::string signature = fmt::format("{}({}", name_, receiver_ == Receiver::Class ? "$cls" : "$self");
    for (const Param& param : params_) {
        signature += ", ";
        signature += param.name;
        if (!is_required(param)) {
            // Appended in two steps: "=" + text builds a temporary that GCC 12
            // at -O3 wrongly reports as an overlapping copy.
            signature += '=';
            signature += default_text(param.default_value);
        }
    }
    return signature + ")";
}

Arguments::Arguments(const MethodSpec& spec, PyObject* args, PyObject* kwargs)
    : spec_(spec), values_(spec.params().size()) {
    const std::size_t count = spec.params().size();
    const Py_ssize_t positional = args == nullptr ? 0 : PyTuple_Size(args);
    if (static_cast<std::size_t>(positional) > count) {
        throw type_error(fmt::format("{} takes at most {} arguments ({} given)", spec.display_name(), count, positional));
    }
    for (Py_ssize_t i = 0; i < positional; ++i) {
        values_[static_cast<std::size_t>(i)] = PyRef::borrow(PyTuple_GetItem(args, i));
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                throw type_error(fmt::format("{} keywords must be strings", spec.display_name()));
            }
            const std::string keyword = utf8_of(key);
            std::size_t slot = 0;
            while (slot < count && keyword != spec.params()[slot].name) {
                ++slot;
            }
            if (slot == count) {
                throw type_error(
                    fmt::format("{} got an unexpected keyword argument '{}'", spec.display_name(), keyword));
            }
            if (values_[slot]) {
                throw type_error(fmt::format("{} got multiple values for argument '{}'", spec.display_name(), keyword));
            }
            values_[slot] = PyRef::borrow(value);
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (!values_[i] && is_required(spec.params()[i])) {
            throw type_error(
                fmt::format("{} missing required argument '{}' (pos {})", spec.display_name(), spec.params()[i].name, i + 1));
        }
    }
}

const Param& Arguments::param(std::size_t index) const { return spec_.params().at(index); }

PyObject* Arguments::given(std::size_t index) const { return values_.at(index).get(); }

MatrixView Arguments::matrix(std::size_t index) const {
    const numpy::ArrayFields* array = checked_array(given(index), param(index).name, 2);
    return MatrixView(array->data, static_cast<std::size_t>(array->dimensions[0]),
                      static_cast<std::size_t>(array->dimensions[1]), array->strides[0], array->strides[1]);
}

VectorView Arguments::vector(std::size_t index) const {
    const numpy::ArrayFields* array = checked_array(given(index), param(index).name, 1);
    return VectorView(array->data, static_cast<std::size_t>(array->dimensions[0]), array->strides[0]);
}

std::optional<MatrixView> Arguments::optional_matrix(std::size_t index) const {
    PyObject* object = given(index);
    return object == nullptr || object == Py_None ? std::nullopt : std::optional<MatrixView>(matrix(index));
}

std::optional<VectorView> Arguments::optional_vector(std::size_t index) const {
    PyObject* object = given(index);
    return object == nullptr || object == Py_None ? std::nullopt : std::optional<VectorView>(vector(index));
}

std::uint64_t Arguments::unsigned64(std::size_t index) const {
    PyObject* object = given(index);
    return object == nullptr ? std::get<std::uint64_t>(param(index).default_value)
                             : to_unsigned64(object, param(index).name);
}

std::uint8_t Arguments::unsigned8(std::size_t index) const {
    const std::uint64_t value = unsigned64(index);
    if (value > 255) {
        throw ApiError(PyExc_OverflowError,
                       fmt::format("{}: {} is out of range for an unsigned 8-bit integer (0..255)", param(index).name, value));
    }
    return static_cast<std::uint8_t>(value);
}

double Arguments::float64(std::size_t index) const {
    PyObject* object = given(index);
    return object == nullptr ? std::get<double>(param(index).default_value) : to_float64(object, param(index).name);
}

std::optional<double> Arguments::optional_float64(std::size_t index) const {
    PyObject* object = given(index);
    if (object == nullptr || object == Py_None) {
        return std::nullopt;
    }
    return to_float64(object, param(index).name);
}

std::optional<std::uint64_t> Arguments::optional_integer_in(std::size_t index, std::uint64_t low,
                                                            std::uint64_t high) const {
    PyObject* object = given(index);
    if (object == nullptr || object == Py_None) {
        return std::nullopt;
    }
    const char* name = param(index).name;
    const PyRef integer = PyRef::steal(PyNumber_Index(object));
    if (!integer) {
        rethrow_named(name);
    }
    // Compared as a Python integer, so that neither a negative value nor one
    // beyond 64 bits wraps into the range.
    const auto out_of_range = [&] {
        return value_error(fmt::format("{} must be an integer from {} to {} or None, got {}", name, low, high,
                                       str_of(integer.get())));
    };
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) {
        throw PythonErrorSet{};
    }
    if (overflow != 0 || value < 0) {
        throw out_of_range();
    }
    const auto unsigned_value = static_cast<std::uint64_t>(value);
    if (unsigned_value < low || unsigned_value > high) {
        throw out_of_range();
    }
    return unsigned_value;
}

std::optional<std::uint32_t> max_bins_argument(const Arguments& arguments, std::size_t index) {
    const std::optional<std::uint64_t> bins = arguments.optional_integer_in(index, 2, max_bins_limit);
    return bins ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(*bins)) : std::nullopt;
}

bool Arguments::boolean(std::size_t index) const {
    PyObject* object = given(index);
    if (object == nullptr) {
        return std::get<bool>(param(index).default_value);
    }
    if (!PyBool_Check(object) && !numpy::is_numpy_bool(object)) {
        throw type_error(fmt::format("{}: expected bool, got {}", param(index).name, type_name(object)));
    }
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) {
        throw PythonErrorSet{};
    }
    return truth == 1;
}

std::string Arguments::text(std::size_t index) const {
    PyObject* object = given(index);
    return object == nullptr ? std::string(std::get<const char*>(param(index).default_value))
                             : to_text(object, param(index).name);
}

std::optional<std::string> Arguments::optional_text(std::size_t index) const {
    PyObject* object = given(index);
    if (object == nullptr || object == Py_None) {
        return std::nullopt;
    }
    return to_text(object, param(index).name);
}

std::string Arguments::path(std::size_t index) const { return to_path(given(index), param(index).name); }

std::optional<std::string> Arguments::optional_path(std::size_t index) const {
    PyObject* object = given(index);
    if (object == nullptr || object == Py_None) {
        return std::nullopt;
    }
    return to_path(object, param(index).name);
}

std::vector<std::uint64_t> Arguments::indices(std::size_t index) const {
    PyObject* object = given(index);
    const char* name = param(index).name;
    if (PyUnicode_Check(object) || !PySequence_Check(object)) {
        throw type_error(fmt::format("{}: expected a sequence of non-negative integers, got {}", name, type_name(object)));
    }
    const PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) {
        rethrow_named(name);
    }
    std::vector<std::uint64_t> result;
    while (true) {
        const PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred()) {
                rethrow_named(name);
            }
            break;
        }
        result.push_back(to_unsigned64(item.get(), name));
    }
    return result;
}

PyObject* Arguments::optional_callable(std::size_t index) const {
    PyObject* object = given(index);
    if (object == nullptr || object == Py_None) {
        return nullptr;
    }
    if (PyCallable_Check(object) == 0) {
        throw type_error(fmt::format("{}: expected a callable or None, got {}", param(index).name, type_name(object)));
    }
    return object;
}

std::span<const std::uint8_t> Arguments::byte_string(std::size_t index) const {
    PyObject* object = given(index);
    const char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_Check(object)) {
        data = PyBytes_AsString(object);
        size = PyBytes_Size(object);
    } else if (PyByteArray_Check(object)) {
        data = PyByteArray_AsString(object);
        size = PyByteArray_Size(object);
    } else {
        throw type_error(fmt::format("{}: expected bytes or bytearray, got {}", param(index).name, type_name(object)));
    }
    if (data == nullptr || size < 0) {
        throw PythonErrorSet{};
    }
    return {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
}

ContiguousMatrix::ContiguousMatrix(const MatrixView& source) : view_(source) {
    if (source.is_row_major_contiguous()) {
        return;
    }
    storage_.resize(checked_count({source.rows(), source.cols()}, "a contiguous copy of the matrix"));
    for (std::size_t i = 0; i < source.rows(); ++i) {
        for (std::size_t j = 0; j < source.cols(); ++j) {
            storage_[i * source.cols() + j] = source(i, j);
        }
    }
    view_ = MatrixView::contiguous(storage_.data(), source.rows(), source.cols());
}

ContiguousVector::ContiguousVector(const VectorView& source) : view_(source) {
    if (source.is_contiguous()) {
        return;
    }
    storage_.resize(source.size());
    for (std::size_t i = 0; i < source.size(); ++i) {
        storage_[i] = source[i];
    }
    view_ = VectorView::contiguous(storage_.data(), source.size());
}

}  // namespace zun::py
