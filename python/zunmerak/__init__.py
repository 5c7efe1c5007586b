"""Boosted grid tensor regression for tabular data, as a scikit-learn estimator.

The native model lives in the extension module ``_zunmerak``; this package adds
the layer users touch: :class:`ZunRegressor`, pickling and copying of models,
:func:`partial_dependence` in scikit-learn's layout, exact per-prediction
:func:`contributions`, and plots in
``zunmerak.plotting`` (with the ``plot`` extra).
"""
from ._contributions import contributions
from ._partial_dependence import partial_dependence
from ._progress import FitProgress
from ._regressor import ZunRegressor
from ._version import __version__

__all__ = ["FitProgress", "ZunRegressor", "contributions", "partial_dependence", "__version__"]
