"""The main job: ZunRegressor on two real data sets, beside scikit-learn.

Fits zunmerak.ZunRegressor on scikit-learn's diabetes data and on plotnine's
diamonds (log price), with its defaults and with epochs chosen by a grid
search, prints the test RMSE beside a constant-mean baseline and
HistGradientBoostingRegressor, checks that a pickled model predicts the same,
and writes three plots of the diamonds model as PNG files.

    python examples/quickstart.py [--output-dir DIR]
"""
import argparse
import pickle
import time
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only, no display needed

import numpy as np
import pandas as pd
from sklearn.dummy import DummyRegressor
from sklearn.ensemble import HistGradientBoostingRegressor
from sklearn.metrics import root_mean_squared_error
from sklearn.model_selection import GridSearchCV, train_test_split

import datasets
from zunmerak import ZunRegressor
from zunmerak.plotting import plot_factors, plot_importance, plot_partial_dependence


def compare(name, X, y):
    """Fits the three models on one seeded 80/20 split; returns the fitted ZUN estimator."""
    X_train, X_test, y_train, y_test = train_test_split(X, y, test_size=0.2, random_state=0)
    print(f"\n{name}: {len(X_train)} training rows, {len(X_test)} test rows, {X.shape[1]} features")
    print(f"{'model':<36} {'test RMSE':>10} {'fit s':>8}")
    # The defaults suit data sets of thousands of rows and more; a grid search
    # over epochs shows the estimator inside scikit-learn's model selection.
    tuned = GridSearchCV(ZunRegressor(random_state=0), {"epochs": [3, 5, 10]}, cv=3,
                         scoring="neg_root_mean_squared_error")
    models = [("constant mean", DummyRegressor()),
              ("HistGradientBoostingRegressor", HistGradientBoostingRegressor(random_state=0)),
              ("ZunRegressor (epochs by 3-fold CV)", tuned),
              ("ZunRegressor (defaults)", ZunRegressor(random_state=0))]
    for label, model in models:
        start = time.perf_counter()
        model.fit(X_train, y_train)
        seconds = time.perf_counter() - start
        print(f"{label:<36} {root_mean_squared_error(y_test, model.predict(X_test)):>10.4f} {seconds:>8.2f}")
    print(f"(the grid search chose epochs={tuned.best_params_['epochs']})")
    zun = models[-1][1]
    if not np.array_equal(pickle.loads(pickle.dumps(zun)).predict(X_test), zun.predict(X_test)):
        raise SystemExit("a pickled model predicts differently")
    print("pickled and restored model: identical predictions")
    return zun, X_train


def save_plots(estimator, X, names, directory):
    import matplotlib.pyplot as plt

    directory.mkdir(parents=True, exist_ok=True)
    carat = names.index("carat")
    drawings = {  # file name: (panels, drawing)
        "diamonds_importance.png": (1, lambda axes: plot_importance(estimator, ax=axes[0])),
        "diamonds_partial_dependence_carat.png":
            (1, lambda axes: plot_partial_dependence(estimator, X, [carat], ax=axes[0])),
        "diamonds_factors_carat.png": (2, lambda axes: plot_factors(estimator, carat, ax=axes)),
    }
    paths = []
    for file_name, (panels, draw) in drawings.items():
        figure, axes = plt.subplots(1, panels, figsize=(6 * panels, 4.5), squeeze=False)
        draw(axes[0])
        figure.tight_layout()
        path = directory / file_name
        figure.savefig(path, dpi=100)
        plt.close(figure)
        paths.append(path.resolve())
    return paths


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output-dir", type=Path, default=Path("demo-output"))
    args = parser.parse_args()

    X, y, names = datasets.diabetes()
    compare("diabetes", pd.DataFrame(X, columns=names), y)
    X, y, names = datasets.diamonds()
    # A DataFrame keeps the column names, and the plots show them.
    zun, X_train = compare("diamonds (log price)", pd.DataFrame(X, columns=names), y)
    print("\nplots of the diamonds model:")
    for path in save_plots(zun, X_train, names, args.output_dir):
        print(f"  {path}")


if __name__ == "__main__":
    main()
