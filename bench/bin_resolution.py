"""Where a binned fit loses accuracy on diamonds: test RMSE over fit seeds.

    python bench/bin_resolution.py [--seeds 0 1 2 3] [--max-bins 255 511 1024 65536]

`ZUN.fit` with the settings of binned_fit.py's accuracy rows on plotnine's
diamonds (log price, the same seeded 80/20 split, standardised target),
exact and with each `max_bins`, for several fit seeds: one seed's ratio
moves by a few percent with any change of the cut candidates, so only the
spread over seeds says whether a gap is systematic. Two more columns fit
the exact mode on columns replaced by their bin numbers, which allows cuts
only between bins:

- "quantile bins": the binned fit's boundaries at the first --max-bins,
  recomputed here; its RMSE must equal that binned fit's, which checks the
  emulation;
- "+ outer changes": the same boundaries plus every change of value among
  the first and the last n / max_bins sorted samples, where equal-count
  bins lump the rare extreme values together (it may exceed max_bins, so
  it is an experiment, not a binning the module offers).
"""

import argparse
import statistics

import numpy as np

from binned_fit import SETTINGS, split_80_20
from compare import diamonds


def value_changes(sorted_values):
    """The sorted positions where a new value starts."""
    return np.flatnonzero(sorted_values[1:] != sorted_values[:-1]) + 1


def quantile_boundaries(sorted_values, max_bins):
    """The binned fit's boundaries: equal-count quantiles, moved to the end of a run of equal values."""
    n = len(sorted_values)
    bins = min(n, max_bins)
    changes = value_changes(sorted_values)
    boundaries = []
    for q in range(1, bins):
        c = n * q // bins
        if c < 1 or (boundaries and c <= boundaries[-1]):
            continue
        following = np.searchsorted(changes, c)
        if following == len(changes):
            break
        boundaries.append(int(changes[following]))
    return boundaries if boundaries else [int(c) for c in changes]


def with_outer_changes(sorted_values, max_bins):
    n = len(sorted_values)
    edge = n // max_bins
    changes = value_changes(sorted_values)
    outer = changes[(changes <= edge) | (changes >= n - edge)]
    return sorted(set(quantile_boundaries(sorted_values, max_bins)) | {int(c) for c in outer})


def bin_numbers(x, x_test, boundaries_of):
    """Both matrices with every value replaced by the number of its bin."""
    coded, coded_test = np.empty_like(x), np.empty_like(x_test)
    for j in range(x.shape[1]):
        sorted_values = np.sort(x[:, j])
        thresholds = sorted_values[boundaries_of(sorted_values)]
        coded[:, j] = np.searchsorted(thresholds, x[:, j], side="right")
        coded_test[:, j] = np.searchsorted(thresholds, x_test[:, j], side="right")
    return coded, coded_test


def test_rmse(x, y, x_test, y_test, seed, **binning):
    from _zunmerak import ZUN

    mean, scale = y.mean(), y.std()
    settings = dict(SETTINGS)
    epochs = settings.pop("epochs")
    model, _ = ZUN.fit(x, (y - mean) / scale, epochs, verbosity=0, seed=seed, **settings, **binning)
    return float(np.sqrt(np.mean((model.predict(x_test) * scale + mean - y_test) ** 2)))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seeds", type=int, nargs="+", default=[0, 1, 2, 3])
    parser.add_argument("--max-bins", type=int, nargs="+", default=[255, 511, 1024, 65536])
    args = parser.parse_args()

    x, y, x_test, y_test = split_80_20(*diamonds())
    first = args.max_bins[0]
    emulated = {
        f"quantile bins {first}": bin_numbers(x, x_test, lambda s: quantile_boundaries(s, first)),
        f"{first} + outer changes": bin_numbers(x, x_test, lambda s: with_outer_changes(s, first)),
    }
    columns = [f"max_bins {b}" for b in args.max_bins] + list(emulated)
    print(f"diamonds, ZUN.fit settings {SETTINGS}; test RMSE / exact test RMSE")
    print()
    print("| fit seed | exact RMSE | " + " | ".join(columns) + " |")
    print("|---:|---:|" + "---:|" * len(columns))
    ratios = {column: [] for column in columns}
    for seed in args.seeds:
        exact = test_rmse(x, y, x_test, y_test, seed)
        for bins in args.max_bins:
            ratios[f"max_bins {bins}"].append(test_rmse(x, y, x_test, y_test, seed, max_bins=bins) / exact)
        for column, (coded, coded_test) in emulated.items():
            ratios[column].append(test_rmse(coded, y, coded_test, y_test, seed) / exact)
        print(f"| {seed} | {exact:.5f} | " + " | ".join(f"{ratios[c][-1]:.4f}" for c in columns) + " |", flush=True)
    print("| mean | | " + " | ".join(f"{statistics.mean(ratios[c]):.4f}" for c in columns) + " |")


if __name__ == "__main__":
    main()
