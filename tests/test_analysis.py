"""Partial dependence, ICE curves and feature importance of ZUN models.

Results are checked against relations that hold by construction (ICE at an
observation's own value is its prediction, partial dependence is the mean
prediction with the fixed features substituted) and against the NumPy
evaluation of model_bytes, on fitted models and on models built byte by byte.
"""
import inspect
import math

import numpy as np
import pytest

from _zunmerak import ZUN
from model_bytes import Grid, Stage, encode_model, query_matrix, random_stage, reference_components

N_FEATURES = 3


# ---------------------------------------------------------------------------
# Reference evaluation of one stage, from the objects' getters.

def grid_of(grid_tensor):
    return Grid(splits=grid_tensor.splits, backbone=grid_tensor.backbone_values, tilt=grid_tensor.tilt_values,
                lambda_plus=grid_tensor.lambda_plus, lambda_minus=grid_tensor.lambda_minus)


def scalings(stage):
    return (1.0 if stage.scaling_plus is None else stage.scaling_plus,
            0.0 if stage.scaling_minus is None else stage.scaling_minus)


def stage_columns(stage, x):
    """(s+ f+, -s- f-) per row of x: the stage's two result columns."""
    grid = grid_of(stage.combined_grid_tensor)
    plus, minus = reference_components(grid, x[:, :len(grid.splits)], clamp=True)
    s_plus, s_minus = scalings(stage)
    return s_plus * plus, -s_minus * minus


def with_columns(x, indices, values):
    changed = np.array(x, dtype=np.float64, copy=True)
    changed[:, indices] = values
    return changed


def assert_close(actual, expected, scale=None):
    """Equal up to rounding; `scale` is the size of the terms a sum cancelled."""
    expected = np.asarray(expected, dtype=np.float64)
    if scale is None:
        finite = expected[np.isfinite(expected)]
        scale = np.abs(finite).max() if finite.size else 1.0
    np.testing.assert_allclose(actual, expected, rtol=1e-10, atol=1e-12 * max(scale, 1.0))


# ---------------------------------------------------------------------------
# Models and data.

@pytest.fixture(scope="module")
def fitted_case():
    rng = np.random.default_rng(11)
    x = rng.uniform(-1.0, 1.0, size=(120, N_FEATURES))
    y = np.sin(3 * x[:, 0]) * (1.5 + x[:, 1]) + x[:, 2] ** 2 + 0.1 * rng.normal(size=len(x))
    model, _ = ZUN.fit(x, y, 3, n_trees=3, n_iter=4, alpha=1.0, verbosity=0)
    return model, x


@pytest.fixture
def built_case(rng, load_model):
    stages = [random_stage(rng, N_FEATURES) for _ in range(3)]
    stages[1].scaling_plus = stages[1].scaling_minus = None  # defaults 1.0 and 0.0
    x = query_matrix(rng, [s.primary for s in stages], 40, N_FEATURES)
    return load_model(encode_model(stages)), x


@pytest.fixture(params=["fitted", "built"])
def case(request):
    """(model, data_x) with N_FEATURES features in every stage."""
    return request.getfixturevalue(f"{request.param}_case")


@pytest.fixture
def empty_model(load_model):
    return load_model(encode_model([]))


def one_feature_grid(splits, backbone, tilt, lambda_plus=1.0, lambda_minus=0.5):
    return Grid(splits=[splits], backbone=[backbone], tilt=[tilt], lambda_plus=lambda_plus,
                lambda_minus=lambda_minus)


def constant_grid(n_features, lambda_plus=1.0, lambda_minus=0.5):
    """Every feature has one interval with factor 1: f+ = lambda_plus, f- = lambda_minus."""
    return Grid(splits=[[]] * n_features, backbone=[[1.0]] * n_features, tilt=[[0.0]] * n_features,
                lambda_plus=lambda_plus, lambda_minus=lambda_minus)


# ---------------------------------------------------------------------------
# Partial dependence.

class TestPartialDependence:
    @pytest.mark.parametrize("fixed", [[], [1], [2, 0], [0, 1, 2]])
    def test_mean_over_data_with_the_fixed_features_substituted(self, case, rng, fixed):
        model, x = case
        fixed_values = rng.uniform(-1.5, 1.5, size=(5, len(fixed)))
        fixed_values[0] = x[3, fixed]  # a point on the data, thresholds included for built models
        constants, pd_values = model.compute_partial_dependence_function(fixed, fixed_values, x)
        stages = model.stage_predictors
        assert type(constants) is list and len(constants) == len(stages)
        assert pd_values.shape == (5, 2 * len(stages))
        for r, row in enumerate(fixed_values):
            for l, stage in enumerate(stages):
                plus, minus = stage_columns(stage, with_columns(x, fixed, row))
                assert_close(pd_values[r, 2 * l:2 * l + 2], [plus.mean(), minus.mean()])

    def test_constants_average_the_free_features_only(self, case):
        model, x = case
        fixed = [1]
        constants, _ = model.compute_partial_dependence_function(fixed, np.zeros((1, 1)), x)
        for (c_plus, c_minus), stage in zip(constants, model.stage_predictors):
            assert type(c_plus) is float and type(c_minus) is float
            grid = grid_of(stage.combined_grid_tensor)
            # A fixed feature with the neutral factor 1 leaves what the constants hold.
            grid.backbone[1] = [1.0] * len(grid.backbone[1])
            grid.tilt[1] = [0.0] * len(grid.tilt[1])
            plus, minus = reference_components(grid, x, clamp=True)
            s_plus, s_minus = scalings(stage)
            assert_close([c_plus, c_minus], [(s_plus * plus).mean(), (-s_minus * minus).mean()])

    def test_all_features_fixed_at_a_sample_sum_to_its_prediction(self, case):
        model, x = case
        _, pd_values = model.compute_partial_dependence_function([0, 1, 2], x[:10], x)
        assert_close(pd_values.sum(axis=1), model.predict(x[:10]), scale=np.abs(pd_values).max())

    def test_no_fixed_feature_gives_the_mean_prediction_in_every_row(self, case):
        model, x = case
        constants, pd_values = model.compute_partial_dependence_function([], np.zeros((4, 0)), x)
        flat = [value for pair in constants for value in pair]
        for row in pd_values:
            np.testing.assert_array_equal(row, flat)
        assert_close(pd_values.sum(axis=1), np.full(4, model.predict(x).mean()), scale=np.abs(pd_values).max())

    @pytest.mark.parametrize("indices", [(2, 0), [2, 0], np.array([2, 0]), np.array([2, 0], dtype=np.uint8)],
                             ids=["tuple", "list", "int64 array", "uint8 array"])
    def test_index_sequences(self, built_case, indices):
        model, x = built_case
        expected = model.compute_partial_dependence_function([2, 0], x[:3, [2, 0]], x)
        result = model.compute_partial_dependence_function(indices, x[:3, [2, 0]], x)
        assert result[0] == expected[0]
        np.testing.assert_array_equal(result[1], expected[1])

    @pytest.mark.parametrize("indices, exception", [
        ("01", TypeError), (0, TypeError), (None, TypeError), ([0.0], TypeError), ([-1], OverflowError),
        (np.array([0.5]), TypeError),
    ])
    def test_refused_index_sequences(self, built_case, indices, exception):
        model, x = built_case
        with pytest.raises(exception) as error:
            model.compute_partial_dependence_function(indices, np.zeros((1, 2)), x)
        if exception is TypeError:
            assert str(error.value).startswith("fixed_indices")

    def test_zero_data_rows_give_nan_without_error(self, built_case):
        model, x = built_case
        constants, pd_values = model.compute_partial_dependence_function([0], x[:2, :1], x[:0])
        assert all(math.isnan(c) for pair in constants for c in pair)
        assert np.isnan(pd_values).all() and pd_values.shape == (2, 6)

    def test_stages_with_different_feature_counts(self, rng, load_model):
        stages = [random_stage(rng, 2), random_stage(rng, 4)]
        model = load_model(encode_model(stages))
        x = query_matrix(rng, [s.primary for s in stages], 30, 4)
        fixed_values = rng.uniform(-3.0, 3.0, size=(3, 1))
        _, pd_values = model.compute_partial_dependence_function([1], fixed_values, x)
        for r, row in enumerate(fixed_values):
            for l, stage in enumerate(model.stage_predictors):
                plus, minus = stage_columns(stage, with_columns(x, [1], row))
                assert_close(pd_values[r, 2 * l:2 * l + 2], [plus.mean(), minus.mean()])


# ---------------------------------------------------------------------------
# First-order partial dependence.

class TestFirstOrder:
    def test_each_feature_equals_partial_dependence_with_it_fixed(self, case, rng):
        model, x = case
        values_x = np.vstack([x[:4], rng.uniform(-2.0, 2.0, size=(3, N_FEATURES))])
        functions = model.compute_first_order_partial_dependence_functions(values_x, x)
        assert type(functions) is list and len(functions) == N_FEATURES
        for j, (constants, pd_values) in enumerate(functions):
            expected_constants, expected_values = model.compute_partial_dependence_function(
                [j], values_x[:, [j]], x)
            assert pd_values.shape == (len(values_x), 2 * len(model.stage_predictors))
            assert_close(np.array(constants), np.array(expected_constants))
            assert_close(pd_values, expected_values)
            for r, value in enumerate(values_x[:, j]):
                for l, stage in enumerate(model.stage_predictors):
                    plus, minus = stage_columns(stage, with_columns(x, [j], value))
                    assert_close(pd_values[r, 2 * l:2 * l + 2], [plus.mean(), minus.mean()])

    def test_one_feature_constants_are_the_scaled_lambdas(self, load_model, rng):
        stages = [
            Stage(primary=one_feature_grid([0.0], [1.5, 0.5], [0.3, -0.2], 1.25, 0.75),
                  scaling_plus=2.0, scaling_minus=3.0),
            Stage(primary=one_feature_grid([], [2.0], [0.1], 0.5, 4.0)),  # s+ 1.0, s- 0.0
        ]
        model = load_model(encode_model(stages))
        data_x = rng.uniform(-1.0, 1.0, size=(7, 1))
        (constants, pd_values), = model.compute_first_order_partial_dependence_functions(np.array([[-1.0]]), data_x)
        assert constants == [(2.0 * 1.25, -3.0 * 0.75), (0.5, -0.0)]
        assert_close(pd_values, [[2.5 * 1.5 * math.exp(0.3), -2.25 * 1.5 * math.exp(-0.3),
                                  0.5 * 2.0 * math.exp(0.1), 0.0]])


# ---------------------------------------------------------------------------
# ICE curves.

class TestIceCurves:
    @pytest.mark.parametrize("feature", range(N_FEATURES))
    def test_curves_are_predictions_with_the_feature_replaced(self, case, feature):
        model, x = case
        observations = x[:6]
        x_range = np.concatenate([observations[:, feature], [-5.0, 0.0, 0.37, 5.0]])
        curves = model.compute_ice_curves(observations, feature, x_range, x)
        stages = model.stage_predictors
        assert curves.shape == (6, len(x_range), 2 * len(stages))
        # At the observation's own value the curve is its prediction.
        own = curves[np.arange(6), np.arange(6)].sum(axis=1)
        assert_close(own, model.predict(observations), scale=np.abs(curves).max())
        for i in range(6):
            moved = with_columns(np.repeat(observations[i:i + 1], len(x_range), axis=0), [feature],
                                 x_range[:, None])
            for l, stage in enumerate(stages):
                plus, minus = stage_columns(stage, moved)
                assert_close(curves[i, :, 2 * l], plus)
                assert_close(curves[i, :, 2 * l + 1], minus)

    def test_rows_of_data_x_are_not_used(self, built_case):
        model, x = built_case
        with_rows = model.compute_ice_curves(x[:4], 1, np.linspace(-3, 3, 5), x)
        without_rows = model.compute_ice_curves(x[:4], 1, np.linspace(-3, 3, 5), np.zeros((0, N_FEATURES)))
        np.testing.assert_array_equal(with_rows, without_rows)

    def test_no_observations(self, built_case):
        model, x = built_case
        assert model.compute_ice_curves(x[:0], 0, np.ones(3), x).shape == (0, 3, 6)
        assert model.compute_ice_predictions(x[:0], 0, np.ones(3)).shape == (0, 3)

    @pytest.mark.parametrize("feature", range(N_FEATURES))
    def test_predictions_are_the_curves_summed_over_stages(self, case, feature):
        model, x = case
        x_range = np.concatenate([x[:5, feature], [-5.0, 0.37, 5.0]])
        curves = model.compute_ice_curves(x, feature, x_range, x)
        predictions = model.compute_ice_predictions(x, feature, x_range)
        assert predictions.shape == (len(x), len(x_range))
        assert_close(predictions, curves.sum(axis=2), scale=np.abs(curves).max())


# ---------------------------------------------------------------------------
# Contributions (Shapley values against their definition: tests/test_contributions.py).

def test_contributions_add_up_to_the_prediction_from_the_mean_background_prediction(case):
    model, x = case
    values, base_value = model.compute_contributions(x, x[::4])
    assert values.shape == x.shape and isinstance(base_value, float)
    assert base_value == pytest.approx(model.predict(x[::4]).mean(), rel=1e-13)
    assert_close(values.sum(axis=1) + base_value, model.predict(x))
    # Any layout of the inputs, and any order of the background rows, gives the same bits.
    np.testing.assert_array_equal(model.compute_contributions(np.asfortranarray(x), x[::4][::-1])[0], values)


def test_absent_minus_scaling_gives_zero_minus_columns(rng, load_model):
    stage = random_stage(rng, 2)
    stage.scaling_minus = None
    model = load_model(encode_model([stage]))
    x = rng.uniform(-3.0, 3.0, size=(6, 2))
    _, pd_values = model.compute_partial_dependence_function([0], x[:, :1], x)
    (_, first_order), _ = model.compute_first_order_partial_dependence_functions(x, x)
    curves = model.compute_ice_curves(x, 1, np.linspace(-2, 2, 4), x)
    for minus in (pd_values[:, 1], first_order[:, 1], curves[:, :, 1]):
        np.testing.assert_array_equal(minus, 0.0)
    assert (pd_values[:, 0] != 0).all()


def test_empty_model_shapes(empty_model):
    x = np.ones((5, 2))
    constants, pd_values = empty_model.compute_partial_dependence_function([1], np.ones((3, 1)), x)
    assert constants == [] and pd_values.shape == (3, 0)
    functions = empty_model.compute_first_order_partial_dependence_functions(np.ones((4, 2)), x)
    assert len(functions) == 2
    for constants, values in functions:
        assert constants == [] and values.shape == (4, 0)
    assert empty_model.compute_ice_curves(np.ones((3, 2)), 1, np.ones(4), x).shape == (3, 4, 0)
    np.testing.assert_array_equal(empty_model.compute_ice_predictions(np.ones((3, 2)), 1, np.ones(4)),
                                  np.zeros((3, 4)))
    backbone, tilt = empty_model.compute_per_stage_feature_importance(x)
    assert backbone.shape == (0, 2) and tilt.shape == (0, 2)
    values, base_value = empty_model.compute_contributions(np.ones((3, 2)), x)
    np.testing.assert_array_equal(values, np.zeros((3, 2)))
    assert base_value == 0.0


# ---------------------------------------------------------------------------
# Feature importance.

class TestPerStageImportance:
    def test_population_variances_of_log_backbone_and_tilt(self, case):
        model, x = case
        backbone, tilt = model.compute_per_stage_feature_importance(x)
        stages = model.stage_predictors
        assert backbone.shape == tilt.shape == (len(stages), N_FEATURES)
        for l, stage in enumerate(stages):
            grid = grid_of(stage.combined_grid_tensor)
            for j in range(N_FEATURES):
                k = np.searchsorted(grid.splits[j], x[:, j], side="right")
                k[np.isnan(x[:, j])] = 0
                k = np.minimum(k, len(grid.backbone[j]) - 1)
                assert_close(backbone[l, j], np.var(np.log(np.array(grid.backbone[j])[k])))
                assert_close(tilt[l, j], np.var(np.array(grid.tilt[j])[k]))

    def test_half_rows_in_backbone_one_and_e(self, load_model):
        grid = Grid(splits=[[0.0], [0.0]], backbone=[[1.0, math.e], [2.0, 3.0]], tilt=[[-0.5, 0.5], [0.7, 0.1]])
        model = load_model(encode_model([Stage(primary=grid, scaling_plus=5.0, scaling_minus=2.0)]))
        # Feature 0 splits the rows in halves; feature 1 keeps them all in one interval.
        x = np.array([[-1.0, 1.0], [-2.0, 2.0], [0.0, 3.0], [4.0, 4.0]])
        backbone, tilt = model.compute_per_stage_feature_importance(x)
        assert backbone[0, 0] == pytest.approx(0.25, rel=1e-15)
        assert tilt[0, 0] == pytest.approx(0.25, rel=1e-15)
        assert backbone[0, 1] == pytest.approx(0.0, abs=1e-30) and tilt[0, 1] == pytest.approx(0.0, abs=1e-30)


def energy_stage(scaling_plus, scaling_minus, lambda_plus=1.0, lambda_minus=0.5):
    """A stage whose contribution is the same on every row."""
    return Stage(primary=constant_grid(2, lambda_plus, lambda_minus), scaling_plus=scaling_plus,
                 scaling_minus=scaling_minus)


class TestAggregatedImportance:
    @pytest.mark.parametrize("stages, weights", [
        # Contributions 1 and 2: energies 1 and 4.
        ([energy_stage(1.0, 0.0), energy_stage(2.0, 0.0)], [0.2, 0.8]),
        # Contributions 1 - 0.5 * 2 = 0 and 3 * 1 - 1 * 0.5 = 2.5: all weight on the second.
        ([energy_stage(1.0, 2.0), energy_stage(3.0, 1.0)], [0.0, 1.0]),
        # Absent scalings count as s+ = 1, s- = 0: f+ alone, like (1, 0).
        ([energy_stage(None, None), energy_stage(1.0, 0.0)], [0.5, 0.5]),
        # Every stage predicts 0: equal weights.
        ([energy_stage(0.0, 0.0)] * 3, [1 / 3] * 3),
        ([energy_stage(1.0, 2.0), energy_stage(0.0, 5.0, lambda_minus=0.0)], [0.5, 0.5]),
    ], ids=["one to four", "zero energy", "absent scalings", "all zero", "all zero mixed"])
    def test_weights_are_energy_shares(self, load_model, stages, weights):
        model = load_model(encode_model(stages))
        _, _, result = model.compute_aggregated_feature_importance(np.ones((5, 2)))
        assert_close(result, weights)

    def test_weights_sum_to_one_and_weight_the_stage_importances(self, case):
        model, x = case
        backbone, tilt, weights = model.compute_aggregated_feature_importance(x)
        per_stage_backbone, per_stage_tilt = model.compute_per_stage_feature_importance(x)
        assert weights.shape == (len(model.stage_predictors),)
        assert weights.sum() == pytest.approx(1.0, rel=1e-12)
        energies = np.array([np.mean((plus + minus) ** 2) for plus, minus in
                             (stage_columns(s, x) for s in model.stage_predictors)])
        assert_close(weights, energies / energies.sum())
        assert_close(backbone, weights @ per_stage_backbone)
        assert_close(tilt, weights @ per_stage_tilt)

    def test_data_without_rows_gives_nan_importances_and_equal_weights(self, built_case):
        model, _ = built_case
        backbone, tilt, weights = model.compute_aggregated_feature_importance(np.zeros((0, N_FEATURES)))
        assert np.isnan(backbone).all() and np.isnan(tilt).all()
        np.testing.assert_array_equal(weights, [1 / 3] * 3)


class TestCombinedImportance:
    @pytest.mark.parametrize("gamma_arguments, gamma", [
        ({}, 1.0), ({"gamma": None}, 1.0), ({"gamma": 1.0}, 1.0), ({"gamma": 0.0}, 0.0), ({"gamma": 2.5}, 2.5),
        ({"gamma": 3}, 3.0),
    ], ids=["omitted", "None", "1.0", "0.0", "2.5", "int"])
    def test_backbone_plus_gamma_times_tilt(self, case, gamma_arguments, gamma):
        model, x = case
        combined, backbone, tilt = model.compute_combined_feature_importance(x, **gamma_arguments)
        aggregated_backbone, aggregated_tilt, _ = model.compute_aggregated_feature_importance(x)
        np.testing.assert_array_equal(backbone, aggregated_backbone)
        np.testing.assert_array_equal(tilt, aggregated_tilt)
        np.testing.assert_array_equal(combined, backbone + gamma * tilt)
        if gamma == 0.0:
            np.testing.assert_array_equal(combined, backbone)

    def test_gamma_positionally(self, built_case):
        model, x = built_case
        combined, backbone, tilt = model.compute_combined_feature_importance(x, 0.5)
        np.testing.assert_array_equal(combined, backbone + 0.5 * tilt)

    def test_gamma_of_wrong_type_is_named(self, built_case):
        model, x = built_case
        with pytest.raises(TypeError, match="^gamma"):
            model.compute_combined_feature_importance(x, "1.0")


# ---------------------------------------------------------------------------
# Validation messages and their order.

def pd_call(indices, fixed_columns, data_columns, rows=3):
    return lambda m: m.compute_partial_dependence_function(indices, np.zeros((rows, fixed_columns)),
                                                           np.zeros((rows, data_columns)))


def first_order_call(value_columns, data_columns, data_rows=3):
    return lambda m: m.compute_first_order_partial_dependence_functions(np.zeros((2, value_columns)),
                                                                        np.zeros((data_rows, data_columns)))


def ice_call(feature, observation_columns, data_columns, range_size=3, observation_rows=2):
    return lambda m: m.compute_ice_curves(np.zeros((observation_rows, observation_columns)), feature,
                                          np.zeros(range_size), np.zeros((4, data_columns)))


def ice_predictions_call(feature, observation_columns, range_size=3, observation_rows=2):
    return lambda m: m.compute_ice_predictions(np.zeros((observation_rows, observation_columns)), feature,
                                               np.zeros(range_size))


def contributions_call(x_columns, background_columns, background_rows=3):
    return lambda m: m.compute_contributions(np.zeros((2, x_columns)),
                                             np.zeros((background_rows, background_columns)))


MISMATCH_3 = "Feature dimension mismatch: data has 3 features, but model has 2"


@pytest.fixture
def five_feature_model(rng, load_model):
    return load_model(encode_model([random_stage(rng, 5), random_stage(rng, 5)]))


@pytest.fixture
def mixed_model(rng, load_model):
    """Stage 0 with 2 features, stage 1 with 3."""
    return load_model(encode_model([random_stage(rng, 2), random_stage(rng, 3)]))


class TestValidation:
    @pytest.mark.parametrize("call, message", [
        (pd_call([0, 1], 1, 5), "fixed_values must have 2 columns (one per fixed_indices), got 1"),
        (pd_call([], 1, 5), "fixed_values must have 0 columns (one per fixed_indices), got 1"),
        # The column count is checked before duplicates.
        (pd_call([2, 2], 1, 5), "fixed_values must have 2 columns (one per fixed_indices), got 1"),
        (pd_call([2, 2], 2, 5), "fixed_indices must contain unique values"),
        (pd_call([3, 1, 3], 3, 5), "fixed_indices must contain unique values"),
        (pd_call([0, 7], 2, 5), "Feature index 7 out of bounds (n_features=5)"),
        (pd_call([5], 1, 5), "Feature index 5 out of bounds (n_features=5)"),
        # Duplicates are checked before bounds.
        (pd_call([7, 7], 2, 5), "fixed_indices must contain unique values"),
        # Bounds are checked before the width of data_x.
        (pd_call([7], 1, 2), "Feature index 7 out of bounds (n_features=5)"),
        (pd_call([0], 1, 4), "Feature count mismatch: data_x has 4 columns but the grid of stage 0 has 5"),
        (pd_call([4], 1, 4), "Feature count mismatch: data_x has 4 columns but the grid of stage 0 has 5"),
        (first_order_call(5, 5, data_rows=0), "data_x must contain at least one sample"),
        # No rows is checked before the column counts.
        (first_order_call(4, 5, data_rows=0), "data_x must contain at least one sample"),
        (first_order_call(4, 5), "values_x and data_x must have the same number of columns, got 4 and 5"),
        (first_order_call(4, 4), "Feature count mismatch: values_x has 4 columns but grid has 5"),
        (ice_call(5, 5, 5), "feature_index 5 out of bounds (n_features=5)"),
        # The feature index is checked before everything else.
        (ice_call(5, 5, 4, range_size=0), "feature_index 5 out of bounds (n_features=5)"),
        (ice_call(1, 5, 4, range_size=0),
         "observations and data_x must have the same number of columns, got 5 and 4"),
        (ice_call(1, 5, 5, range_size=0), "x_range must contain at least one value"),
        (ice_call(1, 4, 4, range_size=0), "x_range must contain at least one value"),
        (ice_call(1, 4, 4), "Feature count mismatch: observations has 4 columns but grid has 5"),
        # The stage check is made without observations too.
        (ice_call(1, 6, 6, observation_rows=0), "Feature count mismatch: observations has 6 columns but grid has 5"),
        (ice_predictions_call(5, 5, range_size=0), "feature_index 5 out of bounds (n_features=5)"),
        (ice_predictions_call(1, 5, range_size=0), "x_range must contain at least one value"),
        (ice_predictions_call(1, 4, observation_rows=0),
         "Feature count mismatch: observations has 4 columns but grid has 5"),
        (contributions_call(5, 4, background_rows=0),
         "x and background must have the same number of columns, got 5 and 4"),
        (contributions_call(5, 5, background_rows=0), "background must contain at least one row"),
        (contributions_call(4, 4), "x has 4 columns but the model has 5 features"),
        (lambda m: m.compute_per_stage_feature_importance(np.zeros((3, 6))),
         "Feature dimension mismatch: data has 6 features, but model has 5"),
        (lambda m: m.compute_aggregated_feature_importance(np.zeros((3, 6))),
         "Feature dimension mismatch: data has 6 features, but model has 5"),
        (lambda m: m.compute_combined_feature_importance(np.zeros((3, 4)), 0.0),
         "Feature dimension mismatch: data has 4 features, but model has 5"),
    ])
    def test_messages(self, five_feature_model, call, message):
        with pytest.raises(ValueError) as error:
            call(five_feature_model)
        assert str(error.value) == message

    @pytest.mark.parametrize("call, message", [
        (pd_call([2], 1, 3), "Feature index 2 out of bounds (n_features=2)"),
        (pd_call([1], 1, 2), "Feature count mismatch: data_x has 2 columns but the grid of stage 1 has 3"),
        (first_order_call(2, 2), "Feature count mismatch: values_x has 2 columns but grid has 3"),
        (first_order_call(3, 3), "Feature count mismatch: values_x has 3 columns but grid has 2"),
        (ice_call(0, 3, 3), "Feature count mismatch: observations has 3 columns but grid has 2"),
        (ice_call(0, 2, 2), "Feature count mismatch: observations has 2 columns but grid has 3"),
        (ice_predictions_call(0, 3), "Feature count mismatch: observations has 3 columns but grid has 2"),
        (contributions_call(2, 2), "x has 2 columns but stage 1 of the model has 3 features"),
        (lambda m: m.compute_per_stage_feature_importance(np.zeros((3, 2))),
         "Feature dimension mismatch: data has 2 features, but model has 3"),
        (lambda m: m.compute_aggregated_feature_importance(np.zeros((3, 3))), MISMATCH_3),
        (lambda m: m.compute_combined_feature_importance(np.zeros((3, 3))), MISMATCH_3),
    ])
    def test_stages_with_different_feature_counts(self, mixed_model, call, message):
        with pytest.raises(ValueError) as error:
            call(mixed_model)
        assert str(error.value) == message

    @pytest.mark.parametrize("call", [
        lambda m: m.compute_aggregated_feature_importance(np.zeros((3, 2))),
        lambda m: m.compute_combined_feature_importance(np.zeros((3, 2)), None),
    ], ids=["aggregated", "combined"])
    def test_model_without_stages(self, empty_model, call):
        with pytest.raises(ValueError, match="^Model has no stages$"):
            call(empty_model)

    @pytest.mark.parametrize("call, name", [
        (lambda m: m.compute_partial_dependence_function([1, 1], np.zeros((2, 1)), [[0.0]]), "data_x"),
        (lambda m: m.compute_partial_dependence_function([9], np.zeros((2, 1), dtype=np.float32),
                                                         np.zeros((2, 5))), "fixed_values"),
        (lambda m: m.compute_first_order_partial_dependence_functions(np.zeros((2, 4)), np.zeros(5)), "data_x"),
        (lambda m: m.compute_ice_curves(np.zeros((2, 5)), 9, [0.0], np.zeros((2, 5))), "x_range"),
        (lambda m: m.compute_ice_curves(np.zeros((2, 5)), 1.0, np.zeros(0), np.zeros((2, 5))), "feature_index"),
        (lambda m: m.compute_combined_feature_importance(np.zeros((2, 7)), "x"), "gamma"),
    ])
    def test_conversion_errors_come_before_validation(self, five_feature_model, call, name):
        with pytest.raises(TypeError) as error:
            call(five_feature_model)
        assert str(error.value).startswith(name)

    def test_negative_feature_index(self, five_feature_model):
        with pytest.raises(OverflowError):
            five_feature_model.compute_ice_curves(np.zeros((2, 5)), -1, np.zeros(2), np.zeros((2, 5)))


# Records only a file can hold; the analysis methods must refuse them (or
# clamp, as the stage evaluation does) and never read out of bounds.
class TestMalformedModels:
    CALLS = {
        "partial dependence": lambda m, x: m.compute_partial_dependence_function([0], x[:, :1], x),
        "first order": lambda m, x: m.compute_first_order_partial_dependence_functions(x, x),
        "ice": lambda m, x: m.compute_ice_curves(x, 0, np.array([0.5]), x),
        "per stage": lambda m, x: m.compute_per_stage_feature_importance(x),
        "aggregated": lambda m, x: m.compute_aggregated_feature_importance(x),
        "combined": lambda m, x: m.compute_combined_feature_importance(x),
    }

    @pytest.mark.parametrize("grid", [
        Grid(splits=[[0.0], []], backbone=[[1.0, 2.0], []], tilt=[[0.0, 0.0], []]),
        Grid(splits=[[0.0], [1.0]], backbone=[[1.0, 2.0], [1.0, 3.0]], tilt=[[0.0, 0.0], [0.5]]),
        Grid(splits=[[0.0], [1.0]], backbone=[[1.0, 2.0]], tilt=[[0.0, 0.0], [0.5, 0.1]]),
        Grid(splits=[[0.0], [1.0]], backbone=[[1.0, 2.0], [1.0, 3.0]], tilt=[[0.0, 0.0]]),
    ], ids=["no backbone values", "fewer tilts than backbone values", "fewer backbone lists",
            "fewer tilt lists"])
    @pytest.mark.parametrize("method", CALLS)
    def test_refused(self, load_model, grid, method):
        model = load_model(encode_model([Stage(primary=grid, scaling_plus=1.0, scaling_minus=1.0)]))
        x = np.array([[-1.0, 0.0], [1.0, 2.0]])
        with pytest.raises(ValueError, match="stage 0"):
            self.CALLS[method](model, x)

    def test_more_thresholds_than_values_clamp_to_the_last_interval(self, load_model):
        grid = Grid(splits=[[0.0, 1.0, 2.0], []], backbone=[[1.0, 2.0], [1.5]], tilt=[[0.5, -0.5], [0.2]])
        model = load_model(encode_model([Stage(primary=grid, scaling_plus=1.5, scaling_minus=0.5)]))
        x = np.array([[-1.0, 0.0], [0.5, 0.0], [1.5, 1.0], [9.0, 2.0]])
        curves = model.compute_ice_curves(x, 0, x[:, 0], x)
        stage = model.stage_predictors[0]
        for i in range(len(x)):
            plus, minus = stage_columns(stage, with_columns(np.repeat(x[i:i + 1], 4, axis=0), [0], x[:, :1]))
            assert_close(curves[i, :, 0], plus)
            assert_close(curves[i, :, 1], minus)
        backbone, _ = model.compute_per_stage_feature_importance(x)
        assert backbone[0, 0] == pytest.approx(np.var(np.log([1.0, 2.0, 2.0, 2.0])), rel=1e-14)


# ---------------------------------------------------------------------------
# Frame: layouts, result types, signatures, docstrings.

LAYOUT_CALLS = {
    "partial dependence": lambda m, a: m.compute_partial_dependence_function([2, 0], a[:5, [2, 0]], a),
    "first order": lambda m, a: m.compute_first_order_partial_dependence_functions(a[:5], a),
    "ice": lambda m, a: m.compute_ice_curves(a[:5], 1, a[:, 1], a),
    "per stage": lambda m, a: m.compute_per_stage_feature_importance(a),
    "aggregated": lambda m, a: m.compute_aggregated_feature_importance(a),
    "combined": lambda m, a: m.compute_combined_feature_importance(a, 0.5),
}


def flatten(result):
    if isinstance(result, (list, tuple)):
        return [item for part in result for item in flatten(part)]
    return [np.asarray(result)]


@pytest.mark.parametrize("method", LAYOUT_CALLS)
def test_any_input_layout_gives_the_result_of_its_c_ordered_copy(built_case, method):
    model, x = built_case
    call = LAYOUT_CALLS[method]
    expected = flatten(call(model, x))
    wide = np.zeros((2 * len(x), 2 * N_FEATURES + 1))
    wide[::2, 1::2] = x
    reversed_copy = x[::-1, ::-1].copy()
    for layout in (np.asfortranarray(x), wide[::2, 1::2], reversed_copy[::-1, ::-1]):
        before = layout.copy()
        for got, want in zip(flatten(call(model, layout)), expected):
            np.testing.assert_array_equal(got, want)
        np.testing.assert_array_equal(layout, before)


@pytest.mark.parametrize("method", LAYOUT_CALLS)
def test_results_are_new_c_ordered_float64_arrays(built_case, method):
    model, x = built_case
    first, second = LAYOUT_CALLS[method](model, x), LAYOUT_CALLS[method](model, x)
    arrays = [a for a in flatten(first) if a.ndim > 0 and a.size > 1]
    assert arrays
    for array in arrays:
        assert array.dtype == np.float64 and array.flags.c_contiguous and array.flags.writeable
        assert not np.shares_memory(array, x)
        array[...] = 0.0
    for got, fresh in zip(flatten(second), flatten(LAYOUT_CALLS[method](model, x))):
        np.testing.assert_array_equal(got, fresh)


def test_result_containers(built_case):
    model, x = built_case
    result = model.compute_partial_dependence_function([0], x[:2, :1], x)
    assert type(result) is tuple and len(result) == 2
    assert all(type(pair) is tuple and len(pair) == 2 for pair in result[0])
    functions = model.compute_first_order_partial_dependence_functions(x[:2], x)
    assert all(type(entry) is tuple and type(entry[0]) is list for entry in functions)
    assert type(model.compute_per_stage_feature_importance(x)) is tuple
    assert len(model.compute_aggregated_feature_importance(x)) == 3
    assert len(model.compute_combined_feature_importance(x)) == 3


SIGNATURES = {
    "compute_partial_dependence_function": "($self, fixed_indices, fixed_values, data_x)",
    "compute_first_order_partial_dependence_functions": "($self, values_x, data_x)",
    "compute_ice_curves": "($self, observations, feature_index, x_range, data_x)",
    "compute_per_stage_feature_importance": "($self, data_x)",
    "compute_aggregated_feature_importance": "($self, data_x)",
    "compute_combined_feature_importance": "($self, data_x, gamma=None)",
}


@pytest.mark.parametrize("name", SIGNATURES)
def test_signature_and_docstring(name):
    method = getattr(ZUN, name)
    assert method.__text_signature__ == SIGNATURES[name]
    parameters = list(inspect.signature(method).parameters)[1:]  # after self
    doc = method.__doc__
    # The docstring describes the computation, names every parameter and gives the result shapes.
    assert doc and not doc.startswith(name)
    assert "Parameters" in doc and "Returns" in doc and "shape (" in doc
    for parameter in parameters:
        assert f"\n{parameter} : " in doc


@pytest.mark.parametrize("name", SIGNATURES)
def test_wrong_self_and_binding_errors(name, built_case):
    model, _ = built_case
    with pytest.raises(TypeError):
        getattr(ZUN, name)(np.zeros((2, 2)), np.zeros((2, 2)))
    with pytest.raises(TypeError, match=rf"ZUN\.{name}\(\).*'bogus'"):
        getattr(model, name)(bogus=1)
    with pytest.raises(TypeError, match=rf"ZUN\.{name}\(\)"):
        getattr(model, name)(*([0] * 5))


def test_keywords_bind_by_name(built_case):
    model, x = built_case
    by_position = model.compute_ice_curves(x[:2], 2, np.array([0.0, 1.0]), x)
    by_keyword = model.compute_ice_curves(data_x=x, x_range=np.array([0.0, 1.0]), feature_index=2,
                                          observations=x[:2])
    np.testing.assert_array_equal(by_position, by_keyword)
