"""zunmerak.partial_dependence against scikit-learn's brute-force computation."""
import numpy as np
import pytest
from sklearn.exceptions import NotFittedError
from sklearn.inspection import PartialDependenceDisplay
from sklearn.inspection import partial_dependence as brute_force_partial_dependence
from sklearn.linear_model import LinearRegression

from zunmerak import ZunRegressor, partial_dependence

pd = pytest.importorskip("pandas")


@pytest.fixture(scope="module")
def fitted():
    rng = np.random.default_rng(9)
    X = pd.DataFrame({
        "a": rng.uniform(-1, 1, size=150),
        "b": rng.normal(size=150),
        "c": rng.uniform(size=150),
        "steps": rng.integers(0, 5, size=150).astype(float),  # fewer values than the grid
    })
    y = 500 + 40 * X["a"] * X["c"] + 30 * np.cos(2 * X["b"]) + 20 * X["steps"] + rng.normal(size=150)
    return ZunRegressor(epochs=3, n_trees=3, n_iter=6, random_state=1).fit(X, y), X


def assert_close_to_predictions(actual, expected):
    # Rounding only: the sums of factors and of predictions run in other orders.
    np.testing.assert_allclose(actual, expected, rtol=1e-10, atol=1e-10 * np.abs(expected).max())


@pytest.mark.parametrize("features", [0, "b", ["steps"], [0, 2], ("c", "steps"), [3, 1, 0]])
def test_matches_the_brute_force_average_of_predict(fitted, features):
    estimator, X = fitted
    settings = dict(grid_resolution=7, percentiles=(0.1, 0.9), kind="both")
    ours = partial_dependence(estimator, X, features, **settings)
    reference = brute_force_partial_dependence(estimator, X, features, method="brute", **settings)
    assert len(ours.grid_values) == len(reference.grid_values)
    for grid, expected in zip(ours.grid_values, reference.grid_values):
        np.testing.assert_array_equal(grid, expected)
    assert ours.average.shape == reference.average.shape
    assert ours.individual.shape == reference.individual.shape
    assert_close_to_predictions(ours.average, reference.average)
    assert_close_to_predictions(ours.individual, reference.individual)


def test_single_feature_against_predict_on_substituted_rows(fitted):
    estimator, X = fitted
    result = partial_dependence(estimator, X, "a", grid_resolution=5, kind="both")
    assert sorted(result) == ["average", "grid_values", "individual"]
    assert result.average.shape == (1, 5) and result.individual.shape == (1, 150, 5)
    for k, value in enumerate(result.grid_values[0]):
        predictions = estimator.predict(X.assign(a=value))
        assert_close_to_predictions(result.individual[0, :, k], predictions)
        assert_close_to_predictions(result.average[0, k], predictions.mean())


@pytest.mark.parametrize("kind, keys", [("average", ["average", "grid_values"]),
                                        ("individual", ["grid_values", "individual"])])
def test_kind_selects_the_results(fitted, kind, keys):
    estimator, X = fitted
    assert sorted(partial_dependence(estimator, X, 0, grid_resolution=4, kind=kind)) == keys


@pytest.mark.parametrize("arguments, error, message", [
    (dict(features="z"), ValueError, "unknown feature 'z'; the estimator knows names \\['a', 'b', 'c', 'steps'\\]"),
    (dict(features=4), ValueError, "feature index 4 is out of range for 4 features"),
    (dict(features=-1), ValueError, "feature index -1 is out of range"),
    (dict(features=[0, "a"]), ValueError, "features name a column twice"),
    (dict(features=[]), ValueError, "at least one feature"),
    (dict(features=[1.0]), TypeError, "a feature is an int or a str, got float"),
    (dict(kind="mean"), ValueError, "kind must be one of"),
    (dict(grid_resolution=1), ValueError, "grid_resolution must be an int greater than 1, got 1"),
    (dict(percentiles=(0.9, 0.1)), ValueError, "percentiles\\[0\\] must be less than percentiles\\[1\\]"),
    (dict(percentiles=(0.0, 1.5)), ValueError, "percentiles must be two values in \\[0, 1\\]"),
])
def test_bad_arguments_are_refused(fitted, arguments, error, message):
    estimator, X = fitted
    with pytest.raises(error, match=message):
        partial_dependence(estimator, X, **{"features": 0, **arguments})


def test_data_must_match_the_fitted_estimator(fitted):
    estimator, X = fitted
    with pytest.raises(ValueError, match="cannot compute partial dependence from missing or infinite values"):
        partial_dependence(estimator, X.assign(b=np.nan), 0)
    with pytest.raises(ValueError, match="Feature names seen at fit time, yet now missing"):
        partial_dependence(estimator, X.drop(columns="c"), 0)
    with pytest.raises(NotFittedError):
        partial_dependence(ZunRegressor(), X, 0)
    with pytest.raises(TypeError, match="needs a ZunRegressor, got LinearRegression"):
        partial_dependence(LinearRegression().fit(X, X["a"]), X, 0)


def test_scikit_learn_display_draws_from_the_estimator(fitted):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    estimator, X = fitted
    display = PartialDependenceDisplay.from_estimator(estimator, X, ["a", ("a", "c")], grid_resolution=6)
    try:
        assert display.axes_.shape == (1, 2)
        assert display.lines_[0, 0] is not None and display.contours_[0, 1] is not None
        np.testing.assert_allclose(display.pd_results[1].average,
                                   partial_dependence(estimator, X, ["a", "c"], grid_resolution=6).average,
                                   rtol=1e-10)
    finally:
        plt.close(display.figure_)
