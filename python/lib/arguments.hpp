#pragma once
// Each method declares its parameters once (name and default); binding,
// conversion of absent arguments and the text signature all come from that
// declaration.
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "matrix_view.hpp"
#include "py_ref.hpp"

namespace zun::py {

struct Required {};
struct NoneDefault {};
using DefaultValue = std::variant<Required, double, std::uint64_t, bool, const char*, NoneDefault>;

struct Param {
    const char* name;
    DefaultValue default_value = Required{};
};

enum class Receiver { Instance, Class };

class MethodSpec {
public:
    MethodSpec(const char* owner, const char* name, Receiver receiver, std::vector<Param> params,
               const char* description = nullptr);

    const char* owner() const { return owner_; }
    const char* name() const { return name_; }
    Receiver receiver() const { return receiver_; }
    const std::vector<Param>& params() const { return params_; }
    // "Owner.name()", as binding errors name the method.
    std::string display_name() const;
    std::string text_signature() const;
    // The signature line, "--", a blank line, then the description.
    const char* docstring() const { return docstring_.c_str(); }

private:
    const char* owner_;
    const char* name_;
    Receiver receiver_;
    std::vector<Param> params_;
    std::string docstring_;
};

// Arguments bound to a method's parameters, converted one at a time in
// declared order by the typed accessors. Each bound object is referenced for
// as long as the Arguments live, so data read without the interpreter lock
// stays valid for the call.
class Arguments {
public:
    Arguments(const MethodSpec& spec, PyObject* args, PyObject* kwargs);

    MatrixView matrix(std::size_t index) const;
    VectorView vector(std::size_t index) const;
    // None (or absent with a None default), or what matrix() and vector() take.
    std::optional<MatrixView> optional_matrix(std::size_t index) const;
    std::optional<VectorView> optional_vector(std::size_t index) const;
    std::uint64_t unsigned64(std::size_t index) const;
    std::uint8_t unsigned8(std::size_t index) const;
    double float64(std::size_t index) const;
    std::optional<double> optional_float64(std::size_t index) const;
    // None (or absent with a None default), or an integer from `low` to
    // `high`; any other integer, however large or negative, is a ValueError
    // naming the parameter and the accepted range.
    std::optional<std::uint64_t> optional_integer_in(std::size_t index, std::uint64_t low, std::uint64_t high) const;
    bool boolean(std::size_t index) const;
    std::string text(std::size_t index) const;
    std::optional<std::string> optional_text(std::size_t index) const;
    // A str or os.PathLike, in the file system's encoding, as open() takes
    // it: bytes are refused, an embedded NUL byte is a ValueError.
    std::string path(std::size_t index) const;
    std::optional<std::string> optional_path(std::size_t index) const;
    std::vector<std::uint64_t> indices(std::size_t index) const;
    // None, or any callable object (borrowed from the bound arguments).
    PyObject* optional_callable(std::size_t index) const;
    // The contents of a bytes or bytearray object, valid while the call's
    // arguments are held.
    std::span<const std::uint8_t> byte_string(std::size_t index) const;

private:
    const Param& param(std::size_t index) const;
    // The given object, or nullptr when the default applies.
    PyObject* given(std::size_t index) const;

    const MethodSpec& spec_;
    std::vector<PyRef> values_;
};

// The max_bins argument of a fit: None (absent) for an exact fit, else 2 to
// 65,536 bins per feature.
std::optional<std::uint32_t> max_bins_argument(const Arguments& arguments, std::size_t index);

// Row-major contiguous data for the operations that need it: the caller's
// buffer when it already is, otherwise a copy.
class ContiguousMatrix {
public:
    explicit ContiguousMatrix(const MatrixView& source);
    ContiguousMatrix(const ContiguousMatrix&) = delete;  // the view may point into storage_
    ContiguousMatrix& operator=(const ContiguousMatrix&) = delete;
    const MatrixView& view() const { return view_; }

private:
    std::vector<double> storage_;
    MatrixView view_;
};

class ContiguousVector {
public:
    explicit ContiguousVector(const VectorView& source);
    ContiguousVector(const ContiguousVector&) = delete;  // the view may point into storage_
    ContiguousVector& operator=(const ContiguousVector&) = delete;
    const VectorView& view() const { return view_; }

private:
    std::vector<double> storage_;
    VectorView view_;
};

}  // namespace zun::py
