// Module initialisation: the four classes, registered in `__all__` order, and
// the version.
#include <Python.h>

#include <atomic>

#include "errors.hpp"
#include "fit_result_class.hpp"
#include "grid_tensor_class.hpp"
#include "py_ref.hpp"
#include "stage_predictor_class.hpp"
#include "zun_class.hpp"

namespace zun::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_zunmerak", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

void register_class(PyObject* module, PyObject* all, const char* name, PyTypeObject* type) {
    PyObject* object = reinterpret_cast<PyObject*>(type);
    Py_INCREF(object);  // PyModule_AddObject steals on success; the type also stays ours for the process
    if (PyModule_AddObject(module, name, object) != 0) {
        Py_DECREF(object);
        throw PythonErrorSet{};
    }
    const PyRef text = PyRef::steal(check(PyUnicode_FromString(name)));
    if (PyList_Append(all, text.get()) != 0) {
        throw PythonErrorSet{};
    }
}

PyObject* initialise() {
    static std::atomic<bool> initialised{false};
    if (initialised.exchange(true)) {
        throw ApiError(PyExc_ImportError, "_zunmerak cannot be initialised more than once per process");
    }
    PyRef module = PyRef::steal(check(PyModule_Create(&module_def)));
    PyRef all = PyRef::steal(check(PyList_New(0)));
    register_class(module.get(), all.get(), "GridTensor", create_grid_tensor_type());
    register_class(module.get(), all.get(), "FitResult", create_fit_result_type());
    register_class(module.get(), all.get(), "StagePredictor", create_stage_predictor_type());
    register_class(module.get(), all.get(), "ZUN", create_zun_type());
    if (PyModule_AddStringConstant(module.get(), "__version__", ZUN_VERSION) != 0) {
        throw PythonErrorSet{};
    }
    if (PyModule_AddObject(module.get(), "__all__", all.get()) != 0) {
        throw PythonErrorSet{};
    }
    all.release();  // stolen by the module
    return module.release();
}

}  // namespace
}  // namespace zun::py

extern "C" PyMODINIT_FUNC PyInit__zunmerak() {
    return zun::py::guarded([] { return zun::py::initialise(); });
}
