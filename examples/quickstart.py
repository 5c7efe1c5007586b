"""The main job: ZunRegressor on two real data sets, beside scikit-learn.

Fits zunmerak.ZunRegressor on scikit-learn's diabetes data and on plotnine's
diamonds (log price), with its defaults and with the splits per tree chosen
by a grid search, prints the test RMSE beside a constant-mean baseline and
HistGradientBoostingRegressor, checks that a pickled model predicts the same,
prints the exact contributions of one diamond's features to its prediction,
and writes four plots of the diamonds model as PNG files.

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
from zunmerak import ZunRegressor, contributions
from zunmerak.plotting import plot_contributions, plot_factors, plot_importance, plot_partial_dependence


def compare(name, X, y):
    """Fits the three models on one seeded 80/20 split; returns the fitted ZUN estimator."""
    X_train, X_test, y_train, y_test = train_test_split(X, y, test_size=0.2, random_state=0)
    print(f"\n{name}: {len(X_train)} training rows, {len(X_test)} test rows, {X.shape[1]} features")
    print(f"{'model':<36} {'test RMSE':>10} {'fit s':>8}")
    # The defaults choose the number of epochs themselves (early stopping, or
    # cross-validation on small data); a grid search over the splits per tree
    # shows the estimator inside scikit-learn's model selection.
    tuned = GridSearchCV(ZunRegressor(random_state=0), {"n_iter": [5, 15]}, cv=3,
                         scoring="neg_root_mean_squared_error")
    models = [("constant mean", DummyRegressor()),
              ("HistGradientBoostingRegressor", HistGradientBoostingRegressor(random_state=0)),
              ("ZunRegressor (n_iter by 3-fold CV)", tuned),
              ("ZunRegressor (defaults)", ZunRegressor(random_state=0))]
    for label, model in models:
        start = time.perf_counter()
        model.fit(X_train, y_train)
        seconds = time.perf_counter() - start
        print(f"{label:<36} {root_mean_squared_error(y_test, model.predict(X_test)):>10.4f} {seconds:>8.2f}")
    zun = models[-1][1]
    epochs = f"{zun.n_epochs_} epoch" + ("s" if zun.n_epochs_ != 1 else "")
    print(f"(the grid search chose n_iter={tuned.best_params_['n_iter']}; the defaults kept {epochs})")
    if not np.array_equal(pickle.loads(pickle.dumps(zun)).predict(X_test), zun.predict(X_test)):
        raise SystemExit("a pickled model predicts differently")
    print("pickled and restored model: identical predictions")
    return zun, X_train


def typical_diamond(estimator, X):
    """The one-row frame of the diamond whose predicted price is the median one."""
    predictions = estimator.predict(X)
    return X.iloc[[np.argsort(predictions, kind="stable")[len(predictions) // 2]]]


def save_plots(estimator, X, directory):
    import matplotlib.pyplot as plt

    directory.mkdir(parents=True, exist_ok=True)
    # Each plot draws its own figure with constrained layout, so nothing is cut when saved.
    drawings = {
        "diamonds_importance.png": lambda: plot_importance(estimator),
        "diamonds_partial_dependence_carat.png":
            lambda: plot_partial_dependence(estimator, X, "carat", target_name="log price"),
        "diamonds_factors_carat.png": lambda: plot_factors(estimator, "carat"),
        "diamonds_contributions.png":
            lambda: plot_contributions(estimator, typical_diamond(estimator, X), target_name="log price"),
    }
    paths = []
    for file_name, draw in drawings.items():
        figure = np.ravel(draw())[0].figure
        path = directory / file_name
        figure.savefig(path, dpi=100)
        plt.close(figure)
        paths.append(path.resolve())
    return paths


def explain_one(estimator, X):
    """Prints the exact contributions of one diamond's features, which add up to its prediction."""
    row = typical_diamond(estimator, X)
    result = contributions(estimator, row)
    print("\ncontributions to the predicted log price of the diamond with the median prediction:")
    print(f"  {'base value (mean over 200 training rows)':<42} {result.base_value:>8.4f}")
    for name, value in sorted(zip(result.feature_names, result.values[0]), key=lambda item: -abs(item[1])):
        print(f"  {name:<42} {value:>+8.4f}")
    print(f"  {'sum = prediction':<42} {result.base_value + result.values[0].sum():>8.4f} "
          f"(predict: {estimator.predict(row)[0]:.4f})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output-dir", type=Path, default=Path("demo-output"))
    args = parser.parse_args()

    X, y, names = datasets.diabetes()
    compare("diabetes", pd.DataFrame(X, columns=names), y)
    X, y, names = datasets.diamonds()
    # A DataFrame keeps the column names, and the plots show them.
    zun, X_train = compare("diamonds (log price)", pd.DataFrame(X, columns=names), y)
    explain_one(zun, X_train)
    print("\nplots of the diamonds model:")
    for path in save_plots(zun, X_train, args.output_dir):
        print(f"  {path}")


if __name__ == "__main__":
    main()
