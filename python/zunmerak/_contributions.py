"""Exact per-prediction contributions (interventional Shapley values) of a ZunRegressor."""
from __future__ import annotations

from sklearn.utils import Bunch

from ._partial_dependence import feature_names
from ._regressor import ZunRegressor


class Contributions(Bunch):
    """The Bunch :func:`contributions` returns.

    Its ``values`` key is also an attribute, which a plain Bunch cannot offer:
    the dict method ``values`` would hide it. Iterate with ``.items()``
    instead.
    """

    @property
    def values(self):
        return self["values"]


def contributions(estimator, X, background=None):
    """Exact contribution of every feature to every prediction.

    The contributions are the interventional Shapley values of each
    prediction with respect to the background rows: the value of a set of
    features is the mean, over the background rows, of the prediction of the
    row that takes the explained row's values on that set and the background
    row's elsewhere. Each stage of the model is a difference of two products
    of per-feature factors, whose Shapley values have a closed form, so the
    values are exact (no sampling) and cost about ``n_samples`` ×
    ``n_background`` × ``n_stages`` × ``n_features`` squared operations,
    shared among the cores.

    Parameters
    ----------
    estimator : ZunRegressor
        A fitted estimator.
    X : array-like of shape (n_samples, n_features)
        The rows to explain, with the columns (and names) seen during fit.
    background : array-like of shape (n_background, n_features), default=None
        The rows that absent features take their values from. None uses
        ``estimator.background_``, at most 200 training rows drawn with a
        fixed seed at fit.

    Returns
    -------
    result : Contributions, a sklearn.utils.Bunch
        values : ndarray of shape (n_samples, n_features)
            Contribution of each feature to each prediction, in the units of
            ``y``. ``values.sum(axis=1) + base_value`` equals
            ``estimator.predict(X)`` up to rounding.
        base_value : float
            Mean prediction over the background rows.
        feature_names : list of str
            The column names seen during fit, or ``x0``, ``x1``, ... without them.

    Raises
    ------
    TypeError
        If ``estimator`` is not a ZunRegressor.
    ValueError
        If ``X`` or ``background`` has columns that differ from those seen
        at fit, or ``background`` has no rows.
    sklearn.exceptions.NotFittedError
        If ``estimator`` is not fitted.

    Examples
    --------
    >>> from sklearn.datasets import load_diabetes
    >>> from zunmerak import ZunRegressor, contributions
    >>> X, y = load_diabetes(return_X_y=True)
    >>> model = ZunRegressor(epochs=3, n_iter=5, random_state=0).fit(X, y)
    >>> result = contributions(model, X[:5])
    >>> result.values.shape
    (5, 10)
    """
    if not isinstance(estimator, ZunRegressor):
        raise TypeError(f"contributions needs a ZunRegressor, got {type(estimator).__name__}")
    X = estimator._validate_query(X, "compute contributions for")
    if background is None:
        background = getattr(estimator, "background_", None)
        if background is None:
            raise ValueError("the estimator has no background_ rows (it was fitted by an older zunmerak); "
                             "pass background=, for example a sample of the training rows")
    else:
        background = estimator._validate_query(background, "compute contributions against")
    values, base_value = estimator.model_.compute_contributions(X, background)
    return Contributions(values=values * estimator.y_scale_, base_value=float(estimator._in_target_units(base_value)),
                 feature_names=feature_names(estimator))
