"""Times GridTensor.fit on synthetic data and prints a table.

Each size runs in a fresh subprocess so that the peak resident memory it
reports belongs to that size alone. Usage:

    python bench/grid_tensor_fit.py [--rows 10000 100000 1000000] [--repeats 3]
"""

import argparse
import json
import resource
import subprocess
import sys
import time
from pathlib import Path

# The data sets live with the examples, shared by every script here.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
import datasets  # noqa: E402

N_FEATURES = 10
N_ITER = 25


def friedman1(n_rows, seed):
    """Friedman #1 with 10 features (5 of them noise), as (x, y)."""
    x, y, _ = datasets.friedman1(n_rows, seed)
    return x, y


def measure(n_rows, repeats):
    from _zunmerak import GridTensor

    x, y = friedman1(n_rows, seed=0)
    times = []
    for repeat in range(repeats):
        start = time.perf_counter()
        model, result = GridTensor.fit(x, y, N_ITER, 10, 1.0, seed=repeat)
        times.append(time.perf_counter() - start)
    splits = sum(len(feature) for feature in model.splits)
    return {
        "rows": n_rows,
        "best_seconds": min(times),
        "splits": splits,
        "mse": result.err,
        "peak_rss_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rows", type=int, nargs="+", default=[10_000, 100_000, 1_000_000])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--child", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child is not None:
        print(json.dumps(measure(args.child, args.repeats)))
        return
    print(f"GridTensor.fit, {N_FEATURES} features, n_iter {N_ITER}, best of {args.repeats}")
    print(f"{'rows':>10} {'s/fit':>10} {'splits':>7} {'ms/split':>10} {'peak MiB':>9} {'train mse':>10}")
    for n_rows in args.rows:
        out = subprocess.run(
            [sys.executable, __file__, "--child", str(n_rows), "--repeats", str(args.repeats)],
            check=True,
            capture_output=True,
            text=True,
        )
        r = json.loads(out.stdout)
        per_split = 1000 * r["best_seconds"] / max(r["splits"], 1)
        print(
            f"{r['rows']:>10} {r['best_seconds']:>10.4f} {r['splits']:>7} {per_split:>10.3f}"
            f" {r['peak_rss_mib']:>9.1f} {r['mse']:>10.4f}"
        )


if __name__ == "__main__":
    main()
