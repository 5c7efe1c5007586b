#include "zun_analysis.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "analysis/contributions.hpp"
#include "analysis/feature_importance.hpp"
#include "analysis/ice_curves.hpp"
#include "analysis/partial_dependence.hpp"
#include "errors.hpp"
#include "gil_release.hpp"
#include "record_object.hpp"
#include "results.hpp"
#include "zun_class.hpp"

namespace zun::py {
namespace {

constexpr const char* kPartialDependenceDoc = R"(Partial dependence of the model on a set of fixed features.

For every stage the features outside fixed_indices are averaged over the
rows of data_x (whole rows, so their joint distribution is kept) while the
fixed features take the values of one row of fixed_values. Stage l fills two
columns: 2*l holds its plus component and 2*l + 1 its minus component,
negated; both carry the stage's scalings, so the sum of a row over all
columns is the partial dependence of the prediction.

Parameters
----------
fixed_indices : sequence of int
    The fixed features, unique, in the order of fixed_values' columns.
fixed_values : numpy.ndarray of float64, shape (n_obs, len(fixed_indices))
    One row of fixed feature values per evaluation point.
data_x : numpy.ndarray of float64, shape (n, p)
    The sample the other features are averaged over; it needs at least as
    many columns as any stage has features.

Returns
-------
tuple (constants_per_epoch, pd_values), L being the number of stages
    constants_per_epoch: list of L tuples (C_plus, C_minus) of float, one per
    stage in epoch order, the averaged components with scalings applied
    (C_minus negated). pd_values: numpy.ndarray of float64, shape
    (n_obs, 2 * L).)";

constexpr const char* kFirstOrderDoc = R"(First-order partial dependence function of every feature.

For each feature j, the other features are averaged over the rows of data_x
and feature j takes the values of column j of values_x. The averages are
taken with prefix and suffix products, so a stage costs O(n * p). Stage l
fills columns 2*l (plus component) and 2*l + 1 (minus component, negated),
both with the stage's scalings applied.

Parameters
----------
values_x : numpy.ndarray of float64, shape (m, p)
    Evaluation points; column j is used for feature j.
data_x : numpy.ndarray of float64, shape (n, p)
    The sample the other features are averaged over; at least one row.

Returns
-------
list of p tuples (constants_per_epoch, pd_values), entry j for feature j
    constants_per_epoch: list of L tuples (C_plus, C_minus) of float, one per
    stage in epoch order (L stages). pd_values: numpy.ndarray of float64, shape
    (m, 2 * L).)";

constexpr const char* kIceCurvesDoc = R"(Individual conditional expectation (ICE) curves of one feature.

For every observation, feature feature_index takes each value of x_range
while the other features keep the observation's values. Stage l fills
entries 2*l (plus component) and 2*l + 1 (minus component, negated) of the
last axis, both with the stage's scalings applied, so summing the last axis
at the observation's own value gives its prediction.

Parameters
----------
observations : numpy.ndarray of float64, shape (n_obs, p)
    The observations whose curves are computed.
feature_index : int
    The varied feature, below p.
x_range : numpy.ndarray of float64, shape (n_range,)
    The values of the varied feature; at least one.
data_x : numpy.ndarray of float64, shape (n, p)
    Only its column count is checked; its rows are not used.

Returns
-------
numpy.ndarray of float64, shape (n_obs, n_range, 2 * L), L being the number
of stages.)";

constexpr const char* kIcePredictionsDoc = R"(Predictions along one feature: ICE curves summed over the stages.

For every observation, feature feature_index takes each value of x_range
while the other features keep the observation's values; entry [i, k] is the
model's prediction of that row. It equals compute_ice_curves summed over its
last axis (up to rounding) without building that array, which is 2 * L times
larger. The rows are shared among the worker threads; the result does not
depend on their number.

Parameters
----------
observations : numpy.ndarray of float64, shape (n_obs, p)
    The observations whose curves are computed; p equals every stage's
    feature count.
feature_index : int
    The varied feature, below p.
x_range : numpy.ndarray of float64, shape (n_range,)
    The values of the varied feature; at least one.

Returns
-------
numpy.ndarray of float64, shape (n_obs, n_range).)";

constexpr const char* kContributionsDoc = R"(Exact interventional Shapley values of the model's predictions.

The value of feature j for row i is its Shapley value in the game whose
coalition S is worth the mean over the background rows of the prediction of
the row that takes x's values on S and the background row's elsewhere. The
values are computed exactly from each stage's two products of per-feature
factors (no sampling), so every row's values add up to its prediction minus
base_value, the mean prediction over the background rows. NaN values fall
into interval 0 of their feature, as in predict. The rows are shared among
the worker threads; the result does not depend on their number.

Parameters
----------
x : numpy.ndarray of float64, shape (n, p)
    The rows to explain; p equals every stage's feature count.
background : numpy.ndarray of float64, shape (m, p)
    The rows the absent features are taken from; at least one.

Returns
-------
tuple (values, base_value)
    values: numpy.ndarray of float64, shape (n, p); base_value: float.)";

constexpr const char* kPerStageImportanceDoc = R"(Feature importance of every stage on a data set.

The backbone importance of feature j in stage l is the population variance
over the rows of data_x of the logarithm of the stage's backbone value for
the row's interval of feature j; the tilt importance is the population
variance of the tilt value. Lambdas and scalings do not enter.

Parameters
----------
data_x : numpy.ndarray of float64, shape (n, p)
    The data set; p must equal every stage's feature count.

Returns
-------
tuple (backbone, tilt)
    Two numpy.ndarray of float64, shape (L, p), one row per stage in epoch
    order.)";

constexpr const char* kAggregatedImportanceDoc = R"(Feature importance of the model, aggregated over its stages.

The per-stage importances are weighted by each stage's share of the total
energy on data_x (the mean square of its scaled contribution s+ f+ - s- f-);
when the total is zero or NaN every stage gets weight 1 / L.

Parameters
----------
data_x : numpy.ndarray of float64, shape (n, p)
    The data set; p must equal every stage's feature count.

Returns
-------
tuple (backbone, tilt, weights)
    backbone, tilt: numpy.ndarray of float64, shape (p,); weights:
    numpy.ndarray of float64, shape (L,), one weight per stage. The model
    needs at least one stage.)";

constexpr const char* kCombinedImportanceDoc = R"(Combined feature importance: backbone + gamma * tilt.

The backbone and tilt importances are those of
compute_aggregated_feature_importance on the same data.

Parameters
----------
data_x : numpy.ndarray of float64, shape (n, p)
    The data set; p must equal every stage's feature count.
gamma : float or None
    Weight of the tilt importance; None means 1.0.

Returns
-------
tuple (combined, backbone, tilt)
    Three numpy.ndarray of float64, shape (p,). The model needs at least one
    stage.)";

// The method descriptor has checked that self is a ZUN instance.
std::span<const StagePredictor> model_of(PyObject* self) { return record_of<StageList>(self); }

void raise_if(const std::optional<std::string>& problem) {
    if (problem) {
        throw value_error(*problem);
    }
}

PyRef new_constants_list(const std::vector<analysis::ComponentPair>& constants) {
    PyRef list = PyRef::steal(check(PyList_New(static_cast<Py_ssize_t>(constants.size()))));
    for (std::size_t l = 0; l < constants.size(); ++l) {
        PyRef pair = new_tuple({new_float(constants[l].plus), new_float(constants[l].minus)});
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(l), pair.release());  // steals
    }
    return list;
}

analysis::AggregatedImportance aggregated_importance_without_gil(std::span<const StagePredictor> stages,
                                                               const MatrixView& data_view) {
    return without_gil_on_core_thread([&] {
        const ContiguousMatrix data_x(data_view);
        return analysis::aggregated_importance(stages, data_x.view());
    });
}

PyRef new_matrix(const std::vector<double>& values, std::size_t rows, std::size_t cols) {
    NewArray array = new_zero_array({rows, cols});
    std::copy(values.begin(), values.end(), array.values.begin());
    return std::move(array.object);
}

}  // namespace

const MethodSpec& partial_dependence_spec() {
    static const MethodSpec spec("ZUN", "compute_partial_dependence_function", Receiver::Instance,
                                 {{"fixed_indices"}, {"fixed_values"}, {"data_x"}}, kPartialDependenceDoc);
    return spec;
}

const MethodSpec& first_order_partial_dependence_spec() {
    static const MethodSpec spec("ZUN", "compute_first_order_partial_dependence_functions", Receiver::Instance,
                                 {{"values_x"}, {"data_x"}}, kFirstOrderDoc);
    return spec;
}

const MethodSpec& ice_curves_spec() {
    static const MethodSpec spec("ZUN", "compute_ice_curves", Receiver::Instance,
                                 {{"observations"}, {"feature_index"}, {"x_range"}, {"data_x"}}, kIceCurvesDoc);
    return spec;
}

const MethodSpec& ice_predictions_spec() {
    static const MethodSpec spec("ZUN", "compute_ice_predictions", Receiver::Instance,
                                 {{"observations"}, {"feature_index"}, {"x_range"}}, kIcePredictionsDoc);
    return spec;
}

const MethodSpec& contributions_spec() {
    static const MethodSpec spec("ZUN", "compute_contributions", Receiver::Instance, {{"x"}, {"background"}},
                                 kContributionsDoc);
    return spec;
}

const MethodSpec& per_stage_feature_importance_spec() {
    static const MethodSpec spec("ZUN", "compute_per_stage_feature_importance", Receiver::Instance, {{"data_x"}},
                                 kPerStageImportanceDoc);
    return spec;
}

const MethodSpec& aggregated_feature_importance_spec() {
    static const MethodSpec spec("ZUN", "compute_aggregated_feature_importance", Receiver::Instance, {{"data_x"}},
                                 kAggregatedImportanceDoc);
    return spec;
}

const MethodSpec& combined_feature_importance_spec() {
    static const MethodSpec spec("ZUN", "compute_combined_feature_importance", Receiver::Instance,
                                 {{"data_x"}, {"gamma", NoneDefault{}}}, kCombinedImportanceDoc);
    return spec;
}

PyObject* compute_partial_dependence_function(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Arguments arguments(partial_dependence_spec(), args, kwargs);
        const std::vector<std::uint64_t> fixed_indices = arguments.indices(0);
        const MatrixView fixed_view = arguments.matrix(1);
        const MatrixView data_view = arguments.matrix(2);
        const std::span<const StagePredictor> stages = model_of(self);
        raise_if(analysis::partial_dependence_problem(stages, fixed_indices, fixed_view.cols(), data_view.cols()));
        NewArray pd_values = new_zero_array({fixed_view.rows(), 2 * stages.size()});
        const std::vector<analysis::ComponentPair> constants = without_gil_on_core_thread([&] {
            const ContiguousMatrix fixed_values(fixed_view);
            const ContiguousMatrix data_x(data_view);
            return analysis::partial_dependence(stages, fixed_indices, fixed_values.view(), data_x.view(),
                                                pd_values.values);
        });
        return new_tuple({new_constants_list(constants), std::move(pd_values.object)}).release();
    });
}

PyObject* compute_first_order_partial_dependence_functions(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Arguments arguments(first_order_partial_dependence_spec(), args, kwargs);
        const MatrixView values_view = arguments.matrix(0);
        const MatrixView data_view = arguments.matrix(1);
        const std::span<const StagePredictor> stages = model_of(self);
        raise_if(analysis::first_order_problem(stages, values_view.cols(), data_view.rows(), data_view.cols()));
        const std::size_t p = data_view.cols();
        std::vector<NewArray> pd_values;
        std::vector<std::span<double>> outputs;
        for (std::size_t j = 0; j < p; ++j) {
            pd_values.push_back(new_zero_array({values_view.rows(), 2 * stages.size()}));
            outputs.push_back(pd_values.back().values);
        }
        const std::vector<std::vector<analysis::ComponentPair>> constants = without_gil_on_core_thread([&] {
            const ContiguousMatrix values_x(values_view);
            const ContiguousMatrix data_x(data_view);
            return analysis::first_order_partial_dependence(stages, values_x.view(), data_x.view(), outputs);
        });
        PyRef list = PyRef::steal(check(PyList_New(static_cast<Py_ssize_t>(p))));
        for (std::size_t j = 0; j < p; ++j) {
            PyRef entry = new_tuple({new_constants_list(constants[j]), std::move(pd_values[j].object)});
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(j), entry.release());  // steals
        }
        return list.release();
    });
}

PyObject* compute_ice_curves(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Arguments arguments(ice_curves_spec(), args, kwargs);
        const MatrixView observations_view = arguments.matrix(0);
        const std::uint64_t feature_index = arguments.unsigned64(1);
        const VectorView range_view = arguments.vector(2);
        const MatrixView data_view = arguments.matrix(3);
        const std::span<const StagePredictor> stages = model_of(self);
        raise_if(analysis::ice_curves_problem(stages, feature_index, observations_view.cols(), data_view.cols(),
                                              range_view.size()));
        NewArray curves = new_zero_array({observations_view.rows(), range_view.size(), 2 * stages.size()});
        without_gil_on_core_thread([&] {
            const ContiguousMatrix observations(observations_view);
            const ContiguousVector x_range(range_view);
            analysis::ice_curves(stages, observations.view(), static_cast<std::size_t>(feature_index), x_range.view(),
                                 curves.values);
        });
        return curves.object.release();
    });
}

PyObject* compute_ice_predictions(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Arguments arguments(ice_predictions_spec(), args, kwargs);
        const MatrixView observations_view = arguments.matrix(0);
        const std::uint64_t feature_index = arguments.unsigned64(1);
        const VectorView range_view = arguments.vector(2);
        const std::span<const StagePredictor> stages = model_of(self);
        raise_if(analysis::ice_curves_problem(stages, feature_index, observations_view.cols(),
                                              observations_view.cols(), range_view.size()));
        NewArray predictions = new_zero_array({observations_view.rows(), range_view.size()});
        without_gil_on_core_thread([&] {
            const ContiguousMatrix observations(observations_view);
            const ContiguousVector x_range(range_view);
            analysis::ice_predictions(stages, observations.view(), static_cast<std::size_t>(feature_index),
                                      x_range.view(), predictions.values);
        });
        return predictions.object.release();
    });
}

PyObject* compute_contributions(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Arguments arguments(contributions_spec(), args, kwargs);
        const MatrixView x_view = arguments.matrix(0);
        const MatrixView background_view = arguments.matrix(1);
        const std::span<const StagePredictor> stages = model_of(self);
        raise_if(analysis::contributions_problem(stages, x_view.cols(), background_view.rows(),
                                                 background_view.cols()));
        NewArray values = new_zero_array({x_view.rows(), x_view.cols()});
        const double base_value = without_gil_on_core_thread([&] {
            const ContiguousMatrix x(x_view);
            const ContiguousMatrix background(background_view);
            analysis::contributions(stages, x.view(), background.view(), values.values);
            return analysis::base_value(stages, background.view());
        });
        return new_tuple({std::move(values.object), new_float(base_value)}).release();
    });
}

PyObject* compute_per_stage_feature_importance(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Arguments arguments(per_stage_feature_importance_spec(), args, kwargs);
        const MatrixView data_view = arguments.matrix(0);
        const std::span<const StagePredictor> stages = model_of(self);
        raise_if(analysis::importance_problem(stages, data_view.cols()));
        const analysis::StageImportances importances = without_gil_on_core_thread([&] {
            const ContiguousMatrix data_x(data_view);
            return analysis::per_stage_importance(stages, data_x.view());
        });
        return new_tuple({new_matrix(importances.backbone, stages.size(), data_view.cols()),
                          new_matrix(importances.tilt, stages.size(), data_view.cols())})
            .release();
    });
}

PyObject* compute_aggregated_feature_importance(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Arguments arguments(aggregated_feature_importance_spec(), args, kwargs);
        const MatrixView data_view = arguments.matrix(0);
        const std::span<const StagePredictor> stages = model_of(self);
        raise_if(analysis::aggregation_problem(stages, data_view.cols()));
        const analysis::AggregatedImportance importance = aggregated_importance_without_gil(stages, data_view);
        return new_tuple({new_array(importance.backbone), new_array(importance.tilt), new_array(importance.weights)})
            .release();
    });
}

PyObject* compute_combined_feature_importance(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Arguments arguments(combined_feature_importance_spec(), args, kwargs);
        const MatrixView data_view = arguments.matrix(0);
        const double gamma = arguments.optional_float64(1).value_or(1.0);
        const std::span<const StagePredictor> stages = model_of(self);
        raise_if(analysis::aggregation_problem(stages, data_view.cols()));
        const analysis::AggregatedImportance importance = aggregated_importance_without_gil(stages, data_view);
        const std::vector<double> combined = analysis::combined_importance(importance.backbone, importance.tilt, gamma);
        return new_tuple({new_array(combined), new_array(importance.backbone), new_array(importance.tilt)}).release();
    });
}

}  // namespace zun::py
