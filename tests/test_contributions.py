"""zunmerak.contributions against Shapley values by their definition, and its background sample."""
import itertools
import math
import pickle

import numpy as np
import pytest
from sklearn.exceptions import NotFittedError
from sklearn.linear_model import LinearRegression

from zunmerak import ZunRegressor, contributions

pd = pytest.importorskip("pandas")

N_FEATURES = 6
CONSTANT = 4  # a column with one value in every row


def six_features(rng, rows):
    X = rng.uniform(-1, 1, size=(rows, N_FEATURES))
    X[:, CONSTANT] = 3.0
    y = 1000 + 80 * X[:, 0] * X[:, 1] + 50 * np.sin(3 * X[:, 2]) + 30 * X[:, 3] ** 2 + rng.normal(size=rows)
    return X, y


@pytest.fixture(scope="module")
def fitted():
    X, y = six_features(np.random.default_rng(3), 300)
    return ZunRegressor(epochs=4, n_trees=3, n_iter=6, random_state=0).fit(X, y), X


def brute_force_shapley(estimator, row, background):
    """Shapley values by enumerating the 2^p coalitions: the value of S is the
    mean prediction over the background rows with S's columns taken from ``row``."""
    p = row.size
    worth = {}
    for size in range(p + 1):
        for subset in itertools.combinations(range(p), size):
            hybrid = background.copy()
            hybrid[:, list(subset)] = row[list(subset)]
            worth[frozenset(subset)] = estimator.predict(hybrid).mean()
    values = np.zeros(p)
    for j in range(p):
        others = [k for k in range(p) if k != j]
        for size in range(p):
            weight = math.factorial(size) * math.factorial(p - 1 - size) / math.factorial(p)
            for subset in itertools.combinations(others, size):
                values[j] += weight * (worth[frozenset(subset) | {j}] - worth[frozenset(subset)])
    return values


def test_values_are_the_shapley_values_of_the_coalition_game(fitted):
    estimator, X = fitted
    background = X[::15]  # 20 rows
    rows = X[[0, 7, 99]]
    result = contributions(estimator, rows, background)
    assert result.values.shape == (3, N_FEATURES)
    for row, values in zip(rows, result.values):
        expected = brute_force_shapley(estimator, row, background)
        # 1e-10 of the target's scale: the two computations round differently.
        np.testing.assert_allclose(values, expected, rtol=0, atol=1e-10 * estimator.y_scale_)
    assert result.base_value == pytest.approx(estimator.predict(background).mean(), rel=1e-13)


def test_values_add_up_to_the_prediction_and_a_constant_feature_gets_zero(fitted):
    estimator, X = fitted
    result = contributions(estimator, X)
    np.testing.assert_allclose(result.values.sum(axis=1) + result.base_value, estimator.predict(X), rtol=1e-9)
    np.testing.assert_array_equal(result.values[:, CONSTANT], 0.0)
    assert np.abs(result.values[:, 0]).mean() > 1.0  # the features that matter do get a share


def test_default_background_is_a_fixed_sample_of_training_rows_kept_in_pickles():
    rng = np.random.default_rng(4)
    X, y = six_features(rng, 500)
    first = ZunRegressor(epochs=2, n_trees=2, n_iter=4, random_state=1).fit(X, y)
    other_seed = ZunRegressor(epochs=2, n_trees=2, n_iter=4, random_state=2).fit(X, y)
    assert first.background_.shape == (200, N_FEATURES)
    # Rows of X in their order, whatever the fit's own seed.
    positions = [np.flatnonzero((X == row).all(axis=1))[0] for row in first.background_]
    assert positions == sorted(positions) and len(set(positions)) == 200
    np.testing.assert_array_equal(other_seed.background_, first.background_)
    default = contributions(first, X[:5])
    np.testing.assert_array_equal(default.values, contributions(first, X[:5], first.background_).values)
    restored = pickle.loads(pickle.dumps(first))
    np.testing.assert_array_equal(contributions(restored, X[:5]).values, default.values)
    small = ZunRegressor(epochs=1, n_trees=1, n_iter=2).fit(X[:50], y[:50])
    np.testing.assert_array_equal(small.background_, X[:50])


def test_results_are_in_the_units_of_y_and_name_the_features(fitted):
    estimator, X = fitted
    frame = pd.DataFrame(X, columns=[f"f{j}" for j in range(N_FEATURES)])
    y = estimator.predict(X)
    named = ZunRegressor(epochs=2, n_trees=2, n_iter=4, random_state=0).fit(frame, y)
    result = contributions(named, frame.iloc[:4])
    assert result.feature_names == [f"f{j}" for j in range(N_FEATURES)]
    scaled = ZunRegressor(epochs=2, n_trees=2, n_iter=4, random_state=0).fit(frame, 1e3 * y)
    big = contributions(scaled, frame.iloc[:4])
    # The fit standardises y, so a scaled target gives the same model in other units.
    np.testing.assert_allclose(big.values, 1e3 * result.values, rtol=1e-9, atol=1e-9 * scaled.y_scale_)
    assert big.base_value == pytest.approx(1e3 * result.base_value, rel=1e-9)
    assert contributions(estimator, X[:2]).feature_names == [f"x{j}" for j in range(N_FEATURES)]


def test_errors(fitted):
    estimator, X = fitted
    with pytest.raises(TypeError, match="contributions needs a ZunRegressor, got LinearRegression"):
        contributions(LinearRegression().fit(X, X[:, 0]), X)
    with pytest.raises(NotFittedError):
        contributions(ZunRegressor(), X)
    with pytest.raises(ValueError, match="X has 5 features, but ZunRegressor is expecting 6 features"):
        contributions(estimator, X[:, :5])
    with pytest.raises(ValueError, match="X has 5 features, but ZunRegressor is expecting 6 features"):
        contributions(estimator, X, background=X[:, :5])
    with pytest.raises(ValueError, match="0 sample"):
        contributions(estimator, X, background=X[:0])
    old = pickle.loads(pickle.dumps(estimator))
    del old.background_
    with pytest.raises(ValueError, match="no background_ rows .* pass background="):
        contributions(old, X)
    np.testing.assert_array_equal(contributions(old, X[:3], background=X[:9]).values,
                                  contributions(estimator, X[:3], background=X[:9]).values)
