"""ZunRegressor with its defaults against the peers with theirs, one thread each.

For every data set one seeded 80/20 train/test split; every model is fitted on
it in its own subprocess (OMP_NUM_THREADS=1 and each library's own thread
setting at 1) and scored by test RMSE. Prints one Markdown table: test RMSE
and fit CPU time (user + system of the fit) as ratios to LightGBM's, and their
geometric means over the data sets.

    python bench/peers.py [--data diabetes mpg ...] [--zun '{"epochs": 40}'] [--json FILE]
                          [--peers lightgbm xgboost hist ebm] [--ebm-max-rows 100000]

Data sets: scikit-learn's diabetes, plotnine's diamonds (log price) and mpg,
statsmodels' randhie and fair, Friedman #1 at 10^4, 10^5 and 10^6 rows (see
examples/datasets.py). The glass-box ExplainableBoostingRegressor is skipped
above --ebm-max-rows training rows (its fit on 8 * 10^5 rows takes hours on
one thread). Needs `pip install -r bench/requirements.txt`.
"""
import argparse
import json
import math
import os
import subprocess
import sys
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
DATA_SETS = ["diabetes", "mpg", "fair", "diamonds", "randhie", "friedman1_1e4", "friedman1_1e5", "friedman1_1e6"]
PEERS = ["lightgbm", "xgboost", "hist", "ebm"]


def load(name):
    sys.path.insert(0, str(EXAMPLES))
    import datasets

    if name.startswith("friedman1_"):
        return datasets.friedman1(int(float(name.split("_")[1])), seed=0)
    return getattr(datasets, name)()


def make_model(kind, zun_params):
    if kind == "zun":
        from zunmerak import ZunRegressor

        return ZunRegressor(random_state=0, n_jobs=1, **zun_params)
    if kind == "lightgbm":
        import lightgbm

        return lightgbm.LGBMRegressor(n_jobs=1, verbose=-1, random_state=0)
    if kind == "xgboost":
        import xgboost

        return xgboost.XGBRegressor(n_jobs=1, random_state=0)
    if kind == "hist":
        from sklearn.ensemble import HistGradientBoostingRegressor

        return HistGradientBoostingRegressor(random_state=0)
    if kind == "ebm":
        from interpret.glassbox import ExplainableBoostingRegressor

        return ExplainableBoostingRegressor(n_jobs=1, random_state=0)
    raise ValueError(f"unknown model {kind!r}")


def child(task):
    """Runs in the subprocess: test RMSE and fit CPU seconds of one model on one data set."""
    import time
    import warnings

    import numpy as np
    from sklearn.model_selection import train_test_split

    X, y, _ = load(task["data"])
    X_train, X_test, y_train, y_test = train_test_split(X, y, test_size=0.2, random_state=0)
    model = make_model(task["kind"], task["zun"])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        start = time.process_time()
        model.fit(X_train, y_train)
        seconds = time.process_time() - start
    rmse = float(np.sqrt(np.mean((model.predict(X_test) - y_test) ** 2)))
    extra = {"epochs": int(model.n_epochs_)} if task["kind"] == "zun" else {}
    return {"rmse": rmse, "fit_cpu_s": seconds, "train_rows": len(y_train), **extra}


def run(task):
    environment = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")
    done = subprocess.run([sys.executable, __file__, "--child", json.dumps(task)], capture_output=True, text=True,
                          env=environment, check=False)
    if done.returncode != 0:
        raise RuntimeError(f"{task}: {done.stderr[-2000:]}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def geometric_mean(values):
    values = [v for v in values if v is not None]
    return math.exp(sum(math.log(v) for v in values) / len(values)) if values else None


def print_table(results, peers):
    kinds = ["zun"] + peers
    print("Test RMSE and fit CPU time as ratios to LightGBM's (one thread each); LightGBM's own figures last.\n")
    print("| data | train rows | " + " | ".join(f"{k} RMSE | {k} CPU" for k in kinds if k != "lightgbm")
          + " | ZunRegressor epochs | LightGBM RMSE | LightGBM CPU s |")
    print("|---|---:|" + "---:|---:|" * (len(kinds) - 1) + "---:|---:|---:|")
    ratios = {k: {"rmse": [], "cpu": []} for k in kinds}
    for name, row in results.items():
        base = row["lightgbm"]
        cells = []
        for kind in kinds:
            if kind == "lightgbm":
                continue
            if kind not in row:
                cells += ["–", "–"]
                continue
            rmse, cpu = row[kind]["rmse"] / base["rmse"], row[kind]["fit_cpu_s"] / base["fit_cpu_s"]
            ratios[kind]["rmse"].append(rmse)
            ratios[kind]["cpu"].append(cpu)
            cells += [f"{rmse:.3f}", f"{cpu:.1f}"]
        print(f"| {name} | {base['train_rows']} | " + " | ".join(cells)
              + f" | {row['zun'].get('epochs', '')} | {base['rmse']:.4g} | {base['fit_cpu_s']:.2f} |")
    cells = []
    for kind in kinds:
        if kind == "lightgbm":
            continue
        cells += [f"**{geometric_mean(ratios[kind]['rmse']):.3f}**", f"**{geometric_mean(ratios[kind]['cpu']):.1f}**"]
    print("| geometric mean | | " + " | ".join(cells) + " | | | |")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", nargs="+", default=DATA_SETS)
    parser.add_argument("--peers", nargs="+", default=PEERS, choices=PEERS)
    parser.add_argument("--zun", default="{}", help="ZunRegressor parameters as JSON (default: its defaults)")
    parser.add_argument("--ebm-max-rows", type=int, default=100_000)
    parser.add_argument("--json", help="also write the raw figures to this file")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(json.loads(args.child))))
        return
    peers = ["lightgbm"] + [p for p in args.peers if p != "lightgbm"]
    zun_params = json.loads(args.zun)
    results = {}
    for name in args.data:
        row = {}
        for kind in ["zun"] + peers:
            if kind == "ebm" and row["lightgbm"]["train_rows"] > args.ebm_max_rows:
                continue
            row[kind] = run({"data": name, "kind": kind, "zun": zun_params})
            print(f"{name} {kind}: {row[kind]}", file=sys.stderr, flush=True)
        results[name] = row
    if args.json:
        Path(args.json).write_text(json.dumps({"zun": zun_params, "results": results}, indent=1))
    print_table(results, peers)


if __name__ == "__main__":
    main()
