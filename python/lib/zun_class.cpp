#include "zun_class.hpp"

#include <cmath>
#include <limits>
#include <string>

#include <fmt/format.h>

#include "arguments.hpp"
#include "core_thread.hpp"
#include "fit_runner.hpp"
#include "gil_release.hpp"
#include "fit_result_class.hpp"
#include "fit_inputs.hpp"
#include "float_format.hpp"
#include "forest/fitter.hpp"
#include "forest/prediction.hpp"
#include "grid_tensor/params.hpp"
#include "forest/parameter_ranges.hpp"
#include "model_file/codec.hpp"
#include "model_file/file_access.hpp"
#include "model_file/model_loading.hpp"
#include "record_object.hpp"
#include "results.hpp"
#include "stage_predictor_class.hpp"
#include "zun_analysis.hpp"
#include "zun_bytes.hpp"

namespace zun::py {
namespace {

PyTypeObject* zun_type = nullptr;  // created once, lives for the process

constexpr const char* kClassDoc =
    "A boosted model: an ordered list of stages whose predictions add up.\n\n"
    "Made by ZUN.fit, ZUN.load or ZUN.from_bytes; it cannot be constructed directly. Models pickle and\n"
    "copy through their bytes. For a scikit-learn estimator use zunmerak.ZunRegressor.";

constexpr const char* kSameVersionNote =
    "The binary format is same-version-only: a model saved by one version of the module may not load in "
    "another. Export parameters or predictions for portability.";

constexpr const char* kFitDoc = R"(Fit a boosted model: each epoch fits n_trees grid tensors to the residuals,
combines them into one stage and rescales all stages by least squares.

The fit runs on a thread of its own while the calling thread waits without
the interpreter lock, so other Python threads keep running. Ctrl-C
(KeyboardInterrupt), or any exception raised while the call waits, cancels
the fit: the call returns once the fit has stopped and raises that
exception. A run log named by visualdb then keeps what was collected, and
its run's notes column says "unfinished: interrupted".

Console lines are written through sys.stdout as "[target] [LEVEL] text" at
this fit's verbosity, also when several fits run at once. The warning about
an ill-conditioned design matrix is also issued as a RuntimeWarning naming
the epoch and the condition number, whatever the verbosity; a warnings
filter that makes it an error cancels the fit and raises it.

Parameters
----------
x : numpy.ndarray of float64, shape (n, p)
    Training matrix, any memory order; NaN is refused.
y : numpy.ndarray of float64, shape (n,)
    Finite targets. Standardising y (and using alpha >= 1) keeps the
    least-squares rescaling well conditioned.
epochs : int
    Number of stages to fit.
decay : float, default 1.0
    Per-epoch factor applied to n_iter (1.0 keeps it constant).
n_trees : int, default 10
    Grid tensors fitted per stage (at least 1).
n_iter : int, default 10
    Split-and-refine iterations of each grid tensor.
split_try : int, default 10
    Random cut candidates drawn per feature ("random" strategy only).
colsample_bytree : float, default 0.8
    Fraction of features examined per move ("random" strategy only):
    floor(colsample_bytree * n_features) of them, drawn among all features,
    but every feature that can still be cut is examined when there are at
    least that many (see colsample_eligible).
alpha : float, default 0.0
    Ridge of the factor updates, >= 0.
complexity_penalty, min_split_loss : float, default 0.0
    Gain a cut must pay for, and the least gain it must reach.
min_interval_samples : int, default 1
    Least number of samples on each side of a cut.
refinement_strategy : {"l2", "huber"}, default "l2"
prior_sample_size, update_clamp : float
    Carried in the model's parameters; no effect on the fit.
tilt_tau, tilt_rho : float, default 0.01 and 0.0
    Step and penalty of the tilt updates, >= 0.
split_strategy : {"random", "best_split", "top_k"}, default "random"
top_k : int, default 10
must_fill_all_k : bool, default True
    Cut candidates per pass, and whether all k must be found ("top_k" only).
similarity_threshold : float, default 0.0
    A stage keeps the share 1 - similarity_threshold of its trees, those
    nearest to the medoid tree; must be below 1.
bagged : bool, default False
    Accepted and ignored.
seed : int, default 42
    Seed of the fit's random generator; a fit is reproducible from it.
verbosity : int, default 1
    Console log level: 0 off, 1 info, 2 debug, 3 trace.
visualdb : str or os.PathLike, optional
    SQLite database that receives a log of the run.
max_bins : int or None, default None
    None fits exactly, every value change a cut candidate. 2 to 65536 bins
    each feature once into at most that many equal-count bins and cuts only
    on their boundaries: faster on large data, not bit-identical to exact.
n_threads : int or None
    Worker threads of this fit. None: as many as a parallel region started
    on the calling thread would get (all cores unless OMP_NUM_THREADS or
    threadpoolctl set fewer); otherwise 1 to 1024. Results do not depend on
    it.
callback : callable or None
    Called on the calling thread, with the interpreter lock, with a
    FitProgress record (epoch, trees_done, total_trees, epochs, elapsed,
    train_error): once after each epoch, with that epoch's training error,
    and about every half second while an epoch runs, with train_error None.
    The fit waits for the call after each epoch. When the callback returns
    False the fit stops cleanly: the model holds the epochs completed by
    then (an epoch under way is dropped), the FitResult describes that model
    and its stopped_early is True when fewer epochs than asked for were
    fitted; a run log's notes then say "unfinished: stopped early". An
    exception raised by the callback cancels the fit and propagates.
row_partitions : int or None
    None: every tree fits on all rows. P (1 to the number of rows): the rows
    are split once, at random from seed, into P disjoint parts of near-equal
    size, and tree t of every stage fits on part t mod P only, which makes
    a tree P times cheaper; the combination of a stage's trees and the
    least-squares rescaling still use all rows. 1 gives the same model as
    None.
x_valid, y_valid : numpy.ndarray of float64, shapes (m, p) and (m,), optional
    Validation rows the fit does not train on (at least 2, as many columns
    as x, no NaN, finite targets): their mean squared error after every
    epoch is in FitResult.validation_errors, and the epoch where it was
    least in FitResult.best_epoch. Scoring an epoch costs O(m x epochs).
n_iter_no_change : int or None, default None
    With validation rows: stop once the validation error has not improved
    by more than tol for this many epochs in a row (epochs is then a
    maximum), and keep the model of the best epoch: its stages with that
    epoch's scalings, the same as a fit asked for that many epochs. None
    fits every epoch and keeps them all.
tol : float, default 0.0
    Least improvement of the validation error (mean squared, in the units
    of y squared) that counts, >= 0.
colsample_eligible : bool, default False
    Draw the floor(colsample_bytree * n_features) examined features among
    those that can still be cut (at least one), so that colsample_bytree
    below 1 always examines fewer features than there are.
scaling_ridge : float, default 0.0
    Ridge of the least-squares rescaling after every epoch, >= 0, added to
    every squared singular value of the design (units of y squared times
    rows): it shrinks the stages' scalings where few rows support them and
    fades as rows are added. 0 is the plain minimum-norm solution.

Returns
-------
(ZUN, FitResult)
    The fitted model, and the training error, residuals and in-sample
    prediction; FitResult.epoch_errors holds the training error after each
    completed epoch.

Raises
------
ValueError
    Shapes that disagree, NaN in x, non-finite y, unknown strategy names or
    parameters out of range (the message names the parameter and value);
    validation rows with another number of columns, NaN, non-finite targets
    or fewer than 2 rows; n_iter_no_change without validation rows.
TypeError
    An argument of the wrong type.
OSError
    visualdb cannot be opened as a database (a directory, a missing parent
    directory, a file of another kind); the message names the path and why.
MemoryError
    Sizes the fit cannot allocate.)";

const MethodSpec& fit_spec() {
    static const MethodSpec spec("ZUN", "fit", Receiver::Class,
                                 {{"x"},
                                  {"y"},
                                  {"epochs"},
                                  {"decay", 1.0},
                                  {"n_trees", std::uint64_t{10}},
                                  {"n_iter", std::uint64_t{10}},
                                  {"split_try", std::uint64_t{10}},
                                  {"colsample_bytree", 0.8},
                                  {"alpha", 0.0},
                                  {"complexity_penalty", 0.0},
                                  {"min_split_loss", 0.0},
                                  {"min_interval_samples", std::uint64_t{1}},
                                  {"refinement_strategy", "l2"},
                                  {"prior_sample_size", 0.0},
                                  {"update_clamp", std::numeric_limits<double>::infinity()},
                                  {"tilt_tau", 0.01},
                                  {"tilt_rho", 0.0},
                                  {"split_strategy", "random"},
                                  {"top_k", std::uint64_t{10}},
                                  {"must_fill_all_k", true},
                                  {"similarity_threshold", 0.0},
                                  {"bagged", false},
                                  {"seed", std::uint64_t{42}},
                                  {"verbosity", std::uint64_t{1}},
                                  {"visualdb", NoneDefault{}},
                                  {"max_bins", NoneDefault{}},
                                  {"n_threads", NoneDefault{}},
                                  {"callback", NoneDefault{}},
                                  {"row_partitions", NoneDefault{}},
                                  {"x_valid", NoneDefault{}},
                                  {"y_valid", NoneDefault{}},
                                  {"n_iter_no_change", NoneDefault{}},
                                  {"tol", 0.0},
                                  {"colsample_eligible", false},
                                  {"scaling_ridge", 0.0}},
                                 kFitDoc);
    return spec;
}

const MethodSpec& predict_spec() {
    static const MethodSpec spec("ZUN", "predict", Receiver::Instance, {{"x"}},
                                 "Predict one value per row of x: the sum of every stage's prediction.\n\n"
                                 "Parameters\n----------\nx : numpy.ndarray of float64, shape (n, p)\n"
                                 "    Exactly as many columns as the model has features (any memory order).\n\n"
                                 "Returns\n-------\nnumpy.ndarray of float64, shape (n,)\n    n zeros for a "
                                 "model without stages.\n\nRaises\n------\nValueError\n    x has another "
                                 "number of columns than the model has features.");
    return spec;
}

const MethodSpec& save_spec() {
    static const std::string description =
        std::string("Save the ZUN model to a binary file (preserves exact floating point values).\n\n") +
        kSameVersionNote +
        "\n\npath is a str or os.PathLike. A symbolic link is followed and its target written; an existing "
        "file keeps its permission bits. The model is written to a new file in the same directory that "
        "replaces the old one only when complete, so an interrupted save leaves the old model or the new "
        "one, never a mix. A save killed just as the new file replaces the old can leave it beside the target "
        "under a hidden name .zun-*.tmp, which the next save of the same file removes. Only when that "
        "directory does not allow a new file but the existing file is "
        "writable is the file rewritten in place, and then an interrupted save can leave it incomplete.";
    static const MethodSpec spec("ZUN", "save", Receiver::Instance, {{"path"}}, description.c_str());
    return spec;
}

const MethodSpec& load_spec() {
    static const std::string description =
        std::string("Load a ZUN model from a binary file written by save.\n\n") + kSameVersionNote +
        "\n\npath is a str or os.PathLike. Input that is not a regular file (a pipe, a device) must end where "
        "the model ends.";
    static const MethodSpec spec("ZUN", "load", Receiver::Class, {{"path"}}, description.c_str());
    return spec;
}

const char* level_name_for(std::uint8_t verbosity) {
    switch (verbosity) {
        case 0: return "off";
        case 2: return "debug";
        case 3: return "trace";
        default: return "info";
    }
}

// Converts every argument in declared order, then checks the strategy names
// and builds the parameter records.
ZUNBoostedParams boosted_params(const Arguments& a) {
    const std::uint64_t epochs = a.unsigned64(2);
    const double decay = a.float64(3);
    const std::uint64_t n_trees = a.unsigned64(4);
    const std::uint64_t n_iter = a.unsigned64(5);
    const std::uint64_t split_try = a.unsigned64(6);
    const double colsample_bytree = a.float64(7);
    const double alpha = a.float64(8);
    const double complexity_penalty = a.float64(9);
    const double min_split_loss = a.float64(10);
    const std::uint64_t min_interval_samples = a.unsigned64(11);
    const std::string refinement_strategy = a.text(12);
    const double prior_sample_size = a.float64(13);
    const double update_clamp = a.float64(14);
    const double tilt_tau = a.float64(15);
    const double tilt_rho = a.float64(16);
    const std::string split_strategy = a.text(17);
    const std::uint64_t top_k = a.unsigned64(18);
    const bool must_fill_all_k = a.boolean(19);
    const double similarity_threshold = a.float64(20);
    a.boolean(21);  // `bagged` is accepted and has no effect
    const std::uint64_t seed = a.unsigned64(22);
    const std::uint8_t verbosity = a.unsigned8(23);
    const std::optional<std::string> visualdb = a.optional_path(24);
    const std::optional<std::uint32_t> max_bins = max_bins_argument(a, 25);
    const bool colsample_eligible = a.boolean(33);
    const double scaling_ridge = a.float64(34);

    SplitStrategyParams split;
    if (split_strategy == "random") {
        split = RandomSplit{split_try,      colsample_bytree,   min_interval_samples,
                            min_split_loss, complexity_penalty, colsample_eligible};
    } else if (split_strategy == "best_split") {
        split = BestSplit{min_interval_samples, min_split_loss, complexity_penalty};
    } else if (split_strategy == "top_k") {
        split = TopKSplits{top_k, must_fill_all_k, min_interval_samples, min_split_loss, complexity_penalty};
    } else {
        throw value_error(fmt::format("Unknown split_strategy: {}. Valid: 'random', 'best_split', 'top_k'",
                                      repr_of_text(split_strategy)));
    }
    RefinementKind kind;
    if (refinement_strategy == "l2") {
        kind = RefinementKind::L2;
    } else if (refinement_strategy == "huber") {
        kind = RefinementKind::Huber;
    } else {
        throw value_error(
            fmt::format("Unknown refinement_strategy: {}. Valid: 'l2', 'huber'", repr_of_text(refinement_strategy)));
    }

    ZUNBoostedParams params;
    params.epochs = epochs;
    params.decay = decay;
    params.seed = seed;
    params.sp_params.n_trees = n_trees;
    params.sp_params.similarity_threshold = similarity_threshold;
    params.sp_params.tg_params.n_iter = n_iter;
    params.sp_params.tg_params.split_strategy_params = split;
    params.sp_params.tg_params.max_bins = max_bins;
    params.sp_params.tg_params.refinement_strategy_params =
        RefinementStrategyParams{kind, alpha, tilt_tau, tilt_rho, prior_sample_size, update_clamp};
    params.log_level = level_name_for(verbosity);
    params.visualdb_path = visualdb;
    params.scaling_ridge = scaling_ridge;
    if (const auto problem = boosted_params_problem(params)) {
        throw value_error(*problem);
    }
    return params;
}

// Beyond any machine the fit is meant for; far more threads than that could
// only exhaust the process.
constexpr std::uint64_t most_threads = 1024;
// n_iter_no_change beyond any epoch count a fit could reach.
constexpr std::uint64_t most_epochs = std::numeric_limits<std::uint32_t>::max();

// x_valid and y_valid: both or neither.
std::optional<ValidationRows> validation_rows(const Arguments& arguments) {
    const std::optional<MatrixView> x = arguments.optional_matrix(29);
    const std::optional<VectorView> y = arguments.optional_vector(30);
    if (x.has_value() != y.has_value()) {
        throw value_error(fmt::format("x_valid and y_valid go together: got {} without {}", x ? "x_valid" : "y_valid",
                                      x ? "y_valid" : "x_valid"));
    }
    if (!x) {
        return std::nullopt;
    }
    return ValidationRows{*x, *y};
}

PyObject* fit(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Arguments arguments(fit_spec(), args, kwargs);
        const MatrixView x_view = arguments.matrix(0);
        const VectorView y_view = arguments.vector(1);
        ZUNBoostedParams params = boosted_params(arguments);
        const std::optional<std::uint64_t> n_threads = arguments.optional_integer_in(26, 1, most_threads);
        PyObject* callback = arguments.optional_callable(27);
        params.row_partitions = arguments.optional_integer_in(28, 1, x_view.rows());
        const std::optional<ValidationRows> validation = validation_rows(arguments);
        if (const std::optional<std::uint64_t> patience = arguments.optional_integer_in(31, 1, most_epochs)) {
            params.early_stopping = EarlyStopping{*patience, arguments.float64(32)};
            if (!(std::isfinite(params.early_stopping->tol) && params.early_stopping->tol >= 0.0)) {
                throw value_error(fmt::format("tol must be a finite number >= 0, got {}",
                                              format_debug(params.early_stopping->tol)));
            }
        }
        FitRunner runner(callback,
                         n_threads ? static_cast<int>(*n_threads) : calling_thread_workers());
        BoostedFitResult fitted = runner.run<BoostedFitResult>([&] {
            const ContiguousMatrix x(x_view);
            const ContiguousVector y(y_view);
            check_fit_inputs(x.view(), y.view());
            check_target_magnitude(y.view());
            return fit_boosted(x.view(), y.view(), params, runner.control(), std::nullopt, validation);
        });
        PyRef model = wrap_zun(std::move(fitted.stages));
        PyRef result =
            new_fit_result(fitted.error, fitted.residuals, fitted.y_hat, fitted.epoch_errors, fitted.stopped_early,
                           fitted.validation_errors, fitted.best_epoch);
        return new_tuple({std::move(model), std::move(result)}).release();
    });
}

PyObject* predict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        require_instance(self, zun_type, predict_spec());
        const Arguments arguments(predict_spec(), args, kwargs);
        const MatrixView x = arguments.matrix(0);
        const StageList& stages = record_of<StageList>(self);
        if (const auto problem = boosted_prediction_problem(stages, x.cols())) {
            throw value_error(*problem);
        }
        return new_array(without_gil_on_core_thread([&] { return predict_boosted(stages, x); })).release();
    });
}

PyObject* save(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        require_instance(self, zun_type, save_spec());
        const Arguments arguments(save_spec(), args, kwargs);
        const std::string path = arguments.path(0);
        const StageList& stages = record_of<StageList>(self);
        const std::optional<std::string> failure = [&] {
            const GilRelease release;
            return write_whole_file(path, encode_model(stages));
        }();
        if (failure) {
            throw os_error(fmt::format("Failed to write to file {}: {}", path, *failure));
        }
        Py_RETURN_NONE;
    });
}

PyObject* load(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Arguments arguments(load_spec(), args, kwargs);
        const std::string path = arguments.path(0);
        LoadResult loaded = [&] {
            const GilRelease release;
            return load_model_file(path);
        }();
        if (const auto* failure = std::get_if<LoadFailure>(&loaded)) {
            if (failure->kind == LoadFailure::Kind::Read) {
                throw os_error(fmt::format("Failed to read from file {}: {}", path, failure->description));
            }
            throw value_error(fmt::format("Failed to deserialize ZUN model: {}", failure->description));
        }
        return wrap_zun(std::get<StageList>(std::move(loaded))).release();
    });
}

PyObject* get_stage_predictors(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        PyRef list = PyRef::steal(check(PyList_New(0)));
        for (const StagePredictor& stage : record_of<StageList>(self)) {
            const PyRef item = wrap_stage_predictor(stage);
            if (PyList_Append(list.get(), item.get()) != 0) {
                throw PythonErrorSet{};
            }
        }
        return list.release();
    });
}

}  // namespace

PyTypeObject* create_zun_type() {
    static PyMethodDef methods[] = {
        method_def(fit_spec(), fit),
        method_def(predict_spec(), predict),
        method_def(save_spec(), save),
        method_def(load_spec(), load),
        method_def(to_bytes_spec(), zun_to_bytes),
        method_def(from_bytes_spec(), zun_from_bytes),
        {"__reduce__", zun_reduce, METH_NOARGS, kReduceDoc},
        method_def(partial_dependence_spec(), compute_partial_dependence_function),
        method_def(first_order_partial_dependence_spec(), compute_first_order_partial_dependence_functions),
        method_def(ice_curves_spec(), compute_ice_curves),
        method_def(ice_predictions_spec(), compute_ice_predictions),
        method_def(contributions_spec(), compute_contributions),
        method_def(per_stage_feature_importance_spec(), compute_per_stage_feature_importance),
        method_def(aggregated_feature_importance_spec(), compute_aggregated_feature_importance),
        method_def(combined_feature_importance_spec(), compute_combined_feature_importance),
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getters[] = {
        {"stage_predictors", get_stage_predictors, nullptr, "The model\'s stages, one new StagePredictor per stage in epoch order (copies on each access).", nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
        {Py_tp_doc, const_cast<char*>(kClassDoc)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<StageList>)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getters},
        {0, nullptr},
    };
    zun_type = create_type("builtins.ZUN", sizeof(RecordObject<StageList>), slots);
    return zun_type;
}

PyRef wrap_zun(StageList stages) { return wrap_record(zun_type, std::move(stages)); }

}  // namespace zun::py
