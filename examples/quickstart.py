"""Fits a boosted model on the diabetes data set shipped with scikit-learn.

Prints the test RMSE beside a constant-mean baseline and scikit-learn's
HistGradientBoostingRegressor, then saves the model, loads it back and checks
that the reloaded model predicts exactly the same values.
"""

import os
import tempfile

import numpy as np
from sklearn.datasets import load_diabetes
from sklearn.ensemble import HistGradientBoostingRegressor
from sklearn.model_selection import train_test_split

from _zunmerak import ZUN


def rmse(truth, prediction):
    return float(np.sqrt(np.mean((truth - prediction) ** 2)))


def main():
    x, y = load_diabetes(return_X_y=True)
    x_train, x_test, y_train, y_test = train_test_split(x, y, test_size=0.25, random_state=0)
    # Standardised targets keep the scalings well-conditioned and the errors readable.
    mean, scale = y_train.mean(), y_train.std()
    y_train_std = (y_train - mean) / scale

    # A few short stages with a strong ridge term suit this small data set
    # (settings from a small search over epochs, n_iter and alpha).
    model, result = ZUN.fit(x_train, y_train_std, epochs=3, n_iter=5, alpha=10.0, seed=1, verbosity=0)
    zun_prediction = model.predict(x_test) * scale + mean
    baseline = np.full_like(y_test, y_train.mean())
    hgb = HistGradientBoostingRegressor(random_state=0).fit(x_train, y_train)

    print(f"diabetes: {x_train.shape[0]} training rows, {x_test.shape[0]} test rows, {x.shape[1]} features")
    print(f"{'model':<34} {'test RMSE':>10}")
    print(f"{'constant mean':<34} {rmse(y_test, baseline):>10.3f}")
    print(f"{'HistGradientBoostingRegressor':<34} {rmse(y_test, hgb.predict(x_test)):>10.3f}")
    print(f"{'ZUN (3 epochs, n_iter 5, alpha 10)':<34} {rmse(y_test, zun_prediction):>10.3f}")
    print(f"ZUN training MSE (standardised): {result.err:.4f}, stages: {len(model.stage_predictors)}")

    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "diabetes.zun")
        model.save(path)
        reloaded = ZUN.load(path)
        identical = np.array_equal(reloaded.predict(x_test), model.predict(x_test))
        print(f"saved {os.path.getsize(path)} bytes; reloaded predictions identical: {identical}")
    if not identical:
        raise SystemExit("reloaded model predicts differently")


if __name__ == "__main__":
    main()
