"""What epochs cost: the epoch scaling as epochs grow, a long fit on a million
rows, and trees on row partitions.

Every measurement runs in its own subprocess with one OpenMP thread, the
builds alternating within each repeat so that load on the machine hits them
alike. Times are CPU time (user + system) of the fit.

    python bench/epoch_cost.py --baseline DIR [--current DIR] [--repeats 3]
                               [--only scaling large partitions]

DIR holds an installed `_zunmerak` (for example `pip install --target DIR`);
without --current the interpreter's own installation is the current build.

Rows of the output:

- scaling: `ZUN.fit` on Friedman #1, 80,000 rows, trees of one split
  (n_trees 1, n_iter 1), alpha 1, standardised y, with 10 and with 40 epochs:
  the CPU ratio of 40 to 10 epochs per build.
- large: `ZUN.fit` on Friedman #1, 10^6 rows, 40 epochs x 4 trees, n_iter 10,
  alpha 1, standardised y: CPU time and peak resident set (ru_maxrss) minus
  the resident set just before the fit (the data are resident already).
- partitions (current build only): `ZunRegressor` with its defaults and with
  row_partitions = n_trees (early stopping off), on Friedman #1 (10^5 training rows, 10^5 test
  rows) and diamonds (log price, seeded 80/20 split), random_state 0, 1, 2:
  test RMSE and fit CPU, mean over the seeds.
"""

import argparse
import json
import os
import resource
import statistics
import sys

import numpy as np

from compare import diamonds
import exact_fit
from exact_fit import cpu_time
from grid_tensor_fit import friedman1


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def standardised_friedman(rows, seed):
    x, y = friedman1(rows, seed=seed)
    return x, (y - y.mean()) / y.std()


def child_zun(rows, epochs, n_trees, n_iter):
    from _zunmerak import ZUN

    x, y = standardised_friedman(rows, seed=1)
    before = rss_bytes()
    seconds, (_, result) = cpu_time(
        lambda: ZUN.fit(x, y, epochs, n_trees=n_trees, n_iter=n_iter, alpha=1.0, verbosity=0))
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    return {"seconds": seconds, "extra": peak - before, "error": result.err}


def split_80_20(x, y, seed=0):
    order = np.random.default_rng(seed).permutation(len(y))
    cut = int(0.8 * len(y))
    return x[order[:cut]], x[order[cut:]], y[order[:cut]], y[order[cut:]]


def partition_data(name):
    if name == "friedman1":
        x, y = friedman1(200_000, seed=5)
        return x[:100_000], x[100_000:], y[:100_000], y[100_000:]
    x, y = diamonds()
    return split_80_20(x, y)


def child_partitions(data, row_partitions, seed):
    from zunmerak import ZunRegressor

    x_train, x_test, y_train, y_test = partition_data(data)
    model = ZunRegressor(row_partitions=row_partitions, early_stopping=False, random_state=seed, n_jobs=1)
    seconds, _ = cpu_time(lambda: model.fit(x_train, y_train))
    rmse = float(np.sqrt(np.mean((model.predict(x_test) - y_test) ** 2)))
    return {"seconds": seconds, "rmse": rmse}


CHILDREN = {"zun": child_zun, "partitions": child_partitions}


def run_child(path, job):
    return exact_fit.run_child(path, job, script=__file__)


def alternate(builds, jobs, repeats):
    results = {}
    for repeat in range(repeats):
        for key, job in jobs:
            for build, path in builds.items():
                results.setdefault((key, build), []).append(run_child(path, job))
        print(f"repeat {repeat + 1}/{repeats} done", file=sys.stderr)
    return results


def report_scaling(builds, repeats):
    jobs = [(epochs, {"kind": "zun", "rows": 80_000, "epochs": epochs, "n_trees": 1, "n_iter": 1})
            for epochs in (10, 40)]
    results = alternate(builds, jobs, repeats)
    print("scaling: Friedman #1, 80,000 rows, n_trees 1, n_iter 1, alpha 1; CPU s, median of "
          f"{repeats} runs per build")
    print()
    print("| build | 10 epochs | 40 epochs | 40 / 10 |")
    print("|---|---:|---:|---:|")
    for build in builds:
        ten = statistics.median(r["seconds"] for r in results[(10, build)])
        forty = statistics.median(r["seconds"] for r in results[(40, build)])
        print(f"| {build} | {ten:.2f} | {forty:.2f} | {forty / ten:.1f} |")
    print()


def report_large(builds, repeats):
    jobs = [("large", {"kind": "zun", "rows": 1_000_000, "epochs": 40, "n_trees": 4, "n_iter": 10})]
    results = alternate(builds, jobs, repeats)
    print(f"large: Friedman #1, 10^6 rows, 40 epochs x 4 trees, n_iter 10, alpha 1; median of {repeats} runs")
    print()
    print("| build | CPU s | peak extra GB | training MSE |")
    print("|---|---:|---:|---:|")
    for build in builds:
        runs = results[("large", build)]
        seconds = statistics.median(r["seconds"] for r in runs)
        extra = statistics.median(r["extra"] for r in runs) / 1e9
        print(f"| {build} | {seconds:.1f} | {extra:.2f} | {runs[0]['error']:.5f} |")
    print()


def report_partitions(current):
    seeds = (0, 1, 2)
    rows = []
    for data in ("friedman1", "diamonds"):
        measured = {}
        for seed in seeds:
            for partitions in (None, 10):
                job = {"kind": "partitions", "data": data, "row_partitions": partitions, "seed": seed}
                measured.setdefault(partitions, []).append(run_child(current, job))
        rows.append((data, measured))
    print("partitions: ZunRegressor defaults (10 trees) with row_partitions None and 10; "
          f"mean over random_state {', '.join(map(str, seeds))}")
    print()
    print("| data | RMSE None | RMSE 10 | ratio | CPU s None | CPU s 10 | ratio |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for data, measured in rows:
        rmse = {p: statistics.mean(r["rmse"] for r in runs) for p, runs in measured.items()}
        cpu = {p: statistics.mean(r["seconds"] for r in runs) for p, runs in measured.items()}
        print(f"| {data} | {rmse[None]:.4f} | {rmse[10]:.4f} | {rmse[10] / rmse[None]:.4f} "
              f"| {cpu[None]:.2f} | {cpu[10]:.2f} | {cpu[10] / cpu[None]:.3f} |")
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--baseline", required="--child" not in sys.argv)
    parser.add_argument("--current", default="")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--only", nargs="+", choices=["scaling", "large", "partitions"],
                        default=["scaling", "large", "partitions"])
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        job = json.loads(args.child)
        print(json.dumps(CHILDREN[job.pop("kind")](**job)))
        return
    builds = {"before": args.baseline, "after": args.current}
    print("one thread each, CPU time of the fit")
    print()
    if "scaling" in args.only:
        report_scaling(builds, args.repeats)
    if "large" in args.only:
        report_large(builds, args.repeats)
    if "partitions" in args.only:
        report_partitions(args.current)


if __name__ == "__main__":
    main()
