"""Partial dependence and ICE curves of a ZunRegressor, in scikit-learn's layout."""
from __future__ import annotations

from numbers import Integral

import numpy as np
from scipy.stats.mstats import mquantiles
from sklearn.utils import Bunch
from sklearn.utils.extmath import cartesian

from ._regressor import ZunRegressor

_KINDS = ("average", "individual", "both")


def feature_indices(estimator: ZunRegressor, features) -> list:
    """Column indices of ``features``: an int or name, or a sequence of them."""
    chosen = [features] if isinstance(features, (str, Integral)) else list(features)
    if not chosen:
        raise ValueError("features must name at least one feature")
    names = getattr(estimator, "feature_names_in_", None)
    indices = []
    for feature in chosen:
        if isinstance(feature, str):
            if names is None or feature not in names:
                known = "no names: X had none at fit" if names is None else f"names {list(names)}"
                raise ValueError(f"unknown feature {feature!r}; the estimator knows {known}")
            indices.append(int(np.flatnonzero(names == feature)[0]))
        elif isinstance(feature, Integral) and not isinstance(feature, bool):
            if not 0 <= feature < estimator.n_features_in_:
                raise ValueError(f"feature index {feature} is out of range for {estimator.n_features_in_} features")
            indices.append(int(feature))
        else:
            raise TypeError(f"a feature is an int or a str, got {type(feature).__name__}")
    if len(set(indices)) != len(indices):
        raise ValueError(f"features name a column twice: {chosen}")
    return indices


def feature_names(estimator: ZunRegressor) -> list:
    """The column names seen at fit, or ``x0``, ``x1``, ... when X had none."""
    names = getattr(estimator, "feature_names_in_", None)
    if names is None:
        return [f"x{index}" for index in range(estimator.n_features_in_)]
    return [str(name) for name in names]


def _check_grid_settings(grid_resolution, percentiles) -> None:
    if not isinstance(grid_resolution, Integral) or grid_resolution <= 1:
        raise ValueError(f"grid_resolution must be an int greater than 1, got {grid_resolution!r}")
    if len(percentiles) != 2 or not all(0 <= p <= 1 for p in percentiles):
        raise ValueError(f"percentiles must be two values in [0, 1], got {percentiles!r}")
    if percentiles[0] >= percentiles[1]:
        raise ValueError(f"percentiles[0] must be less than percentiles[1], got {percentiles!r}")


def grid_axis(column: np.ndarray, grid_resolution: int, percentiles) -> np.ndarray:
    """Grid values of one feature, chosen as scikit-learn's partial dependence does.

    The distinct values when there are fewer than ``grid_resolution`` of
    them, otherwise ``grid_resolution`` evenly spaced values between the two
    percentiles of the column.
    """
    distinct = np.unique(column)
    if distinct.size < grid_resolution:
        return distinct
    low, high = mquantiles(column, prob=percentiles, axis=0)
    if np.allclose(low, high):
        raise ValueError(f"percentiles {percentiles} of a feature are too close to each other ({low} and {high}) "
                         "to build a grid; choose percentiles further apart")
    return np.linspace(low, high, num=grid_resolution, endpoint=True)


def _individual(estimator: ZunRegressor, X: np.ndarray, indices: list, grid: np.ndarray) -> np.ndarray:
    """Predictions of every row with the chosen features set to every grid point."""
    model = estimator.model_
    if len(indices) == 1:
        return model.compute_ice_predictions(X, indices[0], np.ascontiguousarray(grid[:, 0]))
    # The module's ICE curves vary one feature; several are set row by row.
    result = np.empty((X.shape[0], grid.shape[0]))
    changed = X.copy()
    for point, values in enumerate(grid):
        changed[:, indices] = values
        result[:, point] = model.predict(changed)
    return result


def partial_dependence(estimator, X, features, *, grid_resolution=100, percentiles=(0.05, 0.95), kind="average"):
    """Partial dependence and ICE curves of a fitted :class:`ZunRegressor`.

    The averages, and the ICE curves of one feature, come from the model's
    factors (the mean over ``X`` of a product of per-feature factors
    factorises) instead of predicting every row at every grid point; ICE
    curves of several features taken jointly do predict every row at every
    grid point. Both equal the brute-force computation up to rounding.

    Parameters
    ----------
    estimator : ZunRegressor
        A fitted estimator.
    X : array-like of shape (n_samples, n_features)
        Data over which the other features are averaged, and the rows of the
        ICE curves; the grid comes from its columns.
    features : int, str or sequence of int or str
        The feature, or the set of features taken jointly, by index or name.
    grid_resolution : int, default=100
        Grid values per feature (fewer when a feature has fewer distinct values).
    percentiles : tuple of float, default=(0.05, 0.95)
        Lower and upper percentile of each feature that bound its grid.
    kind : {"average", "individual", "both"}, default="average"
        Whether to return the partial dependence, the ICE curves or both.

    Returns
    -------
    result : sklearn.utils.Bunch
        grid_values : list of ndarray, one per feature
            The grid of each feature.
        average : ndarray of shape (1, len(grid_values[0]), ...)
            Mean prediction over ``X`` at each grid point (kind "average" or "both").
        individual : ndarray of shape (1, n_samples, len(grid_values[0]), ...)
            Prediction of each row at each grid point (kind "individual" or "both").

    Raises
    ------
    TypeError
        If ``estimator`` is not a ZunRegressor or a feature is neither int nor str.
    ValueError
        For an unknown or repeated feature, a bad setting, missing values in
        ``X`` or columns that differ from those seen at fit.
    sklearn.exceptions.NotFittedError
        If ``estimator`` is not fitted.
    """
    if not isinstance(estimator, ZunRegressor):
        raise TypeError(f"partial_dependence needs a ZunRegressor, got {type(estimator).__name__}")
    X = estimator._validate_query(X, "compute partial dependence from")
    return partial_dependence_of_columns(estimator, X, feature_indices(estimator, features),
                                         grid_resolution=grid_resolution, percentiles=percentiles, kind=kind)


def partial_dependence_of_columns(estimator: ZunRegressor, X: np.ndarray, indices: list, *, grid_resolution,
                                  percentiles, kind) -> Bunch:
    """:func:`partial_dependence` for data already validated by the estimator and column indices."""
    if kind not in _KINDS:
        raise ValueError(f"kind must be one of {_KINDS}, got {kind!r}")
    _check_grid_settings(grid_resolution, percentiles)
    grid_values = [grid_axis(X[:, index], grid_resolution, percentiles) for index in indices]
    grid = cartesian(grid_values)
    shape = tuple(len(values) for values in grid_values)

    result = Bunch(grid_values=grid_values)
    if kind in ("average", "both"):
        _, columns = estimator.model_.compute_partial_dependence_function(indices, grid, X)
        result["average"] = estimator._in_target_units(columns.sum(axis=1)).reshape(1, *shape)
    if kind in ("individual", "both"):
        individual = _individual(estimator, X, indices, grid)
        result["individual"] = estimator._in_target_units(individual).reshape(1, X.shape[0], *shape)
    return result
