"""Compares ZUN with LightGBM, XGBoost and HistGradientBoostingRegressor.

For each data set (Friedman #1 with 10 features at the requested sizes, and
scikit-learn's bundled diabetes data) the script makes one seeded train/test
split and fits every model on it, one after the other. Each model fit runs in
its own subprocess so that the peak resident memory reported for a model is
that model's alone (the data and the interpreter included; the "constant mean"
row shows that floor). Prints one Markdown table per data set.

    python bench/compare.py [--sizes 10000 100000 1000000] [--no-diabetes] [--quick]
                            [--json FILE] [--logs DIR]
    python bench/compare.py --binned-budget [DATASET ...]

Fit s is wall-clock time (best of 3 on data sets under 1000 training rows,
else one fit); fit CPU s is the user+system CPU time of that fit over all
threads; the load average before and after each fit is recorded because the
machine may be shared.

`--binned-budget [DATASET ...]` instead fits LightGBM, XGBoost and
HistGradientBoostingRegressor on one thread each (defaults, n_jobs 1,
OMP_NUM_THREADS=1) and ZUN binned (max_bins 255) on one thread with 1, 2,
3, 5, 8, ... epochs until a fit's CPU time exceeds LightGBM's, and reports
the epochs with the best test RMSE among those within that budget: test
RMSE and fit CPU time, each against LightGBM's. Data sets: friedman1-N,
diamonds (plotnine, log price) and randhie (statsmodels, outpatient visits),
80/20 splits.

`--quick` runs ZUN with 3 epochs of 4 trees everywhere and, unless `--sizes` is
given, only 10 000 rows plus diabetes: a smoke test, not a benchmark.
Peers need `pip install -r bench/requirements.txt`.
"""

import argparse
import json
import os
import re
import resource
import subprocess
import sys
import tempfile
import time

from grid_tensor_fit import datasets, friedman1  # noqa: F401 (datasets: the shared loaders)

SPLIT_SEED = 0
PERTURBATION = 1e-14  # relative change of y for the sensitivity rows
PERTURB_MAX_ROWS = 20_000  # sensitivity rows only on data sets this small

# Settings tuned for accuracy on a validation split of the training data
# (never the test set) of diabetes and of Friedman #1 at 10 000 rows; see
# bench/README.md for the search. `standardise` fits on (y - mean) / std.
TUNED = {
    "diabetes": dict(epochs=3, n_iter=5, alpha=100.0, standardise=True),
    "friedman1": dict(epochs=10, n_iter=25, alpha=10.0, standardise=False),
}


def diamonds():
    """plotnine's diamonds: log price from the nine other columns, ordered categories as their ranks."""
    x, y, _ = datasets.diamonds()
    return x, y


def randhie():
    """statsmodels' RAND health insurance experiment: outpatient visits (mdvis) from the nine other columns."""
    x, y, _ = datasets.randhie()
    return x, y


TABLES = {"diamonds": diamonds, "randhie": randhie}


def load(dataset):
    from sklearn.model_selection import train_test_split

    if dataset == "diabetes":
        from sklearn.datasets import load_diabetes

        x, y = load_diabetes(return_X_y=True)
        test_size = 0.25
    elif dataset in TABLES:
        x, y = TABLES[dataset]()
        test_size = 0.2
    else:
        x, y = friedman1(int(dataset.split("-")[1]), seed=1)
        test_size = 0.2
    return train_test_split(x, y, test_size=test_size, random_state=SPLIT_SEED)


def zun_budget(dataset, quick):
    """Epochs and trees per epoch for ZUN at defaults / alpha 1 on this data set."""
    if quick:
        return 3, 4
    rows = 442 if dataset == "diabetes" else int(dataset.split("-")[1])
    if rows >= 1_000_000:
        return 2, 2
    if rows >= 100_000:
        return 5, 5
    return 10, 10


def model_settings(dataset, quick):
    """The rows of the table: name -> (library, keyword arguments)."""
    epochs, n_trees = zun_budget(dataset, quick)
    family = "diabetes" if dataset == "diabetes" else "friedman1"
    tuned = dict(TUNED[family])
    if quick or epochs < 10:
        tuned["epochs"] = min(tuned["epochs"], epochs)
        tuned["n_trees"] = n_trees
    rows = 442 if dataset == "diabetes" else int(dataset.split("-")[1])
    models = {
        "constant mean": ("mean", {}),
        "ZUN defaults": ("zun", dict(epochs=epochs, n_trees=n_trees)),
    }
    if rows <= PERTURB_MAX_ROWS:
        models["ZUN defaults, y×(1+1e-14)"] = ("zun", dict(epochs=epochs, n_trees=n_trees, perturb=True))
    models["ZUN alpha 1"] = ("zun", dict(epochs=epochs, n_trees=n_trees, alpha=1.0))
    if rows <= PERTURB_MAX_ROWS:
        models["ZUN alpha 1, y×(1+1e-14)"] = ("zun", dict(epochs=epochs, n_trees=n_trees, alpha=1.0, perturb=True))
    models["ZUN tuned"] = ("zun", tuned)
    models["LightGBM"] = ("lightgbm", {})
    models["XGBoost"] = ("xgboost", {})
    models["HistGradientBoosting"] = ("hgb", {})
    return models


def openmp_threads():
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return None
    counts = sorted({info["num_threads"] for info in threadpool_info() if info.get("user_api") == "openmp"})
    return "/".join(str(count) for count in counts) or None


def current_rss_mib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def run_child(dataset, library, kwargs):
    import numpy as np

    x_train, x_test, y_train, y_test = load(dataset)
    kwargs = dict(kwargs)
    if library == "zun":
        from _zunmerak import ZUN

        epochs = kwargs.pop("epochs")
        standardise = kwargs.pop("standardise", False)
        perturb = kwargs.pop("perturb", False)
        target = y_train * (1 + PERTURBATION) if perturb else y_train
        shift, scale = (target.mean(), target.std()) if standardise else (0.0, 1.0)

        def fit():
            return ZUN.fit(x_train, (target - shift) / scale, epochs, verbosity=1, **kwargs)[0]

        def predict(model):
            return model.predict(x_test) * scale + shift

    elif library == "mean":

        def fit():
            return float(y_train.mean())

        def predict(model):
            return np.full(len(x_test), model)

    else:
        if library == "lightgbm":
            from lightgbm import LGBMRegressor

            estimator = LGBMRegressor(verbose=-1, **kwargs)
        elif library == "xgboost":
            from xgboost import XGBRegressor

            estimator = XGBRegressor(**kwargs)
        else:
            from sklearn.ensemble import HistGradientBoostingRegressor

            estimator = HistGradientBoostingRegressor(random_state=0, **kwargs)

        def fit():
            return estimator.fit(x_train, y_train)

        def predict(model):
            return model.predict(x_test)

    rss_before = current_rss_mib()
    load_before = os.getloadavg()[0]
    # Tiny data sets: best of 3 fits (each fit identical), so scheduler noise
    # on the shared machine does not dominate; larger ones: a single fit.
    repeats = 3 if len(y_train) < 1000 else 1
    fit_times, fit_cpu, predict_times = [], [], []
    for _ in range(repeats):
        cpu = resource.getrusage(resource.RUSAGE_SELF)
        start = time.perf_counter()
        model = fit()
        fit_times.append(time.perf_counter() - start)
        after = resource.getrusage(resource.RUSAGE_SELF)
        fit_cpu.append(after.ru_utime + after.ru_stime - cpu.ru_utime - cpu.ru_stime)
        start = time.perf_counter()
        prediction = predict(model)
        predict_times.append(time.perf_counter() - start)
    best = fit_times.index(min(fit_times))
    fit_seconds, fit_cpu_seconds, predict_seconds = fit_times[best], fit_cpu[best], min(predict_times)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    threads = openmp_threads()
    if library == "xgboost":
        config = json.loads(model.get_booster().save_config())
        threads = f"{threads} (nthread {config['learner']['generic_param']['nthread']}: all cores)"
    return {
        "train_rows": len(y_train),
        "test_rows": len(y_test),
        "fit_seconds": fit_seconds,
        "fit_cpu_seconds": fit_cpu_seconds,
        "predict_seconds": predict_seconds,
        "rss_before_mib": rss_before,
        "peak_rss_mib": peak,
        "test_rmse": float(np.sqrt(np.mean((y_test - prediction) ** 2))),
        "finite": bool(np.isfinite(prediction).all()),
        "threads": str(threads),
        "repeats": repeats,
        "load_before": load_before,
        "load_after": os.getloadavg()[0],
    }


def describe(library, kwargs):
    if library == "mean":
        return "mean of training y"
    if library != "zun":
        return {"lightgbm": "defaults", "xgboost": "defaults", "hgb": "defaults, random_state 0"}[library]
    parts = [f"epochs {kwargs['epochs']}", f"n_trees {kwargs.get('n_trees', 10)}", f"n_iter {kwargs.get('n_iter', 10)}"]
    parts.append(f"alpha {kwargs.get('alpha', 0.0):g}")
    if kwargs.get("standardise"):
        parts.append("y standardised")
    return ", ".join(parts)


def run_dataset(dataset, quick, logs):
    rows = []
    for name, (library, kwargs) in model_settings(dataset, quick).items():
        with tempfile.NamedTemporaryFile("r", suffix=".json") as out:
            job = json.dumps({"dataset": dataset, "library": library, "kwargs": kwargs, "out": out.name})
            done = subprocess.run([sys.executable, __file__, "--child", job], capture_output=True, text=True)
            log = done.stdout + done.stderr
            if logs:
                safe = re.sub(r"[^A-Za-z0-9]+", "_", f"{dataset}_{name}")
                with open(os.path.join(logs, safe + ".log"), "w") as handle:
                    handle.write(log)
            if done.returncode != 0:
                print(f"{dataset} / {name}: failed\n{log[-2000:]}", file=sys.stderr)
                rows.append({"name": name, "settings": describe(library, kwargs), "failed": True})
                continue
            result = json.load(open(out.name))
        conditions = [float(c) for c in re.findall(r"condition number ([0-9.eE+-]+);", log)]
        result.update(
            name=name,
            settings=describe(library, kwargs),
            warnings=len(conditions),
            max_condition=max(conditions) if conditions else None,
            zun=library == "zun",
        )
        rows.append(result)
        print(f"  {dataset} / {name}: fit {result['fit_seconds']:.2f} s, rmse {result['test_rmse']:.4f}", file=sys.stderr)
    return rows


def table(dataset, rows):
    ok = [r for r in rows if not r.get("failed")]
    first = ok[0]
    reference = next((r for r in ok if r["name"] == "LightGBM"), None)

    def ratio(r, key):
        if reference is None or r["name"] == "constant mean":
            return "—"
        return f"{r[key] / reference[key]:.2f}"

    lines = [
        f"### {dataset}: {first['train_rows']} training rows, {first['test_rows']} test rows",
        "",
        "| model | settings | fit s | fit ×LGBM | fit CPU s | predict s | predict ×LGBM | peak RSS MiB | test RMSE | RMSE ×LGBM"
        " | cond. warnings (max) | OpenMP threads | load avg before/after |",
        "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---|",
    ]
    for r in rows:
        if r.get("failed"):
            lines.append(f"| {r['name']} | {r['settings']} | failed | | | | | | | | | | |")
            continue
        timing = r["name"] != "constant mean"
        warnings = "—" if not r["zun"] else (f"{r['warnings']} ({r['max_condition']:.1e})" if r["warnings"] else "0")
        rmse = f"{r['test_rmse']:.4f}" + ("" if r["finite"] else " (non-finite)")
        lines.append(
            f"| {r['name']} | {r['settings']} | {r['fit_seconds']:.3f} | {ratio(r, 'fit_seconds') if timing else '—'}"
            f" | {r['fit_cpu_seconds']:.2f}"
            f" | {r['predict_seconds']:.4f} | {ratio(r, 'predict_seconds') if timing else '—'}"
            f" | {r['peak_rss_mib']:.0f} | {rmse} | {ratio(r, 'test_rmse')} | {warnings} | {r['threads']}"
            f" | {r['load_before']:.1f}/{r['load_after']:.1f} |"
        )
    return "\n".join(lines)


# ZUN in the budget comparison: binned, the tuned Friedman #1 settings with
# one tree per epoch (five per epoch left room for a single epoch within
# LightGBM's time at every size), on a standardised target; only the epochs
# vary.
BUDGET_ZUN = dict(n_trees=1, n_iter=25, alpha=10.0, standardise=True, max_bins=255)
BUDGET_EPOCHS = [1, 2, 3, 5, 8, 12, 18, 27, 40, 60, 90]


def fit_one(dataset, library, kwargs, env):
    with tempfile.NamedTemporaryFile("r", suffix=".json") as out:
        job = json.dumps({"dataset": dataset, "library": library, "kwargs": kwargs, "out": out.name})
        subprocess.run([sys.executable, __file__, "--child", job], capture_output=True, text=True, check=True, env=env)
        return json.load(open(out.name))


def budget_comparison(dataset):
    """Peers and binned ZUN on one thread each; ZUN with the epochs whose test
    RMSE is best among those whose fit CPU time stays within LightGBM's."""
    env = dict(os.environ, OMP_NUM_THREADS="1")
    peers = {"LightGBM": ("lightgbm", {"n_jobs": 1}), "XGBoost": ("xgboost", {"n_jobs": 1}),
             "HistGradientBoosting": ("hgb", {})}
    rows = {name: fit_one(dataset, library, kwargs, env) for name, (library, kwargs) in peers.items()}
    budget = rows["LightGBM"]["fit_cpu_seconds"]
    tried = []
    for epochs in BUDGET_EPOCHS:
        result = fit_one(dataset, "zun", dict(BUDGET_ZUN, epochs=epochs), env)
        if result["fit_cpu_seconds"] > budget:
            break
        tried.append((epochs, result))
    if tried:
        epochs, best = min(tried, key=lambda item: item[1]["test_rmse"])
        best["settings"] = f"epochs {epochs} (of {', '.join(str(e) for e, _ in tried)} within budget)"
        rows["ZUN binned"] = best
    reference = rows["LightGBM"]
    first = reference
    lines = [f"### {dataset}: {first['train_rows']} training rows, {first['test_rows']} test rows; "
             f"load {first['load_before']:.1f} at the first fit", "",
             "| model | settings | fit CPU s | CPU ×LGBM | test RMSE | RMSE ×LGBM |", "|---|---|---:|---:|---:|---:|"]
    for name, r in rows.items():
        settings = r.get("settings", "defaults, one thread")
        lines.append(f"| {name} | {settings} | {r['fit_cpu_seconds']:.2f} "
                     f"| {r['fit_cpu_seconds'] / reference['fit_cpu_seconds']:.2f} | {r['test_rmse']:.4f} "
                     f"| {r['test_rmse'] / reference['test_rmse']:.3f} |")
    if not tried:
        lines.append(f"| ZUN binned | no epoch count fits within {budget:.2f} s | | | | |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", help="Friedman #1 row counts (default 10^4 10^5 10^6)")
    parser.add_argument("--no-diabetes", action="store_true")
    parser.add_argument("--quick", action="store_true", help="small ZUN budget, 10^4 rows unless --sizes")
    parser.add_argument("--json", help="also write all results to this file")
    parser.add_argument("--logs", help="keep each fit's output (ZUN log lines) in this directory")
    parser.add_argument("--binned-budget", nargs="*", metavar="DATASET",
                        help="binned ZUN against the peers, one thread each, within LightGBM's fit CPU time, "
                             "on these data sets (default friedman1-100000 friedman1-1000000 diamonds randhie)")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        job = json.loads(args.child)
        result = run_child(job["dataset"], job["library"], job["kwargs"])
        with open(job["out"], "w") as out:
            json.dump(result, out)
        return
    if args.binned_budget is not None:
        chosen = args.binned_budget or ["friedman1-100000", "friedman1-1000000", "diamonds", "randhie"]
        print(f"one thread each (OMP_NUM_THREADS=1, n_jobs 1); ZUN binned: {BUDGET_ZUN}; "
              f"started {time.strftime('%Y-%m-%d %H:%M:%S UTC', time.gmtime())}")
        for dataset in chosen:
            print()
            print(budget_comparison(dataset), flush=True)
        return
    sizes = args.sizes or ([10_000] if args.quick else [10_000, 100_000, 1_000_000])
    datasets = ([] if args.no_diabetes else ["diabetes"]) + [f"friedman1-{n}" for n in sizes]
    if args.logs:
        os.makedirs(args.logs, exist_ok=True)
    print(f"{os.cpu_count()} CPUs; OMP_NUM_THREADS={os.environ.get('OMP_NUM_THREADS', 'unset')};"
          f" OMP_WAIT_POLICY={os.environ.get('OMP_WAIT_POLICY', 'unset')};"
          f" started {time.strftime('%Y-%m-%d %H:%M:%S UTC', time.gmtime())}")
    everything = {}
    for dataset in datasets:
        rows = run_dataset(dataset, args.quick, args.logs)
        everything[dataset] = rows
        print()
        print(table(dataset, rows), flush=True)
    if args.json:
        with open(args.json, "w") as out:
            json.dump(everything, out, indent=1)


if __name__ == "__main__":
    main()
