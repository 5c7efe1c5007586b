"""Exact fit and prediction of two builds of the module, side by side.

Every measurement runs in its own subprocess with one OpenMP thread, once
with each build's directory first on PYTHONPATH, the builds alternating
within each repeat so that load on the machine hits both alike. Times are
CPU time (user + system) of the call being measured.

    python bench/exact_fit.py --baseline DIR [--current DIR] [--rows 10000 100000 1000000]
                              [--repeats 3] [--zun-rows 100000] [--predict-rows 1000000]

DIR holds an installed `_zunmerak` (for example `pip install --target DIR`);
without --current the interpreter's own installation is the current build.

Rows of the output:

- split: `GridTensor.fit` on Friedman #1 (10 features), n_iter 25,
  split_try 10, colsample_bytree 1.0. "ms/split" is the fit's CPU time over
  its splits; "ms/split excl. setup" subtracts a fit with n_iter 0 (sorting,
  initialisation and the final evaluation) first.
- memory: a fresh process per build and size, one fit: peak resident set
  (ru_maxrss) minus the resident set just before the fit, over rows x
  features. The input itself is resident before the fit and so not counted.
- zun: `ZUN.fit(x, y, 5, n_trees=5, n_iter=10, alpha=1.0)`.
- predict: `ZUN.predict` of one model (fitted in the same process on
  20 000 rows) on new rows.

Each row also reports whether both builds gave the same bits (a hash of the
fitted model's values or of the predictions).
"""

import argparse
import hashlib
import json
import os
import resource
import statistics
import subprocess
import sys
import time

from grid_tensor_fit import N_FEATURES, friedman1


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def digest(*arrays):
    import numpy as np

    h = hashlib.sha256()
    for array in arrays:
        h.update(np.ascontiguousarray(array, dtype=np.float64).tobytes())
    return h.hexdigest()[:16]


def grid_digest(model):
    parts = [v for table in (model.splits, model.backbone_values, model.tilt_values) for v in table]
    return digest([model.lambda_plus, model.lambda_minus], *parts)


def cpu_time(call):
    start = time.process_time()
    result = call()
    return time.process_time() - start, result


def child_split(rows, n_iter):
    from _zunmerak import GridTensor

    x, y = friedman1(rows, seed=0)
    before = rss_bytes()
    seconds, (model, result) = cpu_time(lambda: GridTensor.fit(x, y, n_iter, 10, 1.0, seed=0))
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    splits = sum(len(s) for s in model.splits)
    return {"seconds": seconds, "splits": splits, "before": before, "peak": peak,
            "hash": grid_digest(model) + digest(result.y_hat)}


def child_zun(rows):
    from _zunmerak import ZUN

    x, y = friedman1(rows, seed=1)
    seconds, (model, result) = cpu_time(lambda: ZUN.fit(x, y, 5, n_trees=5, n_iter=10, alpha=1.0, verbosity=0))
    return {"seconds": seconds, "hash": digest(result.y_hat)}


def child_predict(rows):
    from _zunmerak import ZUN

    x, y = friedman1(20_000, seed=2)
    model, _ = ZUN.fit(x, y, 5, n_trees=5, n_iter=10, alpha=1.0, verbosity=0)
    x_new, _ = friedman1(rows, seed=3)
    times = []
    for _ in range(3):
        seconds, predicted = cpu_time(lambda: model.predict(x_new))
        times.append(seconds)
    return {"seconds": min(times), "hash": digest(predicted)}


def run_child(path, args, script=__file__):
    """Runs `script --child args` with one thread and `path` first on the import path."""
    env = dict(os.environ, OMP_NUM_THREADS="1")
    if path:
        env["PYTHONPATH"] = path + os.pathsep + env.get("PYTHONPATH", "")
    out = subprocess.run([sys.executable, script, "--child", json.dumps(args)], env=env, check=True,
                         capture_output=True, text=True)
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--baseline", required="--child" not in sys.argv)
    parser.add_argument("--current", default="")
    parser.add_argument("--rows", type=int, nargs="+", default=[10_000, 100_000, 1_000_000])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--zun-rows", type=int, default=100_000)
    parser.add_argument("--predict-rows", type=int, default=1_000_000)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        job = json.loads(args.child)
        kind = job.pop("kind")
        result = {"split": child_split, "zun": child_zun, "predict": child_predict}[kind](**job)
        print(json.dumps(result))
        return

    builds = {"before": args.baseline, "after": args.current}
    jobs = []
    for rows in args.rows:
        jobs.append((("split", rows), {"kind": "split", "rows": rows, "n_iter": 25}))
        jobs.append((("setup", rows), {"kind": "split", "rows": rows, "n_iter": 0}))
    jobs.append((("zun", args.zun_rows), {"kind": "zun", "rows": args.zun_rows}))
    jobs.append((("predict", args.predict_rows), {"kind": "predict", "rows": args.predict_rows}))

    results = {}
    for repeat in range(args.repeats):
        for key, job in jobs:
            for build, path in builds.items():
                results.setdefault((key, build), []).append(run_child(path, job))
        print(f"repeat {repeat + 1}/{args.repeats} done", file=sys.stderr)

    def median(key, build, field="seconds"):
        return statistics.median(r[field] for r in results[(key, build)])

    def same_bits(key):
        hashes = {r["hash"] for build in builds for r in results[(key, build)]}
        return "yes" if len(hashes) == 1 else "NO"

    print(f"one thread, CPU time, median of {args.repeats} runs per build, builds alternating")
    print()
    print("| rows | ms/split before | ms/split after | ratio | ms/split excl. setup before | after | ratio "
          "| bytes/(row·feature) before | after | same bits |")
    print("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|")
    for rows in args.rows:
        key, setup = ("split", rows), ("setup", rows)
        splits = results[(key, "before")][0]["splits"]
        per = {b: 1000 * median(key, b) / splits for b in builds}
        excl = {b: 1000 * (median(key, b) - median(setup, b)) / splits for b in builds}
        mem = {b: statistics.median(r["peak"] - r["before"] for r in results[(key, b)]) / (rows * N_FEATURES)
               for b in builds}
        print(f"| {rows:,} | {per['before']:.2f} | {per['after']:.2f} | {per['before'] / per['after']:.2f} "
              f"| {excl['before']:.2f} | {excl['after']:.2f} | {excl['before'] / excl['after']:.2f} "
              f"| {mem['before']:.1f} | {mem['after']:.1f} | {same_bits(key)} |")
    print()
    print("| measurement | s before | s after | ratio | same bits |")
    print("|---|---:|---:|---:|---|")
    for label, key in ((f"ZUN.fit, {args.zun_rows:,} rows", ("zun", args.zun_rows)),
                       (f"ZUN.predict, {args.predict_rows:,} rows", ("predict", args.predict_rows))):
        before, after = median(key, "before"), median(key, "after")
        print(f"| {label} | {before:.3f} | {after:.3f} | {before / after:.2f} | {same_bits(key)} |")


if __name__ == "__main__":
    main()
