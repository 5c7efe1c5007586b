"""ICE curves of one feature over every diamond: exact computation against brute force.

Fits ZunRegressor (defaults, random_state 0) on all 53,940 diamonds (log
price), then computes the ICE curves of each chosen feature on a grid of 100
values over all rows, three ways, alternating within each repeat:

- before: the previous path, the per-stage array of compute_ice_curves
  (rows x 100 x 2 * stages) summed in NumPy;
- after: zunmerak.partial_dependence(kind="individual"), which calls
  compute_ice_predictions (no per-stage array, rows shared among the threads);
- brute: scikit-learn's partial_dependence(method="brute"), which predicts
  every row at every grid value.

Prints CPU time (all threads) and wall time, medians of the repeats, and the
largest difference between the curves. Needs plotnine (the data set).

    .venv/bin/python bench/ice_curves.py [--features carat y] [--repeats 5]
"""
from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np
from sklearn.inspection import partial_dependence as brute_force_partial_dependence

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
import datasets  # noqa: E402
from zunmerak import ZunRegressor, partial_dependence  # noqa: E402
from zunmerak._partial_dependence import grid_axis  # noqa: E402

GRID = 100


def before(estimator, x, feature):
    grid = grid_axis(x[:, feature], GRID, (0.05, 0.95))
    curves = estimator.model_.compute_ice_curves(x, feature, grid, x)
    return estimator._in_target_units(curves.sum(axis=2))


def after(estimator, x, feature):
    return partial_dependence(estimator, x, feature, grid_resolution=GRID, kind="individual").individual[0]


def brute(estimator, x, feature):
    return brute_force_partial_dependence(estimator, x, [feature], grid_resolution=GRID, kind="individual",
                                          method="brute").individual[0]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--features", nargs="+", default=["carat", "y"])
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    x, y, names = datasets.diamonds()
    estimator = ZunRegressor(random_state=0).fit(x, y)
    methods = {"before": before, "after": after, "brute": brute}
    print(f"diamonds, {x.shape[0]} rows, {x.shape[1]} features, {estimator.n_stages_} stages, grid {GRID}, "
          f"{os.cpu_count()} CPUs, {args.repeats} repeats (median)")
    print(f"{'feature':<8} {'method':<7} {'CPU s':>8} {'wall s':>8} {'CPU vs after':>13}")
    for name in args.features:
        feature = names.index(name)
        times = {method: [] for method in methods}
        curves = {}
        for _ in range(args.repeats):
            for method, compute in methods.items():
                cpu, wall = time.process_time(), time.perf_counter()
                curves[method] = compute(estimator, x, feature)
                times[method].append((time.process_time() - cpu, time.perf_counter() - wall))
        reference = statistics.median(cpu for cpu, _ in times["after"])
        for method, pairs in times.items():
            cpu = statistics.median(c for c, _ in pairs)
            wall = statistics.median(w for _, w in pairs)
            print(f"{name:<8} {method:<7} {cpu:>8.3f} {wall:>8.3f} {cpu / reference:>12.1f}x")
        print(f"{name:<8} largest difference from brute force: before "
              f"{np.abs(curves['before'] - curves['brute']).max():.1e}, after "
              f"{np.abs(curves['after'] - curves['brute']).max():.1e}")


if __name__ == "__main__":
    main()
