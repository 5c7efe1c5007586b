"""Regression data sets that ship inside installed packages (no download).

Each loader returns (X, y, feature_names) with X as float64. Diamonds needs
plotnine and randhie needs statsmodels installed; their files are read
directly, without importing those packages.
"""
import csv
import importlib.util
from pathlib import Path

import numpy as np

# Diamonds' ordered categories in the order of the table's own categories,
# coded 0, 1, ...
DIAMOND_GRADES = {
    "cut": ["Fair", "Good", "Very Good", "Premium", "Ideal"],
    "color": ["D", "E", "F", "G", "H", "I", "J"],
    "clarity": ["I1", "SI2", "SI1", "VS2", "VS1", "VVS2", "VVS1", "IF"],
}


def package_file(package, relative):
    spec = importlib.util.find_spec(package)
    if spec is None or not spec.submodule_search_locations:
        raise ImportError(f"this data set ships inside the {package!r} package: pip install {package}")
    return Path(next(iter(spec.submodule_search_locations))) / relative


def read_csv(path):
    with open(path, newline="") as file:
        rows = list(csv.DictReader(file))
    return rows


def numeric_table(path, target):
    """A table of numbers only: every column but the target is a feature."""
    rows = read_csv(path)
    names = [name for name in rows[0] if name != target]
    x = np.array([[float(row[n]) for n in names] for row in rows])
    y = np.array([float(row[target]) for row in rows])
    return x, y, names


def diabetes():
    from sklearn.datasets import load_diabetes

    data = load_diabetes()
    return data.data, data.target, list(data.feature_names)


def diamonds():
    """53,940 diamonds; target the natural log of the price."""
    rows = read_csv(package_file("plotnine", "data/diamonds.csv"))
    names = ["carat", "cut", "color", "clarity", "depth", "table", "x", "y", "z"]
    codes = {column: {grade: code for code, grade in enumerate(grades)}
             for column, grades in DIAMOND_GRADES.items()}
    x = np.array([[codes[n][row[n]] if n in codes else float(row[n]) for n in names] for row in rows])
    y = np.log(np.array([float(row["price"]) for row in rows]))
    return x, y, names


def randhie():
    """20,190 person-years of the RAND health insurance experiment; target the
    number of outpatient visits (an integer count)."""
    return numeric_table(package_file("statsmodels", "datasets/randhie/randhie.csv"), "mdvis")


def friedman1(n_rows, seed=0):
    """Friedman #1 with 10 features, 5 of them noise, and unit Gaussian noise."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(size=(n_rows, 10))
    y = (10 * np.sin(np.pi * x[:, 0] * x[:, 1]) + 20 * (x[:, 2] - 0.5) ** 2 + 10 * x[:, 3] + 5 * x[:, 4]
         + rng.normal(size=n_rows))
    return x, y, [f"x{j}" for j in range(10)]


def fair():
    """6,366 women of a 1974 magazine survey; target the time spent in
    extramarital affairs (mostly zero, heavily skewed)."""
    return numeric_table(package_file("statsmodels", "datasets/fair/fair.csv"), "affairs")


def mpg():
    """234 cars of 1999 and 2008; target the highway miles per gallon. Text
    columns are coded by their sorted values; the city figure, another
    measurement of the target, is left out."""
    rows = read_csv(package_file("plotnine", "data/mpg.csv"))
    numbers = ["displ", "year", "cyl"]
    texts = ["manufacturer", "trans", "drv", "fl", "class"]
    codes = {column: {value: code for code, value in enumerate(sorted({row[column] for row in rows}))}
             for column in texts}
    x = np.array([[float(row[n]) for n in numbers] + [codes[t][row[t]] for t in texts] for row in rows])
    y = np.array([float(row["hwy"]) for row in rows])
    return x, y, numbers + texts
