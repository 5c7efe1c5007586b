"""ZunRegressor as a scikit-learn estimator: checks, input forms, errors, fitted attributes, copies."""
import copy
import pickle
import warnings

import numpy as np
import pytest
from sklearn.base import clone
from sklearn.impute import SimpleImputer
from sklearn.model_selection import GridSearchCV, cross_val_score
from sklearn.pipeline import make_pipeline
from sklearn.utils._param_validation import InvalidParameterError
from sklearn.utils.estimator_checks import check_param_validation, parametrize_with_checks

from _zunmerak import ZUN
from zunmerak import FitProgress, ZunRegressor
from zunmerak._serialization import model_to_bytes, read_envelope

pd = pytest.importorskip("pandas")

# Without the cross-validation that chooses the epochs on small data, so
# that these fits have the epochs they ask for.
SMALL = dict(epochs=2, n_trees=3, n_iter=4, cv_folds=None)


def small(**params):
    return ZunRegressor(**{**SMALL, "random_state": 0, **params})


def expected_failed_checks(estimator):
    # Every check passes. sample_weight checks are not run: fit does not
    # declare sample_weight, so scikit-learn knows it is unsupported.
    return {}


@parametrize_with_checks([small()], expected_failed_checks=expected_failed_checks, xfail_strict=True)
def test_scikit_learn_estimator_checks(estimator, check):
    check(estimator)


def test_invalid_parameters_are_refused_at_fit():
    # Runs the parameter check of every entry of _parameter_constraints.
    check_param_validation("ZunRegressor", small())


@pytest.mark.parametrize("params, message", [
    ({"epochs": 0}, "'epochs' parameter .* must be an int in the range \\[1, inf\\)"),
    ({"colsample_bytree": 1.5}, "'colsample_bytree' parameter .* range \\[0.0, 1.0\\]"),
    ({"similarity_threshold": 1.0}, "'similarity_threshold' parameter .* range \\[0.0, 1.0\\)"),
    ({"split_strategy": "Random"}, "'split_strategy' parameter .* must be a str among"),
    ({"random_state": -1}, "'random_state' parameter"),
    ({"random_state": 2**64}, "'random_state' parameter"),
    ({"n_jobs": 0}, "'n_jobs' parameter"),
    ({"max_bins": 1}, "'max_bins' parameter .* range \\[2, 65536\\]"),
    ({"callback": 3}, "'callback' parameter .* must be None or a callable"),
    ({"early_stopping": "yes"}, "'early_stopping' parameter"),
    ({"cv_folds": 1}, "'cv_folds' parameter"),
    ({"validation_fraction": 1.0}, "'validation_fraction' parameter .* range \\(0.0, 1.0\\)"),
    ({"n_iter_no_change": 0}, "'n_iter_no_change' parameter .* range \\[1, inf\\)"),
    ({"tol": -1.0}, "'tol' parameter .* range \\[0.0, inf\\)"),
])
def test_out_of_range_parameters_name_the_parameter(params, message):
    X = np.arange(20.0).reshape(10, 2)
    with pytest.raises(InvalidParameterError, match=message):
        small(**params).fit(X, X[:, 0])


# ---------------------------------------------------------------------------
# Input forms: small integers are exact in every dtype, so every form must give
# the very same model.

@pytest.fixture(scope="module")
def integer_data():
    rng = np.random.default_rng(2)
    X = rng.integers(0, 40, size=(80, 3))
    y = 3 * X[:, 0] - 2 * X[:, 1] + (X[:, 2] % 7)
    return X, y


INPUT_FORMS = {
    "float64 C": lambda X, y: (np.ascontiguousarray(X, dtype=np.float64), y.astype(np.float64)),
    "int64": lambda X, y: (X.astype(np.int64), y.astype(np.int64)),
    "int32 and float32": lambda X, y: (X.astype(np.float32), y.astype(np.int32)),
    "Fortran order": lambda X, y: (np.asfortranarray(X, dtype=np.float64), y.astype(np.float64)),
    "strided view": lambda X, y: (np.repeat(X.astype(np.float64), 2, axis=1)[:, ::2], y[::-1].astype(float)[::-1]),
    "lists": lambda X, y: (X.tolist(), y.tolist()),
    "pandas": lambda X, y: (pd.DataFrame(X, columns=["a", "b", "c"]), pd.Series(y, name="target")),
}


@pytest.mark.parametrize("form", list(INPUT_FORMS))
def test_every_input_form_gives_the_same_model(integer_data, form):
    reference = small().fit(*INPUT_FORMS["float64 C"](*integer_data))
    X, y = INPUT_FORMS[form](*integer_data)
    fitted = small().fit(X, y)
    assert fitted.n_features_in_ == 3
    assert model_to_bytes(fitted.model_) == model_to_bytes(reference.model_)
    np.testing.assert_array_equal(fitted.predict(X), reference.predict(integer_data[0].astype(float)))


def test_dataframe_keeps_feature_names_and_predict_checks_them(integer_data):
    X, y = INPUT_FORMS["pandas"](*integer_data)
    fitted = small().fit(X, y)
    assert list(fitted.feature_names_in_) == ["a", "b", "c"]
    with pytest.raises(ValueError, match="The feature names should match those that were passed during fit"):
        fitted.predict(X[["b", "a", "c"]])
    with pytest.raises(ValueError, match="Feature names seen at fit time, yet now missing:\n- c"):
        fitted.predict(X[["a", "b"]])
    unnamed = small().fit(X.to_numpy(), y)
    with pytest.raises(ValueError, match="X has 2 features, but ZunRegressor is expecting 3 features"):
        unnamed.predict(X.to_numpy()[:, :2])


FILL_X = "for example with sklearn.impute.SimpleImputer in a Pipeline"
DROP_SAMPLES = "Every sample needs a finite target: drop those samples from X and y."


@pytest.mark.parametrize("action, row, column, value, message, advice", [
    ("fit", 3, 1, np.nan, "cannot fit missing or infinite values: X has NaN at row 3, column 1", FILL_X),
    ("fit", 0, 2, -np.inf, "cannot fit missing or infinite values: X has -inf at row 0, column 2", FILL_X),
    ("fit", 5, None, np.nan, "cannot fit missing or infinite target values: y has NaN at index 5", DROP_SAMPLES),
    ("fit", 7, None, np.inf, "cannot fit missing or infinite target values: y has inf at index 7", DROP_SAMPLES),
    ("predict", 2, 0, np.nan, "cannot predict from missing or infinite values: X has NaN at row 2, column 0", FILL_X),
])
def test_missing_values_are_refused_with_advice(integer_data, action, row, column, value, message, advice):
    X, y = (a.astype(np.float64) for a in integer_data)
    fitted = small().fit(X, y)
    if column is None:
        y[row] = value
    else:
        X[row, column] = value
    with pytest.raises(ValueError, match=message) as error:
        fitted.predict(X) if action == "predict" else small().fit(X, y)
    assert advice in str(error.value)
    # An imputer cannot fill y, so it is not suggested for y.
    assert ("SimpleImputer" in str(error.value)) == (column is not None)


@pytest.mark.parametrize("form", ["DataFrame", "category", "object array"])
@pytest.mark.parametrize("action", ["fit", "predict"])
def test_a_text_column_is_named_with_a_pointer_to_an_encoder(integer_data, form, action):
    X, y = integer_data
    frame = pd.DataFrame(X.astype(np.float64), columns=["a", "b", "c"])
    fitted = small().fit(frame if form != "object array" else frame.to_numpy(), y)
    frame["b"] = np.where(np.arange(len(frame)) % 2 == 0, "1.5", "Rome")  # numeric text converts
    text = {"DataFrame": frame, "category": frame.astype({"b": "category"}),
            "object array": frame.to_numpy(dtype=object)}[form]
    column = "1" if form == "object array" else "'b'"
    with pytest.raises(ValueError, match=f"needs numeric features, but column {column} of X holds 'Rome'. Encode "
                                         "such columns first, for example with sklearn.preprocessing.OrdinalEncoder"):
        fitted.predict(text) if action == "predict" else small().fit(text, y)


def test_sample_weight_and_unknown_fit_parameters_are_refused(integer_data):
    X, y = integer_data
    with pytest.raises(TypeError, match="does not support sample_weight"):
        small().fit(X, y, sample_weight=np.ones(len(y)))
    with pytest.raises(TypeError, match=r"unexpected keyword arguments \['eval_set'\]"):
        small().fit(X, y, eval_set=(X, y))
    np.testing.assert_array_equal(small().fit(X, y, sample_weight=None).predict(X), small().fit(X, y).predict(X))


def test_an_imputer_in_a_pipeline_handles_missing_values():
    rng = np.random.default_rng(4)
    X = rng.uniform(size=(300, 3))
    y = 4 * X[:, 0] + np.sin(6 * X[:, 1])
    X[rng.uniform(size=X.shape) < 0.05] = np.nan
    scores = cross_val_score(make_pipeline(SimpleImputer(), small(epochs=3)), X, y, cv=3)
    assert scores.shape == (3,) and scores.min() > 0.5


def test_grid_search_tunes_estimator_parameters(integer_data):
    X, y = integer_data
    search = GridSearchCV(small(), {"alpha": [1.0, 10.0], "n_iter": [2, 4]}, cv=2).fit(X, y)
    assert search.best_params_["alpha"] in (1.0, 10.0) and search.best_estimator_.n_stages_ == 2


# ---------------------------------------------------------------------------
# Fitted attributes.

@pytest.fixture(scope="module")
def one_feature_matters():
    rng = np.random.default_rng(6)
    X = rng.uniform(size=(400, 4))
    y = 100 + 30 * np.sin(5 * X[:, 2]) + rng.normal(scale=0.5, size=400)
    return X, y


def test_fitted_attributes(one_feature_matters):
    X, y = one_feature_matters
    fitted = small(epochs=4, n_iter=6).fit(X, y)
    assert isinstance(fitted.model_, ZUN)
    assert fitted.n_stages_ == 4 == len(fitted.model_.stage_predictors)
    assert fitted.feature_importances_.shape == (4,)
    assert fitted.feature_importances_.sum() == pytest.approx(1.0, rel=1e-12)
    assert np.argmax(fitted.feature_importances_) == 2
    assert fitted.train_error_[-1] < 0.1 * np.var(y)
    assert fitted.y_mean_ == pytest.approx(np.mean(y)) and fitted.y_scale_ == pytest.approx(np.std(y))


def test_training_error_of_each_epoch_is_that_of_a_fit_that_stops_there(one_feature_matters):
    # Every epoch rescales all stages so far, so the final model cut after k
    # stages is not the model of epoch k; a fit with k epochs is.
    X, y = one_feature_matters
    fitted = small(epochs=4, n_iter=6).fit(X, y)
    stopped = [np.mean((y - small(epochs=k, n_iter=6).fit(X, y).predict(X)) ** 2) for k in range(1, 5)]
    np.testing.assert_allclose(fitted.train_error_, stopped, rtol=1e-9)


def test_callback_sees_errors_in_target_units_and_can_stop_the_fit(one_feature_matters):
    X, y = one_feature_matters
    records = []

    def stop_after_second_epoch(record):
        records.append(record)
        return not (record.train_error is not None and record.epoch == 1)

    stopped = small(epochs=4, n_iter=6, callback=stop_after_second_epoch).fit(X, y)
    two_epochs = small(epochs=2, n_iter=6).fit(X, y)
    assert all(isinstance(record, FitProgress) for record in records)
    epoch_ends = [record.train_error for record in records if record.train_error is not None]
    np.testing.assert_allclose(epoch_ends, two_epochs.train_error_, rtol=1e-12)
    assert stopped.stopped_early_ and stopped.n_stages_ == 2
    assert not two_epochs.stopped_early_
    np.testing.assert_array_equal(stopped.predict(X), two_epochs.predict(X))


# ---------------------------------------------------------------------------
# Early stopping.

@pytest.mark.parametrize("rows, on", [(10_000, False), (10_001, True)])
def test_auto_early_stopping_starts_above_ten_thousand_rows(rows, on):
    rng = np.random.default_rng(3)
    X = rng.uniform(size=(rows, 2))
    y = X[:, 0] + 0.1 * rng.normal(size=rows)
    fitted = ZunRegressor(epochs=2, n_trees=2, n_iter=2, random_state=0).fit(X, y)
    assert len(fitted.validation_error_) == (2 if on else 0)
    # Below, "auto" chooses the epochs by cross-validation instead.
    assert len(fitted.cv_error_) == (0 if on else 2)
    # Above, "auto" row partitions are one per tree; below, none.
    explicit = ZunRegressor(epochs=2, n_trees=2, n_iter=2, random_state=0, row_partitions=2 if on else None,
                            cv_folds=None, early_stopping=on).fit(X, y)
    if not on:
        explicit = ZunRegressor(epochs=fitted.n_epochs_, n_trees=2, n_iter=2, random_state=0, row_partitions=None,
                                early_stopping=False).fit(X, y)
    assert model_to_bytes(fitted.model_) == model_to_bytes(explicit.model_)


@pytest.mark.filterwarnings("ignore:Design matrix of epoch")
def test_auto_on_few_rows_chooses_the_epochs_by_cross_validation(one_feature_matters):
    X, y = one_feature_matters
    y = y + np.random.default_rng(4).normal(scale=0.3 * np.std(y), size=len(y))  # noise to overfit
    chosen = small(epochs=30, n_trees=2, n_iter=6, cv_folds=3).fit(X, y)
    assert len(chosen.cv_error_) <= 30 and np.all(np.isfinite(chosen.cv_error_))
    assert 1 < chosen.n_epochs_ == int(np.argmin(chosen.cv_error_)) + 1 < len(chosen.cv_error_)
    # The model is the fit on all rows with that many epochs.
    asked = small(epochs=chosen.n_epochs_, n_trees=2, n_iter=6).fit(X, y)
    assert model_to_bytes(chosen.model_) == model_to_bytes(asked.model_)
    assert len(asked.cv_error_) == 0
    # Other folds from another random_state; a power-of-two scale of y keeps
    # the choice even where its squares leave the float range.
    other = small(epochs=30, n_trees=2, n_iter=6, cv_folds=3, random_state=1).fit(X, y)
    assert other.cv_error_.tolist() != chosen.cv_error_.tolist()
    huge = small(epochs=30, n_trees=2, n_iter=6, cv_folds=3).fit(X, 2.0**600 * y)
    assert huge.n_epochs_ == chosen.n_epochs_
    assert np.all(np.isinf(huge.cv_error_))
    restored = pickle.loads(pickle.dumps(chosen))
    np.testing.assert_array_equal(restored.cv_error_, chosen.cv_error_)


def test_early_stopping_keeps_the_best_epoch_of_rows_held_out_by_random_state(one_feature_matters):
    X, y = one_feature_matters
    y = y + np.random.default_rng(4).normal(scale=2 * np.std(y), size=len(y))  # noise to overfit
    fitted = small(epochs=60, n_trees=2, n_iter=6, early_stopping=True, n_iter_no_change=3,
                   validation_fraction=0.25).fit(X, y)
    best = int(np.argmin(fitted.validation_error_))
    assert fitted.n_epochs_ == best + 1 < len(fitted.validation_error_) == len(fitted.train_error_) == best + 4
    assert small(epochs=60, n_trees=2, n_iter=6, early_stopping=True, n_iter_no_change=3,
                 validation_fraction=0.25).fit(X, y).predict(X).tolist() == fitted.predict(X).tolist()
    other = small(epochs=60, n_trees=2, n_iter=6, early_stopping=True, n_iter_no_change=3, validation_fraction=0.25,
                  random_state=1).fit(X, y)
    assert other.validation_error_.tolist() != fitted.validation_error_.tolist()
    restored = pickle.loads(pickle.dumps(fitted))
    np.testing.assert_array_equal(restored.validation_error_, fitted.validation_error_)
    assert restored.n_epochs_ == fitted.n_epochs_


def test_early_stopping_needs_two_validation_rows():
    X = np.arange(10.0).reshape(5, 2)
    with pytest.raises(ValueError, match="needs at least 2 validation rows"):
        small(early_stopping=True).fit(X, X[:, 0])


@pytest.mark.parametrize("verbose, native", [(1, False), (2, True)])
def test_verbose_prints_a_line_per_epoch_in_the_units_of_y(one_feature_matters, capsys, verbose, native):
    X, y = one_feature_matters
    fitted = small(epochs=3, verbose=verbose, early_stopping=True, validation_fraction=0.25).fit(X, 1000 * y)
    out = capsys.readouterr().out
    lines = [line for line in out.splitlines() if line.startswith("Epoch ") and "training RMSE" in line]
    assert len(lines) == 3
    rmse = float(lines[-1].split("training RMSE ")[1].split(",")[0])
    assert rmse == pytest.approx(np.sqrt(fitted.train_error_[-1]), rel=1e-5)
    assert "validation RMSE" in lines[-1]
    assert ("[zun::forest::fitter] [INFO]" in out) == native


def test_max_bins_reaches_the_fit(one_feature_matters):
    X, y = one_feature_matters
    binned = small(max_bins=16).fit(X, y)
    cuts = np.concatenate([grid.splits[2] for stage in binned.model_.stage_predictors for grid in stage.grid_tensors])
    # Four hundred distinct values in 16 bins leave at most 15 boundaries to cut on.
    assert 0 < len(np.unique(cuts)) <= 15
    assert model_to_bytes(binned.model_) != model_to_bytes(small().fit(X, y).model_)


@pytest.mark.parametrize("n_jobs", [1, 2, -1, None])
def test_thread_count_leaves_the_model_unchanged(one_feature_matters, n_jobs):
    X, y = one_feature_matters
    assert model_to_bytes(small(n_jobs=n_jobs).fit(X, y).model_) == model_to_bytes(small(n_jobs=1).fit(X, y).model_)


@pytest.mark.parametrize("scale", [2.0**10, 2.0**660, 2.0**-660])
def test_predictions_follow_the_scale_of_y(one_feature_matters, scale):
    # Standardising y makes the fit blind to its scale: a power of two scales
    # every intermediate value exactly, up to magnitudes (2**660 is about
    # 1e199) whose squares leave the float range.
    X, y = one_feature_matters
    base = small().fit(X, y)
    scaled = small().fit(X, scale * y)
    assert model_to_bytes(scaled.model_) == model_to_bytes(base.model_)
    np.testing.assert_array_equal(scaled.predict(X), scale * base.predict(X))
    # The squared error in units of y is inf beyond the float range, and 0 below it.
    np.testing.assert_array_equal(scaled.train_error_, scale**2 * base.train_error_ if scale < 2.0**500 else np.inf)


def test_a_target_of_huge_scale_is_fitted(one_feature_matters):
    X, y = one_feature_matters
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no overflow on the way
        fitted = small().fit(X, 1e200 * y)
        predicted = fitted.predict(X)
    base = small().fit(X, y).predict(X)
    np.testing.assert_allclose(predicted / 1e200, base, rtol=1e-6)


def test_constant_target_is_predicted_exactly():
    X = np.random.default_rng(8).uniform(size=(40, 2))
    fitted = small().fit(X, np.full(40, -3.5))
    np.testing.assert_array_equal(fitted.predict(X), np.full(40, -3.5))
    np.testing.assert_array_equal(fitted.train_error_, np.zeros(2))


# ---------------------------------------------------------------------------
# Seeds.

def model_file(random_state, data):
    return model_to_bytes(small(random_state=random_state).fit(*data).model_)


def test_random_state_maps_onto_the_seed(one_feature_matters):
    data = one_feature_matters
    assert model_file(7, data) == model_file(7, data) != model_file(8, data)
    assert model_file(2**64 - 1, data) != model_file(2**64 - 2, data)
    for make in (np.random.default_rng, np.random.RandomState):
        assert model_file(make(3), data) == model_file(make(3), data)
        shared = make(3)
        assert model_file(shared, data) != model_file(shared, data)
    assert model_file(None, data) != model_file(None, data)


# ---------------------------------------------------------------------------
# Copies.

@pytest.mark.parametrize("round_trip", [
    lambda fitted, X, y: pickle.loads(pickle.dumps(fitted)),
    lambda fitted, X, y: copy.deepcopy(fitted),
    lambda fitted, X, y: clone(fitted).fit(X, y),
], ids=["pickle", "deepcopy", "clone and refit"])
def test_copies_predict_identically(integer_data, round_trip):
    X, y = INPUT_FORMS["pandas"](*integer_data)
    fitted = small().fit(X, y)
    restored = round_trip(fitted, X, y)
    assert restored is not fitted and restored.model_ is not fitted.model_
    np.testing.assert_array_equal(restored.predict(X), fitted.predict(X))
    assert list(restored.feature_names_in_) == ["a", "b", "c"]
    np.testing.assert_array_equal(restored.feature_importances_, fitted.feature_importances_)


def test_pickled_estimator_carries_parameters_and_feature_names_in_its_envelope(integer_data):
    X, y = INPUT_FORMS["pandas"](*integer_data)
    fitted = small().fit(X, y)
    state = fitted.__getstate__()
    assert "model_" not in state
    envelope = read_envelope(state["_model_envelope"])
    assert envelope.metadata == {"kind": "ZunRegressor", "params": fitted.get_params(), "feature_names": ["a", "b", "c"]}
    assert envelope.model_bytes == model_to_bytes(fitted.model_)
    assert "_model_envelope" not in pickle.loads(pickle.dumps(fitted)).__dict__


def test_unfitted_estimator_pickles_without_a_model():
    restored = pickle.loads(pickle.dumps(small(alpha=3.0)))
    assert restored.get_params() == small(alpha=3.0).get_params() and not hasattr(restored, "model_")
