"""Exact contributions against shap's model-agnostic PermutationExplainer.

Fits ZunRegressor (defaults, random_state 0) on 10^4 rows of Friedman #1
(10 features), then explains 10^4 other rows against the estimator's 200
background rows with zunmerak.contributions, and a subset of those rows with
shap.PermutationExplainer (its defaults: 500 evaluations per row, antithetic
permutations) over the same model and the same background rows. Prints CPU
and wall time of both on the subset, zunmerak's on all rows, the ratio per
row and how far shap's estimates are from the exact values. Needs shap
(bench/requirements.txt).

    .venv/bin/python bench/contributions.py [--rows 10000] [--shap-rows 20] [--repeats 3] [--shap-repeats 1]

shap takes seconds per row, so it explains a subset, fewer times.
"""
from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
import datasets  # noqa: E402
from zunmerak import ZunRegressor, contributions  # noqa: E402


def timed(work):
    """(result, CPU seconds of the whole process, all threads, wall seconds)."""
    cpu, wall = time.process_time(), time.perf_counter()
    result = work()
    return result, time.process_time() - cpu, time.perf_counter() - wall


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=10_000, help="training rows, and rows explained")
    parser.add_argument("--shap-rows", type=int, default=20, help="rows explained by both")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--shap-repeats", type=int, default=1)
    args = parser.parse_args()
    import shap

    x, y, _ = datasets.friedman1(2 * args.rows, seed=0)
    estimator = ZunRegressor(random_state=0).fit(x[:args.rows], y[:args.rows])
    explained = x[args.rows:]
    subset = explained[:args.shap_rows]
    background = estimator.background_
    print(f"Friedman #1, {args.rows} training rows, {explained.shape[1]} features, {estimator.n_stages_} stages, "
          f"{background.shape[0]} background rows, {os.cpu_count()} CPUs, shap {shap.__version__}, "
          f"median of {args.repeats} repeats ({args.shap_repeats} for shap)")

    ours_all, ours_subset, theirs = [], [], []
    for repeat in range(args.repeats):
        result, cpu, wall = timed(lambda: contributions(estimator, explained))
        ours_all.append((cpu, wall))
        exact, cpu, wall = timed(lambda: contributions(estimator, subset))
        ours_subset.append((cpu, wall))
        if repeat >= args.shap_repeats:
            continue
        explainer = shap.PermutationExplainer(estimator.predict,
                                              shap.maskers.Independent(background, max_samples=background.shape[0]),
                                              seed=0)
        estimate, cpu, wall = timed(lambda: explainer(subset, silent=True))
        theirs.append((cpu, wall))

    def median(pairs, k):
        return statistics.median(pair[k] for pair in pairs)

    rows = [("zunmerak.contributions", len(explained), ours_all),
            ("zunmerak.contributions", len(subset), ours_subset),
            ("shap PermutationExplainer", len(subset), theirs)]
    print(f"{'method':<28} {'rows':>6} {'CPU s':>9} {'wall s':>9} {'CPU ms/row':>11}")
    for name, count, pairs in rows:
        print(f"{name:<28} {count:>6} {median(pairs, 0):>9.3f} {median(pairs, 1):>9.3f} "
              f"{1000 * median(pairs, 0) / count:>11.4f}")
    per_row_ours = median(ours_all, 0) / len(explained)
    per_row_theirs = median(theirs, 0) / len(subset)
    print(f"CPU time per row, shap / zunmerak (all {len(explained)} rows): {per_row_theirs / per_row_ours:.0f}x; "
          f"on the same {len(subset)} rows: {median(theirs, 0) / median(ours_subset, 0):.0f}x")
    print(f"shap for all {len(explained)} rows at that rate: {per_row_theirs * len(explained) / 60:.1f} CPU minutes")

    spread = np.abs(exact.values).mean()
    error = np.abs(estimate.values - exact.values)
    print(f"shap's estimate against the exact values: mean |error| {error.mean():.2e}, max {error.max():.2e} "
          f"(mean |value| {spread:.3f}); base value {np.mean(estimate.base_values):.6f} vs {exact.base_value:.6f}")
    print(f"exact values add up: max |sum + base - predict| = "
          f"{np.abs(result.values.sum(axis=1) + result.base_value - estimator.predict(explained)).max():.2e}")


if __name__ == "__main__":
    main()
