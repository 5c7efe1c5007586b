import re

import numpy as np
import pytest

from _zunmerak import ZUN, GridTensor

FITS = {
    "ZUN.fit": lambda x, y: ZUN.fit(x, y, 1, n_trees=1, n_iter=1, verbosity=0),
    "GridTensor.fit": lambda x, y: GridTensor.fit(x, y, 1, 2, 1.0),
}


@pytest.fixture
def data():
    rng = np.random.default_rng(3)
    return rng.normal(size=(6, 3)), rng.normal(size=6)


@pytest.mark.parametrize("fit", FITS.values(), ids=FITS.keys())
def test_nan_in_x_is_refused_naming_the_column(fit, data):
    x, y = data
    x[4, 2] = np.nan
    with pytest.raises(ValueError, match=r"NaN in column 2\b"):
        fit(x, y)


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("fit", FITS.values(), ids=FITS.keys())
def test_non_finite_target_is_refused(fit, data, bad):
    x, y = data
    y[1] = bad
    with pytest.raises(ValueError, match=r"y has a non-finite value .* at index 1"):
        fit(x, y)


@pytest.mark.parametrize("peak, refused", [(5.4e153, False), (5.5e153, True), (-1e200, True)])
def test_boosted_fit_refuses_targets_whose_squares_overflow(data, peak, refused):
    # With 6 samples the sum of squared errors overflows beyond sqrt(max float / 6) = 5.47e153.
    x, y = data
    y[1] = peak
    if refused:
        with pytest.raises(ValueError, match=rf"y has {re.escape(f'{peak:.4g}')} at index 1, beyond 5.47e\+153, where the sum of 6 "
                                             r"squared errors overflows; scale y down first \(ZunRegressor"):
            FITS["ZUN.fit"](x, y)
    else:
        model, result = FITS["ZUN.fit"](x, y)
        assert np.isfinite(result.err) and np.all(np.isfinite(model.predict(x)))


@pytest.mark.parametrize("fit", FITS.values(), ids=FITS.keys())
def test_infinite_features_are_accepted(fit, data):
    x, y = data
    x[0, 0], x[1, 1] = np.inf, -np.inf
    model, result = fit(x, y)
    assert np.isfinite(result.err)
    assert np.all(np.isfinite(model.predict(x[2:])))
