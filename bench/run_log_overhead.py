"""Cost of a logged boosted fit against the same fit without a run log.

10^4 rows x 10 features, 5 epochs, 10 trees, n_iter 10 by default. Prints the
median wall time of each kind of fit, the overhead and the database size.

    .venv/bin/python bench/run_log_overhead.py [--repeats 5]
"""
from __future__ import annotations

import argparse
import os
import statistics
import tempfile
import time

import numpy as np

from _zunmerak import ZUN


def problem(rows: int, cols: int, seed: int = 0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(size=(rows, cols))
    y = 10 * np.sin(np.pi * x[:, 0] * x[:, 1]) + 20 * (x[:, 2] - 0.5) ** 2 + 10 * x[:, 3] + 5 * x[:, 4]
    return x, y + rng.normal(size=rows)


def timed_fit(x, y, args, visualdb=None) -> float:
    start = time.perf_counter()
    ZUN.fit(x, y, args.epochs, n_trees=args.trees, n_iter=args.n_iter, verbosity=0, visualdb=visualdb)
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=10_000)
    parser.add_argument("--cols", type=int, default=10)
    parser.add_argument("--epochs", type=int, default=5)
    parser.add_argument("--trees", type=int, default=10)
    parser.add_argument("--n-iter", type=int, default=10)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    x, y = problem(args.rows, args.cols)
    timed_fit(x, y, args)  # warm-up: worker pool, page cache

    plain, logged, sizes = [], [], []
    with tempfile.TemporaryDirectory() as directory:
        for k in range(args.repeats):
            plain.append(timed_fit(x, y, args))
            path = os.path.join(directory, f"run{k}.db")
            logged.append(timed_fit(x, y, args, visualdb=path))
            sizes.append(sum(os.path.getsize(os.path.join(directory, f)) for f in os.listdir(directory)
                             if f.startswith(f"run{k}.db")))
    p, q = statistics.median(plain), statistics.median(logged)
    print(f"{args.rows} rows x {args.cols} features, {args.epochs} epochs, {args.trees} trees, n_iter {args.n_iter}, "
          f"{os.cpu_count()} CPUs, {args.repeats} repeats (median)")
    print(f"without run log: {p * 1000:8.1f} ms   (min {min(plain) * 1000:.1f})")
    print(f"with run log:    {q * 1000:8.1f} ms   (min {min(logged) * 1000:.1f})")
    print(f"overhead:        {(q - p) * 1000:8.1f} ms   ({100 * (q / p - 1):.0f} %)")
    print(f"database size:   {statistics.median(sizes) / 1e6:8.2f} MB")


if __name__ == "__main__":
    main()
