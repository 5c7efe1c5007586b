import numpy as np
import pytest

from _zunmerak import FitResult, GridTensor


@pytest.fixture
def data():
    rng = np.random.default_rng(11)
    x = rng.normal(size=(300, 4))
    y = 2.0 * x[:, 0] + np.sin(2.0 * x[:, 1]) + 0.1 * rng.normal(size=300)
    return x, y


def getters(model):
    return {
        name: getattr(model, name)
        for name in ("splits", "intervals", "backbone_values", "tilt_values", "mean_factor", "scaling",
                     "lambda_plus", "lambda_minus")
    }


def test_defaults_are_complexity_penalty_zero_and_seed_42(data):
    x, y = data
    first, _ = GridTensor.fit(x, y, 8, 5, 0.5)
    again, _ = GridTensor.fit(x, y, 8, 5, 0.5)
    explicit, _ = GridTensor.fit(x, y, 8, 5, 0.5, complexity_penalty=0.0, seed=42)
    other_seed, _ = GridTensor.fit(x, y, 8, 5, 0.5, seed=43)
    assert getters(first) == getters(again) == getters(explicit)
    assert getters(first) != getters(other_seed)


def test_complexity_penalty_does_not_change_the_model(data):
    x, y = data
    plain, _ = GridTensor.fit(x, y, 8, 5, 0.5)
    penalised, _ = GridTensor.fit(x, y, 8, 5, 0.5, complexity_penalty=123.0)
    assert getters(plain) == getters(penalised)


def test_fit_result_matches_the_returned_model(data):
    x, y = data
    model, result = GridTensor.fit(x, y, 10, 10, 1.0)
    assert isinstance(result, FitResult)
    np.testing.assert_array_equal(result.y_hat, model.predict(x))
    np.testing.assert_array_equal(result.residuals, y - result.y_hat)
    assert result.err == pytest.approx(np.mean(result.residuals**2), rel=1e-12)
    assert result.err < np.var(y)


def test_record_invariants(data):
    x, y = data
    model, _ = GridTensor.fit(x, y, 12, 10, 1.0)
    assert len(model.splits) == x.shape[1]
    assert model.scaling == 1.0
    assert min(model.lambda_plus, model.lambda_minus) >= 1e-12
    for j, thresholds in enumerate(model.splits):
        assert thresholds == sorted(set(thresholds))
        assert set(thresholds) <= set(x[:, j])  # a threshold is a training value
        bounds = [-np.inf] + thresholds + [np.inf]
        assert model.intervals[j] == list(zip(bounds[:-1], bounds[1:]))
        assert len(model.backbone_values[j]) == len(model.tilt_values[j]) == len(thresholds) + 1
    assert sum(len(s) for s in model.splits) > 0


def test_fit_result_arrays_are_shared_and_shown_by_repr(data):
    x, y = data
    _, result = GridTensor.fit(x[:5], y[:5], 2, 2, 1.0)
    residuals = result.residuals
    assert result.residuals is residuals
    residuals[0] = 12345.5
    assert result.residuals[0] == 12345.5
    assert str(result.residuals) in repr(result)
    assert "1.23455000e+04" in repr(result)


@pytest.mark.parametrize(
    "x, y, expected_start",
    [
        # No split is possible; the constant model predicts 0 for targets of
        # mean zero, so the error is exactly 1.
        (np.zeros((2, 1)), np.array([1.0, -1.0]), "FitResult(error=1, residuals="),
    ],
)
def test_repr_writes_the_error_in_shortest_positional_form(x, y, expected_start):
    _, result = GridTensor.fit(x, y, 3, 2, 1.0)
    text = repr(result)
    assert text.startswith(expected_start)
    assert text == f"FitResult(error=1, residuals={result.residuals}, y_hat={result.y_hat})"


def test_tilts_zero_for_non_negative_targets(data):
    x, y = data
    model, _ = GridTensor.fit(x, np.abs(y), 8, 10, 1.0)
    assert all(t == 0.0 for feature in model.tilt_values for t in feature)
    assert model.mean_factor == model.backbone_values == model.grid_values


def split_values_over_seeds(x, y, max_bins, seeds=range(30)):
    """Every cut some fit of one feature makes, over many seeds."""
    seen = set()
    for seed in seeds:
        model, _ = GridTensor.fit(x, y, 3, 10, 1.0, seed=seed, max_bins=max_bins)
        seen.update(model.splits[0])
    return seen


TIED = [1.0, 1.0, 2.0, 3.0, 3.0, 3.0, 4.0, 5.0, 5.0, 6.0]


@pytest.mark.parametrize(
    "values, max_bins, expected",
    [
        # Ten distinct values, 4 bins: quantile positions 2, 5 and 7.
        ([0.5, 1.5, 2.5, 3.5, 4.5, 5.5, 6.5, 7.5, 8.5, 9.5], 4, {2.5, 5.5, 7.5}),
        # Positions 1 and 2 fall inside the run of 1s and move to its end,
        # 3; 4 (value 3) would leave one sample alone at the end of the
        # interval, which no fit cuts.
        ([1.0, 1.0, 1.0, 2.0, 3.0], 5, {2.0}),
        # Positions 1, 3, 5, 6, 8 become 2, 3, 6, 9 (values 2, 3, 4, 6); 2
        # and 9 leave too few samples on one side to be cut.
        (TIED, 6, {3.0, 4.0}),
        # Positions 5 and 10: 10 falls inside the run of 2s and moves to 11,
        # so a tied column keeps its cut between 2 and 3.
        ([1.0] * 5 + [2.0] * 6 + [3.0] * 5, 3, {2.0, 3.0}),
        # At least as many bins as samples: every change of value is a
        # boundary, and the fits cut where exact fits (None) do.
        (TIED, 10, {3.0, 5.0}),
        (TIED, 65536, {3.0, 5.0}),
        (TIED, None, {3.0, 5.0}),
    ],
)
def test_binned_cuts_lie_on_the_equal_count_boundaries(values, max_bins, expected):
    rng = np.random.default_rng(3)
    order = rng.permutation(len(values))
    x = np.array(values)[order].reshape(-1, 1)
    y = rng.normal(size=len(values))
    assert split_values_over_seeds(x, y, max_bins) == expected


def test_binned_fit_model_and_result_agree(data):
    x, y = data
    model, result = GridTensor.fit(x, y, 12, 10, 1.0, max_bins=8)
    np.testing.assert_array_equal(result.y_hat, model.predict(x))
    np.testing.assert_array_equal(result.residuals, y - result.y_hat)
    assert result.err == pytest.approx(np.mean(result.residuals**2), rel=1e-12)
    assert result.err < np.var(y)
    n = x.shape[0]
    for j, thresholds in enumerate(model.splits):
        ordered = np.sort(x[:, j])
        assert set(thresholds) <= {ordered[n * q // 8] for q in range(1, 8)}
    assert sum(len(s) for s in model.splits) > 0
    exact, _ = GridTensor.fit(x, y, 12, 10, 1.0, max_bins=None)
    assert getters(exact) == getters(GridTensor.fit(x, y, 12, 10, 1.0)[0])
