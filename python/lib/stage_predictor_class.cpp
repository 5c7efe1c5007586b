#include "stage_predictor_class.hpp"

#include "arguments.hpp"
#include "gil_release.hpp"
#include "grid_tensor_class.hpp"
#include "record_object.hpp"
#include "results.hpp"

namespace zun::py {
namespace {

PyTypeObject* stage_predictor_type = nullptr;  // created once, lives for the process

constexpr const char* kClassDoc =
    "One stage of a boosted model: the trees fitted in one epoch, the grid tensor combined from them\n"
    "and the scalings of its two components. Read from ZUN.stage_predictors; it cannot be constructed.";

const MethodSpec& predict_spec() {
    static const MethodSpec spec("StagePredictor", "predict", Receiver::Instance, {{"x"}},
                                 "Predict one value per row of x: s+ * f+ - s- * f- of the combined grid tensor.\n\n"
                                 "x may have fewer columns than the grid tensor has features: its columns are the "
                                 "leading features and only those are evaluated, the others contributing no "
                                 "factor. More columns than features is a ValueError.");
    return spec;
}

PyObject* predict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        require_instance(self, stage_predictor_type, predict_spec());
        const Arguments arguments(predict_spec(), args, kwargs);
        const MatrixView x = arguments.matrix(0);
        const StagePredictor& stage = record_of<StagePredictor>(self);
        if (const auto problem = stage_evaluation_problem(stage.primary_grid_tensor, x.cols())) {
            throw value_error(*problem);
        }
        return new_array(without_gil_on_core_thread([&] { return zun::predict(stage, x); })).release();
    });
}

template <class Convert>
PyObject* read(PyObject* self, Convert convert) {
    return guarded([&]() -> PyObject* { return convert(record_of<StagePredictor>(self)).release(); });
}

PyObject* get_grid_tensors(PyObject* self, void*) {
    return read(self, [](const StagePredictor& stage) {
        PyRef list = PyRef::steal(check(PyList_New(0)));
        for (const GridTensor& tree : stage.grid_tensors) {
            const PyRef item = wrap_grid_tensor(tree);
            if (PyList_Append(list.get(), item.get()) != 0) {
                throw PythonErrorSet{};
            }
        }
        return list;
    });
}
PyObject* get_combined_grid_tensor(PyObject* self, void*) {
    return read(self, [](const StagePredictor& stage) { return wrap_grid_tensor(stage.primary_grid_tensor); });
}
PyObject* get_candidate_indices(PyObject* self, void*) {
    return read(self, [](const StagePredictor& stage) {
        return new_index_list(stage.candidate_indices.value_or(std::vector<std::uint64_t>{}));
    });
}
PyObject* get_scaling_plus(PyObject* self, void*) {
    return read(self, [](const StagePredictor& stage) { return new_optional_float(stage.scaling_plus); });
}
PyObject* get_scaling_minus(PyObject* self, void*) {
    return read(self, [](const StagePredictor& stage) { return new_optional_float(stage.scaling_minus); });
}

}  // namespace

PyTypeObject* create_stage_predictor_type() {
    static PyMethodDef methods[] = {
        method_def(predict_spec(), predict),
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getters[] = {
        {"grid_tensors", get_grid_tensors, nullptr, "The stage\'s trees, one new GridTensor per tree in tree order (copies on each access).", nullptr},
        {"combined_grid_tensor", get_combined_grid_tensor, nullptr, "The grid tensor the stage predicts with, combined from its trees (a new copy on each access).", nullptr},
        {"candidate_indices", get_candidate_indices, nullptr, "Indices of the trees chosen as candidates when the stage was combined: list of int.", nullptr},
        {"scaling_plus", get_scaling_plus, nullptr, "Scaling of the plus component, or None when absent (predict then uses 1.0).", nullptr},
        {"scaling_minus", get_scaling_minus, nullptr, "Scaling of the minus component, or None when absent (predict then uses 0.0).", nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
        {Py_tp_doc, const_cast<char*>(kClassDoc)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<StagePredictor>)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getters},
        {0, nullptr},
    };
    stage_predictor_type = create_type("builtins.StagePredictor", sizeof(RecordObject<StagePredictor>), slots);
    return stage_predictor_type;
}

PyRef wrap_stage_predictor(StagePredictor record) {
    return wrap_record(stage_predictor_type, std::move(record));
}

}  // namespace zun::py
