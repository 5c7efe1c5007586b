"""Boosted grid tensor regression for tabular data, as a scikit-learn estimator.

The native model lives in the extension module ``_zunmerak``; this package adds
the layer users touch.
"""
from ._version import __version__

__all__ = ["__version__"]
