"""Progress records of an estimator's fit, in the units of its target."""
from __future__ import annotations

import math
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
    validation_error : float or None
        Mean squared error on the validation rows after the epoch, in the
        units of ``y`` squared; None while an epoch runs or without early
        stopping.
    """

    epoch: int
    trees_done: int
    total_trees: int
    epochs: int
    elapsed: float
    train_error: Optional[float]
    validation_error: Optional[float] = None


def _scaled(error: Optional[float], error_scale: float) -> Optional[float]:
    return None if error is None else error * error_scale


def epoch_line(progress: FitProgress) -> str:
    """One line for the end of an epoch, in the units of ``y``."""
    line = f"Epoch {progress.epoch + 1}/{progress.epochs}: training RMSE {math.sqrt(progress.train_error):.6g}"
    if progress.validation_error is not None:
        line += f", validation RMSE {math.sqrt(progress.validation_error):.6g}"
    return line + f", {progress.elapsed:.1f} s"


def relay_in_target_units(callback: Optional[Callable], error_scale: float,
                          print_epochs: bool = False) -> Optional[Callable]:
    """Wrap ``callback`` so it sees the errors of the unstandardised target.

    With ``print_epochs`` the end of every epoch is also printed as one line
    (:func:`epoch_line`), whether or not there is a callback.
    """
    if callback is None and not print_epochs:
        return None

    def relay(record):
        progress = FitProgress(record.epoch, record.trees_done, record.total_trees, record.epochs, record.elapsed,
                               _scaled(record.train_error, error_scale),
                               _scaled(record.validation_error, error_scale))
        if print_epochs and progress.train_error is not None:
            print(epoch_line(progress), flush=True)
        return True if callback is None else callback(progress)

    return relay
