#include "grid_tensor_class.hpp"

#include <fmt/format.h>

#include "arguments.hpp"
#include "fit_result_class.hpp"
#include "grid_tensor/fit.hpp"
#include "random.hpp"
#include "fit_inputs.hpp"
#include "record_object.hpp"
#include "results.hpp"

namespace zun::py {
namespace {

PyTypeObject* grid_tensor_type = nullptr;  // created once, lives for the process

const MethodSpec& fit_spec() {
    static const MethodSpec spec("GridTensor", "fit", Receiver::Class,
                                 {{"x"},
                                  {"y"},
                                  {"n_iter"},
                                  {"split_try"},
                                  {"colsample_bytree"},
                                  {"complexity_penalty", 0.0},
                                  {"seed", std::uint64_t{42}},
                                  {"max_bins", NoneDefault{}}});
    return spec;
}

const MethodSpec& predict_spec() {
    static const MethodSpec spec("GridTensor", "predict", Receiver::Instance, {{"x"}},
                                 "Predict one value per row of x.\n\n"
                                 "x may have fewer columns than the grid tensor has features: its columns are the "
                                 "leading features and only those are evaluated, the others contributing no "
                                 "factor. More columns than features is a ValueError.");
    return spec;
}

PyObject* fit(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Arguments arguments(fit_spec(), args, kwargs);
        const MatrixView x_view = arguments.matrix(0);
        const VectorView y_view = arguments.vector(1);
        GridTensorParams params;
        params.n_iter = arguments.unsigned64(2);
        RandomSplit split;
        split.split_try = arguments.unsigned64(3);
        split.colsample_bytree = arguments.float64(4);
        split.complexity_penalty = arguments.float64(5);
        params.split_strategy_params = split;
        Rng rng(arguments.unsigned64(6));
        params.max_bins = max_bins_argument(arguments, 7);
        const ContiguousMatrix x(x_view);
        const ContiguousVector y(y_view);
        check_fit_inputs(x.view(), y.view());
        FitOutput output = fit_grid_tensor(x.view(), y.view(), params, rng);
        PyRef model = wrap_grid_tensor(std::move(output.grid_tensor));
        PyRef result = new_fit_result(output.error, output.residuals, output.y_hat);
        return new_tuple({std::move(model), std::move(result)}).release();
    });
}

PyObject* predict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        require_instance(self, grid_tensor_type, predict_spec());
        const Arguments arguments(predict_spec(), args, kwargs);
        const MatrixView x = arguments.matrix(0);
        const GridTensor& record = record_of<GridTensor>(self);
        if (const auto problem = evaluation_problem(record, x.cols())) {
            throw value_error(*problem);
        }
        return new_array(zun::predict(record, x)).release();
    });
}

template <class Convert>
PyObject* read(PyObject* self, Convert convert) {
    return guarded([&]() -> PyObject* { return convert(record_of<GridTensor>(self)).release(); });
}

PyObject* get_splits(PyObject* self, void*) {
    return read(self, [](const GridTensor& r) { return new_nested_float_list(r.splits); });
}
PyObject* get_intervals(PyObject* self, void*) {
    return read(self, [](const GridTensor& r) { return new_interval_lists(r.intervals); });
}
PyObject* get_backbone_values(PyObject* self, void*) {
    return read(self, [](const GridTensor& r) { return new_nested_float_list(r.backbone_values); });
}
PyObject* get_tilt_values(PyObject* self, void*) {
    return read(self, [](const GridTensor& r) { return new_nested_float_list(r.tilt_values); });
}
PyObject* get_mean_factor(PyObject* self, void*) {
    return read(self, [](const GridTensor& r) { return new_nested_float_list(mean_factor(r)); });
}
PyObject* get_scaling(PyObject* self, void*) {
    return read(self, [](const GridTensor& r) { return new_float(r.scaling); });
}
PyObject* get_lambda_plus(PyObject* self, void*) {
    return read(self, [](const GridTensor& r) { return new_float(r.lambda_plus); });
}
PyObject* get_lambda_minus(PyObject* self, void*) {
    return read(self, [](const GridTensor& r) { return new_float(r.lambda_minus); });
}

}  // namespace

PyTypeObject* create_grid_tensor_type() {
    static PyMethodDef methods[] = {
        method_def(fit_spec(), fit),
        method_def(predict_spec(), predict),
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getters[] = {
        {"splits", get_splits, nullptr, nullptr, nullptr},
        {"intervals", get_intervals, nullptr, nullptr, nullptr},
        {"backbone_values", get_backbone_values, nullptr, nullptr, nullptr},
        {"tilt_values", get_tilt_values, nullptr, nullptr, nullptr},
        {"mean_factor", get_mean_factor, nullptr, nullptr, nullptr},
        {"grid_values", get_mean_factor, nullptr, nullptr, nullptr},
        {"scaling", get_scaling, nullptr, nullptr, nullptr},
        {"lambda_plus", get_lambda_plus, nullptr, nullptr, nullptr},
        {"lambda_minus", get_lambda_minus, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<GridTensor>)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getters},
        {0, nullptr},
    };
    grid_tensor_type = create_type("builtins.GridTensor", sizeof(RecordObject<GridTensor>), slots);
    return grid_tensor_type;
}

PyRef wrap_grid_tensor(GridTensor record) { return wrap_record(grid_tensor_type, std::move(record)); }

}  // namespace zun::py
