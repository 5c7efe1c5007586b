"""The training rows an estimator keeps as the default background of its contributions."""
from __future__ import annotations

import numpy as np

BACKGROUND_ROWS = 200


def background_sample(X: np.ndarray) -> np.ndarray:
    """At most ``BACKGROUND_ROWS`` rows of ``X``, in their order, drawn with a fixed seed.

    The seed is fixed rather than taken from ``random_state`` so that the
    same training data gives the same explanations whatever the fit's seed.
    """
    if X.shape[0] <= BACKGROUND_ROWS:
        return X.copy()
    rows = np.random.default_rng(0).choice(X.shape[0], size=BACKGROUND_ROWS, replace=False)
    return X[np.sort(rows)]
