from __future__ import annotations

import numpy as np

from _zunmerak import ZUN


def epoch_training_errors(model: ZUN, X: np.ndarray, y: np.ndarray) -> np.ndarray:
    """Mean squared training error that a fit of ``model`` on ``(X, y)`` reached after each epoch.

    After epoch e the fit rescales every stage so far by least squares
    against y, so its prediction is the projection of y onto the span of the
    stages' plus and minus components. The final model's components are those
    columns times their final scalings, so one QR decomposition of them with y
    appended gives every epoch's residual: the squares of Qᵀy past the first
    2e + 2 entries. A column that adds no direction (a zero scaling, more
    columns than rows) explains nothing, as in the fit's minimum-norm solve.
    The final model truncated to its first stages would not do: the later
    solves change the earlier stages' scalings.

    Parameters
    ----------
    model : ZUN
        A model fitted on ``X`` and ``y``.
    X : ndarray of shape (n_samples, n_features)
        The training data, C-ordered float64.
    y : ndarray of shape (n_samples,)
        The targets the model was fitted on.

    Returns
    -------
    errors : ndarray of shape (n_stages,)
    """
    n_samples, n_features = X.shape
    # With every feature fixed at the rows themselves, the columns are each
    # stage's scaled components on the training rows.
    _, components = model.compute_partial_dependence_function(list(range(n_features)), X, X)
    n_columns = components.shape[1]
    r = np.linalg.qr(np.column_stack([components, y]), mode="r")
    explained = r[:, n_columns] ** 2
    pivots = np.abs(np.diagonal(r[:, :n_columns]))
    tolerance = max(n_samples, n_columns) * (pivots.max() if pivots.size else 0.0) * np.finfo(np.float64).eps
    spurious = np.zeros(explained.size, dtype=bool)
    spurious[:pivots.size] = pivots <= tolerance
    errors = [(explained[2 * e + 2:].sum() + explained[:2 * e + 2][spurious[:2 * e + 2]].sum()) / n_samples
              for e in range(n_columns // 2)]
    return np.asarray(errors, dtype=np.float64)
