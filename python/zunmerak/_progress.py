"""Progress records of an estimator's fit, in the units of its target."""
from __future__ import annotations

from typing import Callable, NamedTuple, Optional


class FitProgress(NamedTuple):
    """What a ``ZunRegressor`` callback receives during ``fit``.

    Attributes
    ----------
    epoch : int
        The epoch under way, or just done (from 0).
    trees_done : int
        Trees of that epoch fitted so far.
    total_trees : int
        Trees per epoch.
    epochs : int
        Epochs the fit was asked for.
    elapsed : float
        Seconds since the fit started.
    train_error : float or None
        Mean squared training error after the epoch, in the units of ``y``
        squared; None while an epoch runs.
    """

    epoch: int
    trees_done: int
    total_trees: int
    epochs: int
    elapsed: float
    train_error: Optional[float]


def relay_in_target_units(callback: Optional[Callable], error_scale: float) -> Optional[Callable]:
    """Wrap ``callback`` so it sees the errors of the unstandardised target."""
    if callback is None:
        return None

    def relay(record):
        error = record.train_error
        return callback(FitProgress(record.epoch, record.trees_done, record.total_trees, record.epochs,
                                    record.elapsed, None if error is None else error * error_scale))

    return relay
