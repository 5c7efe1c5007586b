#include "zun_class.hpp"

#include <cmath>
#include <limits>
#include <string>

#include <fmt/format.h>

#include "arguments.hpp"
#include "fit_result_class.hpp"
#include "fit_inputs.hpp"
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

namespace zun::py {
namespace {

PyTypeObject* zun_type = nullptr;  // created once, lives for the process

constexpr const char* kSameVersionNote =
    "The binary format is same-version-only: a model saved by one version of the module may not load in "
    "another. Export parameters or predictions for portability.";

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
                                  {"max_bins", NoneDefault{}}});
    return spec;
}

const MethodSpec& predict_spec() {
    static const MethodSpec spec("ZUN", "predict", Receiver::Instance, {{"x"}});
    return spec;
}

const MethodSpec& save_spec() {
    static const std::string description =
        std::string("Save the ZUN model to a binary file (preserves exact floating point values).\n\n") +
        kSameVersionNote +
        "\n\npath is a str or os.PathLike. A symbolic link is followed and its target written; an existing "
        "file keeps its permission bits. The model is written to a new file in the same directory that "
        "replaces the old one only when complete, so an interrupted save leaves the old model or the new "
        "one, never a mix. Only when that directory does not allow a new file but the existing file is "
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

    SplitStrategyParams split;
    if (split_strategy == "random") {
        split = RandomSplit{split_try, colsample_bytree, min_interval_samples, min_split_loss, complexity_penalty};
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
    if (const auto problem = boosted_params_problem(params)) {
        throw value_error(*problem);
    }
    return params;
}

PyObject* fit(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Arguments arguments(fit_spec(), args, kwargs);
        const MatrixView x_view = arguments.matrix(0);
        const VectorView y_view = arguments.vector(1);
        const ZUNBoostedParams params = boosted_params(arguments);
        const ContiguousMatrix x(x_view);
        const ContiguousVector y(y_view);
        check_fit_inputs(x.view(), y.view());
        BoostedFitResult fitted = fit_boosted(x.view(), y.view(), params);
        PyRef model = wrap_zun(std::move(fitted.stages));
        PyRef result = new_fit_result(fitted.error, fitted.residuals, fitted.y_hat);
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
        return new_array(predict_boosted(stages, x)).release();
    });
}

PyObject* save(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        require_instance(self, zun_type, save_spec());
        const Arguments arguments(save_spec(), args, kwargs);
        const std::string path = arguments.path(0);
        const std::vector<std::uint8_t> bytes = encode_model(record_of<StageList>(self));
        if (const auto failure = write_whole_file(path, bytes)) {
            throw os_error(fmt::format("Failed to write to file {}: {}", path, *failure));
        }
        Py_RETURN_NONE;
    });
}

PyObject* load(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Arguments arguments(load_spec(), args, kwargs);
        const std::string path = arguments.path(0);
        LoadResult loaded = load_model_file(path);
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
        method_def(partial_dependence_spec(), compute_partial_dependence_function),
        method_def(first_order_partial_dependence_spec(), compute_first_order_partial_dependence_functions),
        method_def(ice_curves_spec(), compute_ice_curves),
        method_def(per_stage_feature_importance_spec(), compute_per_stage_feature_importance),
        method_def(aggregated_feature_importance_spec(), compute_aggregated_feature_importance),
        method_def(combined_feature_importance_spec(), compute_combined_feature_importance),
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getters[] = {
        {"stage_predictors", get_stage_predictors, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
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
