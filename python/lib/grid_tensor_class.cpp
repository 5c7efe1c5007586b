#include "grid_tensor_class.hpp"

#include <fmt/format.h>

#include "arguments.hpp"
#include "core_thread.hpp"
#include "fit_runner.hpp"
#include "gil_release.hpp"
#include "logging/simple.hpp"
#include "fit_result_class.hpp"
#include "grid_tensor/fit.hpp"
#include "random.hpp"
#include "fit_inputs.hpp"
#include "record_object.hpp"
#include "results.hpp"

namespace zun::py {
namespace {

PyTypeObject* grid_tensor_type = nullptr;  // created once, lives for the process

constexpr const char* kClassDoc =
    "A grid tensor: every feature axis cut into intervals, each interval holding a backbone and a tilt\n"
    "value. It predicts f+ - f-, the difference of two positive products of per-interval factors.\n\n"
    "Made by GridTensor.fit or read from a fitted model (StagePredictor.grid_tensors and\n"
    "combined_grid_tensor); it cannot be constructed directly. Getters return new objects on each access.";

constexpr const char* kFitDoc = R"(Fit one grid tensor to (x, y).

The fit runs on a thread of its own while the calling thread waits without
the interpreter lock; Ctrl-C (KeyboardInterrupt) cancels it and raises.
Console lines go through sys.stdout at the verbosity of the latest ZUN.fit
in the process (none before the first).

Parameters
----------
x : numpy.ndarray of float64, shape (n, p)
    Training matrix, any memory order; NaN is refused.
y : numpy.ndarray of float64, shape (n,)
    Finite targets.
n_iter : int
    Split-and-refine iterations.
split_try : int
    Random cut candidates drawn per feature and iteration.
colsample_bytree : float
    Fraction of features examined.
complexity_penalty : float, default 0.0
    Gain a cut must pay for.
seed : int, default 42
    Seed of the fit's random generator.
max_bins : int or None, default None
    None fits exactly, every value change a cut candidate. 2 to 65536 bins
    each feature once into at most that many equal-count bins and cuts only
    on their boundaries: faster on large data, not bit-identical to exact.
callback : callable or None
    Called on the calling thread with a FitProgress record about every half
    second while the fit runs (trees_done 0, train_error None) and once
    when it is done (trees_done 1, train_error the fit's error). Returning
    False during the fit stops it after the current move: the grid tensor
    keeps the moves made so far and FitResult.stopped_early is True. An
    exception raised by the callback cancels the fit and propagates.

Returns
-------
(GridTensor, FitResult)

Raises
------
ValueError
    Shapes that disagree, NaN in x, non-finite y, parameters out of range.
TypeError
    An argument of the wrong type.)";

const MethodSpec& fit_spec() {
    static const MethodSpec spec("GridTensor", "fit", Receiver::Class,
                                 {{"x"},
                                  {"y"},
                                  {"n_iter"},
                                  {"split_try"},
                                  {"colsample_bytree"},
                                  {"complexity_penalty", 0.0},
                                  {"seed", std::uint64_t{42}},
                                  {"max_bins", NoneDefault{}},
                                  {"callback", NoneDefault{}}},
                                 kFitDoc);
    return spec;
}

// The level GridTensor.fit prints at: the latest boosted fit's, Off before any.
logging::Level latest_level() {
    return logging::simple_logger_installed() ? logging::max_level() : logging::Level::Off;
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
        FitRunner runner(arguments.optional_callable(8), calling_thread_workers());
        runner.control().set_level(latest_level());
        runner.control().plan(1, 1);
        FitOutput output = runner.run<FitOutput>([&] {
            const ContiguousMatrix x(x_view);
            const ContiguousVector y(y_view);
            check_fit_inputs(x.view(), y.view());
            return fit_grid_tensor(x.view(), y.view(), params, rng);
        });
        runner.report_done(FitProgress{0, 1, 1, 1}, output.error);
        PyRef model = wrap_grid_tensor(std::move(output.grid_tensor));
        PyRef result = new_fit_result(output.error, output.residuals, output.y_hat, {}, output.stopped_early);
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
        return new_array(without_gil_on_core_thread([&] { return zun::predict(record, x); })).release();
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
        {"splits", get_splits, nullptr, "Cut points per feature, ascending: list (per feature) of list of float.", nullptr},
        {"intervals", get_intervals, nullptr, "Intervals per feature as (low, high) tuples; the first low is -inf and the last high is inf.", nullptr},
        {"backbone_values", get_backbone_values, nullptr, "Backbone value per feature and interval: list of list of float.", nullptr},
        {"tilt_values", get_tilt_values, nullptr, "Tilt value per feature and interval: list of list of float.", nullptr},
        {"mean_factor", get_mean_factor, nullptr, "Per feature and interval, backbone * cosh(tilt): the factor averaged over both components.", nullptr},
        {"grid_values", get_mean_factor, nullptr, "The same values as mean_factor, under a second name.", nullptr},
        {"scaling", get_scaling, nullptr, "The grid tensor's scaling (not applied by predict): float.", nullptr},
        {"lambda_plus", get_lambda_plus, nullptr, "Constant factor of the plus component: float.", nullptr},
        {"lambda_minus", get_lambda_minus, nullptr, "Constant factor of the minus component: float.", nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
        {Py_tp_doc, const_cast<char*>(kClassDoc)},
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
