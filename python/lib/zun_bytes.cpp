#include "zun_bytes.hpp"

#include <cstdint>
#include <span>
#include <vector>

#include <fmt/format.h>

#include "errors.hpp"
#include "model_file/codec.hpp"
#include "record_object.hpp"
#include "results.hpp"
#include "zun_class.hpp"

namespace zun::py {

const char* const kReduceDoc =
    "Pickling support: the model's bytes in a versioned envelope, rebuilt by the zunmerak package.";

const MethodSpec& to_bytes_spec() {
    static const MethodSpec spec("ZUN", "to_bytes", Receiver::Instance, {},
                                 "Return the model as bytes: exactly what save writes to a file.\n\n"
                                 "Returns\n-------\nbytes\n    The model file's bytes; ZUN.from_bytes reads "
                                 "them back into an identical model.");
    return spec;
}

const MethodSpec& from_bytes_spec() {
    static const MethodSpec spec(
        "ZUN", "from_bytes", Receiver::Class, {{"data"}},
        "Build a model from the bytes of to_bytes (or of a file written by save).\n\n"
        "Parameters\n----------\ndata : bytes or bytearray\n    One whole model, nothing before or after it.\n\n"
        "Returns\n-------\nZUN\n\nRaises\n------\nValueError\n    The bytes do not hold one valid model.");
    return spec;
}

PyObject* zun_to_bytes(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Arguments arguments(to_bytes_spec(), args, kwargs);
        const std::vector<std::uint8_t> bytes = encode_model(record_of<StageList>(self));
        return check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<Py_ssize_t>(bytes.size())));
    });
}

PyObject* zun_from_bytes(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Arguments arguments(from_bytes_spec(), args, kwargs);
        const std::span<const std::uint8_t> bytes = arguments.byte_string(0);
        DecodeResult decoded = decode_model(bytes);
        if (!decoded.ok()) {
            throw value_error(fmt::format("Failed to deserialize ZUN model: {}", decoded.error));
        }
        // Unlike a file, a byte string has no reason to carry anything else.
        if (decoded.size != bytes.size()) {
            throw value_error(fmt::format("Failed to deserialize ZUN model: {} bytes follow the model's {} bytes",
                                          bytes.size() - decoded.size, decoded.size));
        }
        return wrap_zun(std::move(decoded.stages)).release();
    });
}

// The classes live in `builtins` for pickle, which cannot find them there by
// name, so the rebuilding function is the package's: it also wraps the bytes
// in the versioned envelope that every pickle of a model carries.
PyObject* zun_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const PyRef serialization = PyRef::steal(check(PyImport_ImportModule("zunmerak._serialization")));
        const PyRef reduce = PyRef::steal(check(PyObject_GetAttrString(serialization.get(), "reduce_model")));
        return check(PyObject_CallFunctionObjArgs(reduce.get(), self, nullptr));
    });
}

}  // namespace zun::py
