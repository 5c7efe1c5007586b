"""Chooses ZunRegressor's defaults by cross-validated RMSE on packaged data.

Every candidate setting is fitted with k-fold cross-validation (shuffled,
seeded) on each data set, one thread, each (data set, setting) in its own
subprocess. A setting qualifies when its mean fit CPU time on Friedman #1 at
10^5 rows stays within the budget and no fit on any data set warns about the
condition number of the stage rescaling. Each setting's CV RMSE on a data set
is divided by the best setting's there; among the qualifying settings those
whose worst such ratio is within TIE (1%, about the spread of the CV
estimates) of the smallest worst ratio tie (a default must not be poor
anywhere), and of them the one with the smallest mean ratio is the default. Prints a Markdown table; --json keeps the raw figures.

    python bench/choose_defaults.py [--folds 3] [--budget 10] [--json FILE] [--from-json FILE]
                                    [--epochs 5 10 20] [--n-iter 5 10 20]
                                    [--alpha 1 10 100] [--n-trees 10] [--max-bins ...]

Data sets: scikit-learn's diabetes, plotnine's mpg (highway miles per gallon)
and diamonds (log price), statsmodels' fair (affairs) and randhie
(outpatient visits), Friedman #1 at 10^4 and 10^5 rows; see
examples/datasets.py. The constant mean's CV RMSE is printed too: a default
must beat it everywhere. Settings not on the command line keep the
estimator's defaults (early stopping and row_partitions "auto", so epochs
is a maximum). Needs `pip install -r bench/requirements.txt`.
"""
import argparse
import itertools
import json
import os
import subprocess
import sys
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
DATA_SETS = ["diabetes", "mpg", "fair", "diamonds", "randhie", "friedman1_1e4", "friedman1_1e5"]
BUDGET_DATA_SET = "friedman1_1e5"
WARNING_TEXT = "condition number"
TIE = 1.01


def load(name):
    sys.path.insert(0, str(EXAMPLES))
    import datasets

    if name.startswith("friedman1_"):
        return datasets.friedman1(int(float(name.split("_")[1])), seed=0)
    return getattr(datasets, name)()


def evaluate(name, setting, folds):
    """Runs in the child: CV RMSE and fit CPU time of one setting on one data set."""
    import time
    import warnings

    import numpy as np
    from sklearn.model_selection import KFold

    from zunmerak import ZunRegressor

    X, y, _ = load(name)
    errors, seconds = [], []
    for train, test in KFold(folds, shuffle=True, random_state=0).split(X):
        model = ZunRegressor(**setting, random_state=0, verbose=1)
        start = time.process_time()
        with warnings.catch_warnings():
            warnings.simplefilter("always")  # shown on stderr, where the parent looks for them
            model.fit(X[train], y[train])
        seconds.append(time.process_time() - start)
        errors.append(float(np.sqrt(np.mean((model.predict(X[test]) - y[test]) ** 2))))
    return {"rmse": float(np.mean(errors)), "fit_cpu_s": float(np.mean(seconds))}


def run_child(name, setting, folds):
    environment = dict(os.environ, OMP_NUM_THREADS="1")
    child = subprocess.run([sys.executable, __file__, "--child", json.dumps([name, setting, folds])],
                           capture_output=True, text=True, env=environment)
    if child.returncode != 0:
        raise RuntimeError(f"{name} {setting}: {child.stderr[-2000:]}")
    result = json.loads(child.stdout.strip().splitlines()[-1])
    result["warnings"] = (child.stdout + child.stderr).count(WARNING_TEXT)
    return result


def partitions(text):
    """--row-partitions values: auto, none or an int."""
    return None if text == "none" else text if text == "auto" else int(text)


def settings(args):
    grid = itertools.product(args.epochs, args.n_iter, args.alpha, args.n_trees, args.max_bins,
                             args.row_partitions)
    for epochs, n_iter, alpha, n_trees, max_bins, row_partitions in grid:
        setting = dict(epochs=epochs, n_iter=n_iter, alpha=alpha, n_trees=n_trees)
        if max_bins is not None:
            setting["max_bins"] = max_bins
        if row_partitions != "auto":
            setting["row_partitions"] = row_partitions
        yield setting


def constant_mean(name, folds):
    """CV RMSE of predicting the training folds' mean."""
    import numpy as np
    from sklearn.model_selection import KFold

    X, y, _ = load(name)
    errors = [float(np.sqrt(np.mean((y[test] - y[train].mean()) ** 2)))
              for train, test in KFold(folds, shuffle=True, random_state=0).split(X)]
    return float(np.mean(errors))


def label(setting):
    return ", ".join(f"{key} {value:g}" if isinstance(value, float) else f"{key} {value}"
                     for key, value in setting.items())


def choose(results, budget):
    """Adds each setting's relative RMSE and whether it qualifies; returns the chosen label."""
    best = {name: min(r[name]["rmse"] for r in results.values()) for name in DATA_SETS}
    for row in results.values():
        ratios = [row[name]["rmse"] / best[name] for name in DATA_SETS]
        row["worst"] = max(ratios)
        row["relative"] = sum(ratios) / len(ratios)
        row["qualifies"] = (row[BUDGET_DATA_SET]["fit_cpu_s"] <= budget
                            and all(row[name]["warnings"] == 0 for name in DATA_SETS))
    qualified = [key for key, row in results.items() if row["qualifies"]]
    if not qualified:
        return None
    least_worst = min(results[key]["worst"] for key in qualified)
    tied = [key for key in qualified if results[key]["worst"] <= least_worst * TIE]
    return min(tied, key=lambda key: results[key]["relative"])


def print_table(results, chosen, budget):
    print(f"CV RMSE per data set (mean fit CPU s in parentheses); worst and mean of RMSE / best RMSE "
          f"of the column; budget {budget:g} s on {BUDGET_DATA_SET}; * = condition-number warning\n")
    print("| setting | " + " | ".join(DATA_SETS) + " | worst | mean | qualifies |")
    print("|---" * (len(DATA_SETS) + 4) + "|")
    for key, row in sorted(results.items(), key=lambda item: (item[1]["worst"], item[1]["relative"])):
        cells = [f"{row[n]['rmse']:.4g}{'*' if row[n]['warnings'] else ''} ({row[n]['fit_cpu_s']:.2f})"
                 for n in DATA_SETS]
        mark = "**chosen**" if key == chosen else ("yes" if row["qualifies"] else "no")
        print(f"| {key} | " + " | ".join(cells) + f" | {row['worst']:.3f} | {row['relative']:.3f} | {mark} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--folds", type=int, default=3)
    parser.add_argument("--budget", type=float, default=10.0, help="CPU seconds per fit on Friedman 10^5")
    parser.add_argument("--epochs", type=int, nargs="+", default=[50])
    parser.add_argument("--n-iter", type=int, nargs="+", default=[10, 15])
    parser.add_argument("--alpha", type=float, nargs="+", default=[1.0])
    parser.add_argument("--n-trees", type=int, nargs="+", default=[4])
    parser.add_argument("--row-partitions", type=partitions, nargs="+", default=["auto"])
    parser.add_argument("--max-bins", type=int, nargs="+", default=[None])
    parser.add_argument("--json", type=Path)
    parser.add_argument("--from-json", type=Path, help="print the table of an earlier run")
    args = parser.parse_args()
    if args.from_json:
        reprint(args.from_json, args.budget)
        return
    if args.child:
        name, setting, folds = json.loads(args.child)
        print(json.dumps(evaluate(name, setting, folds)))
        return

    results = {}
    for setting in settings(args):
        key = label(setting)
        results[key] = {name: run_child(name, setting, args.folds) for name in DATA_SETS}
        print(f"done: {key}", file=sys.stderr, flush=True)
    chosen = choose(results, args.budget)
    print_table(results, chosen, args.budget)
    print("\n| constant mean | " + " | ".join(f"{constant_mean(n, args.folds):.4g}" for n in DATA_SETS) + " |")
    if args.json:
        args.json.write_text(json.dumps(results, indent=1))


def reprint(path, budget):
    """Prints the table again from a --json file, for another budget."""
    results = json.loads(Path(path).read_text())
    print_table(results, choose(results, budget), budget)


if __name__ == "__main__":
    main()
