#include "numpy_api.hpp"

#include "errors.hpp"
#include "py_ref.hpp"

namespace zun::py::numpy {
namespace {

constexpr int kFloat64TypeNum = 12;

// Positions in NumPy's API table; stable across NumPy 1.x and 2.x.
constexpr int kArrayTypeSlot = 2;
constexpr int kBoolScalarTypeSlot = 8;
constexpr int kDescrFromTypeSlot = 45;
constexpr int kNewFromDescrSlot = 94;
constexpr int kEquivTypesSlot = 182;

using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const npy_intp*, const npy_intp*, void*, int,
                                   PyObject*);
using EquivTypes = unsigned char (*)(PyObject*, PyObject*);

struct Api {
    PyTypeObject* ndarray_type = nullptr;
    PyTypeObject* bool_scalar_type = nullptr;
    DescrFromType descr_from_type = nullptr;
    NewFromDescr new_from_descr = nullptr;
    EquivTypes equiv_types = nullptr;
    PyObject* float64_descr = nullptr;  // kept for the life of the process
};

Api& api() {
    static Api table;
    return table;
}

long installed_major_version() {
    const PyRef numpy = PyRef::steal(check(PyImport_ImportModule("numpy")));
    const PyRef version = PyRef::steal(check(PyObject_GetAttrString(numpy.get(), "__version__")));
    const PyRef lib = PyRef::steal(check(PyImport_ImportModule("numpy.lib")));
    const PyRef version_class = PyRef::steal(check(PyObject_GetAttrString(lib.get(), "NumpyVersion")));
    const PyRef parsed = PyRef::steal(check(PyObject_CallFunctionObjArgs(version_class.get(), version.get(), nullptr)));
    const PyRef major = PyRef::steal(check(PyObject_GetAttrString(parsed.get(), "major")));
    const long value = PyLong_AsLong(major.get());
    if (value == -1 && PyErr_Occurred()) {
        throw PythonErrorSet{};
    }
    return value;
}

void** load_table() {
    const char* module_name = installed_major_version() >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    const PyRef name = PyRef::steal(check(PyUnicode_FromString(module_name)));
    const PyRef module = PyRef::steal(check(PyImport_Import(name.get())));
    const PyRef capsule = PyRef::steal(check(PyObject_GetAttrString(module.get(), "_ARRAY_API")));
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (table == nullptr) {
        throw PythonErrorSet{};
    }
    // The capsule's module stays imported for the life of the process, so
    // the table outlives our references.
    return static_cast<void**>(table);
}

}  // namespace

void ensure_loaded() {
    Api& table = api();
    if (table.ndarray_type != nullptr) {
        return;
    }
    void** entries = load_table();
    Api loaded;
    loaded.ndarray_type = static_cast<PyTypeObject*>(entries[kArrayTypeSlot]);
    loaded.bool_scalar_type = static_cast<PyTypeObject*>(entries[kBoolScalarTypeSlot]);
    loaded.descr_from_type = reinterpret_cast<DescrFromType>(entries[kDescrFromTypeSlot]);
    loaded.new_from_descr = reinterpret_cast<NewFromDescr>(entries[kNewFromDescrSlot]);
    loaded.equiv_types = reinterpret_cast<EquivTypes>(entries[kEquivTypesSlot]);
    loaded.float64_descr = check(loaded.descr_from_type(kFloat64TypeNum));
    table = loaded;
}

bool is_array(PyObject* object) {
    ensure_loaded();
    return PyObject_TypeCheck(object, api().ndarray_type) != 0;
}

bool has_float64_dtype(PyObject* array) {
    ensure_loaded();
    return api().equiv_types(fields(array)->descr, api().float64_descr) != 0;
}

bool is_numpy_bool(PyObject* object) {
    ensure_loaded();
    return PyObject_TypeCheck(object, api().bool_scalar_type) != 0;
}

PyObject* new_float64_array(int nd, const npy_intp* dims) {
    ensure_loaded();
    // NewFromDescr steals a reference to the descriptor.
    Py_INCREF(api().float64_descr);
    return check(api().new_from_descr(api().ndarray_type, api().float64_descr, nd, dims, nullptr, nullptr, 0, nullptr));
}

}  // namespace zun::py::numpy
