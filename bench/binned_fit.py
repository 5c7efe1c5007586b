"""Binned fit (max_bins) against the exact fit of a baseline build.

Every measurement runs in its own subprocess with one OpenMP thread; within
each repeat the variants alternate so that load on the machine hits them
alike. Times are CPU time (user + system) of the call being measured.

    python bench/binned_fit.py --baseline DIR [--current DIR] [--other DIR] [--rows 1000000] [--repeats 3]
                               [--max-bins 255] [--no-accuracy] [--no-splits] [--accuracy-rows 100000]

DIR holds an installed `_zunmerak` (for example `pip install --target DIR`);
the baseline needs no max_bins. Without --current the interpreter's own
installation is the current build. --other adds the binned fit of a second
build (for example main, to compare a change to the binned fit against),
alternating with the others. The accuracy rows need plotnine
(bench/requirements.txt).

Rows of the output:

- split: `GridTensor.fit` on Friedman #1 (10 features), n_iter 25,
  split_try 10, colsample_bytree 1.0, seed 0: the fit's CPU time over its
  splits minus a fit with n_iter 0 (sorting or binning, initialisation and
  the final evaluation), for the baseline's exact fit, the current exact fit
  and the current binned fit.
- memory: peak resident set (ru_maxrss) minus the resident set just before
  the fit, over rows x features, for the fit with n_iter 25.
- accuracy: test RMSE of `ZUN.fit` exact and binned with the same settings,
  on Friedman #1 (train and test of --accuracy-rows each, settings of
  compare.py) and on plotnine's diamonds (log price, seeded 80/20 split).
"""

import argparse
import json
import os
import resource
import statistics
import sys

from compare import diamonds
import exact_fit
from exact_fit import cpu_time
from grid_tensor_fit import friedman1


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def child_split(rows, n_iter, max_bins):
    from _zunmerak import GridTensor

    x, y = friedman1(rows, seed=0)
    binning = {} if max_bins is None else {"max_bins": max_bins}
    before = rss_bytes()
    seconds, (model, _) = cpu_time(lambda: GridTensor.fit(x, y, n_iter, 10, 1.0, seed=0, **binning))
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    return {"seconds": seconds, "splits": sum(len(s) for s in model.splits), "extra": peak - before}


def split_80_20(x, y, seed=0):
    import numpy as np

    order = np.random.default_rng(seed).permutation(len(y))
    cut = len(y) * 4 // 5
    return x[order[:cut]], y[order[:cut]], x[order[cut:]], y[order[cut:]]


# ZUN settings of the accuracy rows: those compare.py uses for Friedman #1;
# diamonds uses the same on a standardised target.
SETTINGS = dict(epochs=10, n_iter=25, alpha=10.0)


def child_accuracy(data, rows, max_bins):
    import numpy as np
    from _zunmerak import ZUN

    if data == "friedman1":
        x, y = friedman1(rows, seed=1)
        x_test, y_test = friedman1(rows, seed=2)
        mean, scale = 0.0, 1.0
    else:
        x, y, x_test, y_test = split_80_20(*diamonds())
        mean, scale = y.mean(), y.std()
    settings = dict(SETTINGS)
    epochs = settings.pop("epochs")
    binning = {} if max_bins is None else {"max_bins": max_bins}
    seconds, (model, _) = cpu_time(
        lambda: ZUN.fit(x, (y - mean) / scale, epochs, verbosity=0, seed=0, **settings, **binning))
    predicted = model.predict(x_test) * scale + mean
    return {"seconds": seconds, "rmse": float(np.sqrt(np.mean((predicted - y_test) ** 2)))}


def run_child(path, job):
    return exact_fit.run_child(path, job, script=__file__)


def load():
    return "/".join(f"{v:.1f}" for v in os.getloadavg())


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--baseline", required="--child" not in sys.argv and "--no-splits" not in sys.argv)
    parser.add_argument("--current", default="")
    parser.add_argument("--other", help="a second build whose binned fit is measured too")
    parser.add_argument("--rows", type=int, nargs="+", default=[1_000_000])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--max-bins", type=int, default=255)
    parser.add_argument("--no-accuracy", action="store_true")
    parser.add_argument("--no-splits", action="store_true", help="only the accuracy rows")
    parser.add_argument("--accuracy-rows", type=int, default=100_000)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        job = json.loads(args.child)
        kind = job.pop("kind")
        print(json.dumps({"split": child_split, "accuracy": child_accuracy}[kind](**job)))
        return

    if not args.no_splits:
        split_table(args)
    if not args.no_accuracy:
        accuracy_table(args)


def split_table(args):
    variants = {"baseline exact": (args.baseline, None), "exact": (args.current, None),
                "binned": (args.current, args.max_bins)}
    if args.other:
        variants["binned, other build"] = (args.other, args.max_bins)
    results = {}
    loads = [load()]
    for repeat in range(args.repeats):
        for rows in args.rows:
            for n_iter in (25, 0):
                for name, (path, max_bins) in variants.items():
                    job = {"kind": "split", "rows": rows, "n_iter": n_iter, "max_bins": max_bins}
                    results.setdefault((rows, n_iter, name), []).append(run_child(path, job))
        loads.append(load())
        print(f"repeat {repeat + 1}/{args.repeats} done, load {loads[-1]}", file=sys.stderr)

    print(f"one thread, CPU time, median of {args.repeats} runs, variants alternating; "
          f"load average (1/5/15 min) at the start and after each repeat: {', '.join(loads)}")
    print()
    print("| rows | variant | ms/split | ms/split excl. setup | setup s | baseline / variant (excl. setup) "
          "| bytes/(row·feature) |")
    print("|---:|---|---:|---:|---:|---:|---:|")
    for rows in args.rows:
        excl = {}
        for name in variants:
            fits = results[(rows, 25, name)]
            setups = results[(rows, 0, name)]
            splits = fits[0]["splits"]
            fit_s = statistics.median(r["seconds"] for r in fits)
            setup_s = statistics.median(r["seconds"] for r in setups)
            excl[name] = 1000 * (fit_s - setup_s) / splits
            memory = statistics.median(r["extra"] for r in fits) / (rows * 10)
            label = name.replace("binned", f"binned, max_bins {args.max_bins}")
            print(f"| {rows:,} | {label} | {1000 * fit_s / splits:.2f} | {excl[name]:.2f} | {setup_s:.2f} "
                  f"| {excl['baseline exact'] / excl[name]:.1f} | {memory:.1f} |")
        # Every split of each variant, in each repeat: the spread behind the medians.
        for name in variants:
            per = [1000 * (f["seconds"] - s["seconds"]) / f["splits"]
                   for f, s in zip(results[(rows, 25, name)], results[(rows, 0, name)])]
            print(f"<!-- {name} {rows}: excl. setup per repeat {', '.join(f'{v:.1f}' for v in per)} -->")


def accuracy_table(args):
    print()
    print(f"ZUN.fit test RMSE, settings {SETTINGS}, one run each")
    print()
    print("| data | exact RMSE | binned RMSE | binned / exact | exact fit s | binned fit s |")
    print("|---|---:|---:|---:|---:|---:|")
    for data in ("friedman1", "diamonds"):
        exact = run_child(args.current, {"kind": "accuracy", "data": data, "rows": args.accuracy_rows, "max_bins": None})
        binned = run_child(args.current, {"kind": "accuracy", "data": data, "rows": args.accuracy_rows,
                                "max_bins": args.max_bins})
        label = f"Friedman #1, {args.accuracy_rows:,} rows" if data == "friedman1" else "diamonds, log price"
        print(f"| {label} | {exact['rmse']:.4f} | {binned['rmse']:.4f} | {binned['rmse'] / exact['rmse']:.4f} "
              f"| {exact['seconds']:.2f} | {binned['seconds']:.2f} |")


if __name__ == "__main__":
    main()
