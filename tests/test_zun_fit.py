import hashlib
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from _zunmerak import ZUN, StagePredictor


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(5)
    x = rng.uniform(size=(101, 4))
    y = 10 * np.sin(np.pi * x[:, 0] * x[:, 1]) + 20 * (x[:, 2] - 0.5) ** 2 + 5 * x[:, 3] + rng.normal(size=101)
    return x, y


def quick_fit(x, y, epochs=2, **kwargs):
    arguments = dict(n_trees=3, n_iter=4, verbosity=0)
    arguments.update(kwargs)
    return ZUN.fit(x, y, epochs, **arguments)


def model_bytes(model, tmp_path, name="model.zun"):
    path = tmp_path / name
    model.save(str(path))
    return path.read_bytes()


def test_defaults_give_three_scaled_stages_matching_y_hat(data):
    x, y = data
    fitted = ZUN.fit(x, y, 3, verbosity=0)
    assert isinstance(fitted, tuple) and len(fitted) == 2
    model, result = fitted
    stages = model.stage_predictors
    assert len(stages) == 3 and all(isinstance(s, StagePredictor) for s in stages)
    for stage in stages:
        assert stage.scaling_plus is not None and stage.scaling_minus is not None
        assert stage.candidate_indices == list(range(10))
        assert len(stage.grid_tensors) == 10
    prediction = model.predict(x)
    np.testing.assert_allclose(prediction, result.y_hat, rtol=1e-9, atol=1e-9 * np.abs(y).max())
    summed = np.zeros(len(y))
    for stage in stages:
        summed += stage.predict(x)
    np.testing.assert_array_equal(prediction, summed)
    np.testing.assert_array_equal(result.residuals, y - result.y_hat)
    assert result.err == pytest.approx(np.mean(result.residuals**2), rel=1e-12)
    assert result.err < np.var(y)


def test_save_and_load_reproduce_predictions_bit_for_bit(data, tmp_path):
    x, y = data
    model, _ = quick_fit(x, y, epochs=3, alpha=1.0)
    saved = model_bytes(model, tmp_path)
    loaded = ZUN.load(str(tmp_path / "model.zun"))
    np.testing.assert_array_equal(loaded.predict(x), model.predict(x))
    assert model_bytes(loaded, tmp_path, "again.zun") == saved


def test_zero_epochs_give_an_empty_model(data):
    x, y = data
    model, result = ZUN.fit(x, y, 0, verbosity=0)
    assert model.stage_predictors == []
    np.testing.assert_array_equal(model.predict(x), np.zeros(len(y)))
    np.testing.assert_array_equal(result.y_hat, np.zeros(len(y)))
    np.testing.assert_array_equal(result.residuals, y)
    assert result.err == pytest.approx(np.mean(y**2), rel=1e-12)


def test_same_seed_same_model_other_seed_other_model(data, tmp_path):
    x, y = data
    first = model_bytes(quick_fit(x, y)[0], tmp_path, "a.zun")
    second = model_bytes(quick_fit(x, y)[0], tmp_path, "b.zun")
    other = model_bytes(quick_fit(x, y, seed=7)[0], tmp_path, "c.zun")
    assert first == second
    assert first != other


@pytest.mark.parametrize(
    "changed",
    [
        {"bagged": True},
        {"split_try": 3, "colsample_bytree": 0.5, "top_k": 2, "must_fill_all_k": False},
        {"complexity_penalty": 5.0, "prior_sample_size": 3.0, "update_clamp": 2.0},
    ],
    ids=["bagged", "fields-best_split-ignores", "carried-only"],
)
def test_arguments_without_effect_leave_the_model_unchanged(data, tmp_path, changed):
    x, y = data
    base = dict(split_strategy="best_split", alpha=1.0)
    reference = model_bytes(quick_fit(x, y, **base)[0], tmp_path, "ref.zun")
    assert model_bytes(quick_fit(x, y, **base, **changed)[0], tmp_path, "changed.zun") == reference


@pytest.mark.parametrize("strategy", ["random", "best_split", "top_k"])
@pytest.mark.parametrize("refinement", ["l2", "huber"])
def test_every_strategy_fits(data, strategy, refinement):
    x, y = data
    model, result = quick_fit(x, y, split_strategy=strategy, refinement_strategy=refinement, alpha=1.0)
    assert len(model.stage_predictors) == 2
    assert np.isfinite(result.err) and result.err < np.var(y)


@pytest.mark.parametrize("rows", [1, 2, 3])
def test_min_interval_samples_zero_never_cuts_before_the_first_sample(data, rows):
    # 0 is no meaningful setting, but a fit with it must not try a cut that
    # leaves the left side empty, even on one row.
    x, y = data
    model, result = quick_fit(x[:rows], y[:rows], min_interval_samples=0, alpha=1.0)
    for stage in model.stage_predictors:
        for tree in stage.grid_tensors:
            assert all(len(s) < rows for s in tree.splits)
    assert np.isfinite(result.err)


def test_decay_shrinks_the_iterations_of_later_stages(data):
    x, y = data
    model, _ = quick_fit(x, y, epochs=4, n_iter=8, decay=0.5)
    # A tree makes at most n_iter net splits: 8, 4, 2, 1.
    for stage, budget in zip(model.stage_predictors, [8, 4, 2, 1]):
        most = max(sum(len(s) for s in tree.splits) for tree in stage.grid_tensors)
        assert most <= budget


@pytest.mark.parametrize(
    "arguments, message",
    [
        ({"n_trees": 0}, "n_trees must be at least 1, got 0"),
        ({"similarity_threshold": 1.0}, "similarity_threshold must be a number below 1, got 1.0"),
        ({"colsample_bytree": 2.0}, "colsample_bytree 2 asks for"),
        ({"split_strategy": "top_k", "top_k": 0}, "top_k must be at least 1"),
        ({"row_partitions": 0}, "row_partitions must be an integer from 1 to 101 or None, got 0"),
        ({"row_partitions": 102}, "row_partitions must be an integer from 1 to 101 or None, got 102"),
        ({"row_partitions": -1}, "row_partitions must be an integer from 1 to 101 or None, got -1"),
        ({"x_valid": np.zeros((3, 4))}, "x_valid and y_valid go together: got x_valid without y_valid"),
        ({"n_iter_no_change": 3}, r"early stopping \(n_iter_no_change\) needs validation rows"),
        ({"x_valid": np.zeros((3, 2)), "y_valid": np.zeros(3)}, "x_valid has 2 columns but x has 4"),
        ({"x_valid": np.full((3, 4), np.nan), "y_valid": np.zeros(3)}, "x_valid has NaN at row 0, column 0"),
        ({"x_valid": np.zeros((1, 4)), "y_valid": np.zeros(1)}, "the validation rows must be at least 2, got 1"),
        ({"x_valid": np.zeros((2, 4)), "y_valid": np.array([0.0, np.inf])}, "y_valid has inf at index 1"),
        ({"x_valid": np.zeros((2, 4)), "y_valid": np.zeros(2), "n_iter_no_change": 0},
         "n_iter_no_change must be an integer from 1 to"),
        ({"x_valid": np.zeros((2, 4)), "y_valid": np.zeros(2), "n_iter_no_change": 2, "tol": -1.0},
         "tol must be a finite number >= 0, got -1.0"),
        ({"scaling_ridge": -0.5}, "scaling_ridge must be a finite number >= 0, got -0.5"),
        ({"scaling_ridge": np.nan}, "scaling_ridge must be a finite number >= 0, got NaN"),
    ],
)
def test_fit_errors_reach_python_and_the_next_fit_works(data, arguments, message):
    x, y = data
    with pytest.raises(ValueError, match=message):
        quick_fit(x, y, **arguments)
    model, _ = quick_fit(x, y)
    assert len(model.stage_predictors) == 2


def test_similarity_threshold_trims_to_the_trees_nearest_the_medoid(data, capfd):
    x, y = data
    model, result = quick_fit(x, y, n_trees=5, similarity_threshold=0.5, verbosity=1)
    out = capfd.readouterr().out
    assert "Selected 3 out of 5 grids (trim_percentage=0.50, keep_count=3)" in out
    assert "as median (medoid) with total distance" in out
    assert np.isfinite(result.err)


@pytest.mark.parametrize("verbosity, present, absent", [
    (0, [], ["[INFO]", "[DEBUG]"]),
    (1, ["[zun::forest::fitter] [INFO] Fitting epoch 0"], ["[DEBUG]"]),
    (4, ["[zun::forest::fitter] [INFO] Fitting epoch 0"], ["[DEBUG]"]),
    (2, ["[DEBUG] Fitted tree grid, lambda+: "], ["[TRACE]"]),
])
def test_verbosity_sets_the_console_level(data, capfd, verbosity, present, absent):
    x, y = data
    quick_fit(x, y, epochs=1, verbosity=verbosity)
    out = capfd.readouterr().out
    for text in present:
        assert text in out
    for text in absent:
        assert text not in out


def test_unstable_scalings_are_reported(capfd):
    # Targets of both signs at alpha 0: the later stages' f+ and -f- columns
    # are nearly proportional (condition number ~1e13 here); alpha 1 keeps the
    # problem sound.
    rng = np.random.default_rng(1)
    x = rng.uniform(size=(101, 4))
    y = np.sin(6 * x[:, 0]) + x[:, 1] - 0.5 + 0.1 * rng.normal(size=101)
    with pytest.warns(RuntimeWarning, match="condition number"):
        quick_fit(x, y, epochs=4, n_iter=6, verbosity=1)
    out = capfd.readouterr().out
    assert "[zun::forest::fitter] [WARN] Design matrix of epoch" in out
    assert "alpha >= 1" in out
    quick_fit(x, y, epochs=4, n_iter=6, alpha=1.0, verbosity=1)
    assert "[WARN] Design matrix" not in capfd.readouterr().out


@pytest.fixture(scope="module")
def overfitting():
    """40 training rows: past 20 epochs the scaling has more columns than rows and the validation error climbs."""
    rng = np.random.default_rng(8)
    x = rng.uniform(size=(240, 3))
    y = np.sin(6 * x[:, 0]) + x[:, 1] + 0.3 * rng.normal(size=240)
    return x[:40], y[:40], x[40:], y[40:]


def test_early_stopping_keeps_the_best_epoch_as_a_fit_of_that_many_epochs(overfitting):
    x, y, x_valid, y_valid = overfitting
    records = []
    model, result = quick_fit(x, y, epochs=60, alpha=1.0, x_valid=x_valid, y_valid=y_valid, n_iter_no_change=3,
                              callback=records.append)
    best = result.best_epoch
    assert len(result.epoch_errors) == len(result.validation_errors) == best + 4 < 60
    assert len(model.stage_predictors) == best + 1
    asked, asked_result = quick_fit(x, y, epochs=best + 1, alpha=1.0)
    assert model.to_bytes() == asked.to_bytes()
    np.testing.assert_array_equal(result.y_hat, asked_result.y_hat)
    assert result.err == asked_result.err
    # The error reported for the best epoch is that of the returned model.
    rmse = np.sqrt(np.mean((model.predict(x_valid) - y_valid) ** 2))
    assert np.sqrt(result.validation_errors[best]) == pytest.approx(rmse, rel=1e-12)
    # The callback sees every epoch fitted, with its validation error.
    ends = [r for r in records if r.train_error is not None]
    assert [r.validation_error for r in ends] == list(result.validation_errors)


def test_validation_rows_without_stopping_score_every_epoch_and_change_nothing(overfitting):
    x, y, x_valid, y_valid = overfitting
    scored, result = quick_fit(x, y, epochs=4, alpha=1.0, x_valid=x_valid, y_valid=y_valid)
    plain, plain_result = quick_fit(x, y, epochs=4, alpha=1.0)
    assert scored.to_bytes() == plain.to_bytes()
    assert len(result.validation_errors) == 4
    assert result.best_epoch == int(np.argmin(result.validation_errors))
    assert plain_result.best_epoch is None and len(plain_result.validation_errors) == 0


def test_colsample_draws_among_eligible_features_only_when_asked(data):
    # Natively a fraction below 1 examines every eligible feature while there
    # are enough of them, so any fraction gives the same model; drawn among
    # the eligible ones, the fraction changes the model.
    x, y = data
    native = {quick_fit(x, y, colsample_bytree=c, alpha=1.0)[0].to_bytes() for c in (0.0, 0.25, 0.5, 0.8)}
    assert len(native) == 1
    drawn = {quick_fit(x, y, colsample_bytree=c, alpha=1.0, colsample_eligible=True)[0].to_bytes()
             for c in (0.25, 0.5, 1.0)}
    assert len(drawn) == 3


@pytest.mark.filterwarnings("ignore:Design matrix of epoch")
def test_scaling_ridge_shrinks_the_stages_and_zero_is_the_plain_solve(overfitting):
    x, y, x_valid, y_valid = overfitting
    plain = quick_fit(x, y, epochs=30, alpha=1.0)[0]
    assert quick_fit(x, y, epochs=30, alpha=1.0, scaling_ridge=0.0)[0].to_bytes() == plain.to_bytes()
    spreads = []
    for ridge in (0.0, 1.0, 1e9):
        model = quick_fit(x, y, epochs=30, alpha=1.0, scaling_ridge=ridge)[0]
        spreads.append(np.std(model.predict(x_valid)))
    assert spreads[0] > spreads[1] > spreads[2] and spreads[2] < 1e-6
    # On 40 noisy rows and 30 epochs (more columns than rows) the ridge
    # keeps the fit from chasing the noise.
    errors = [np.mean((quick_fit(x, y, epochs=30, alpha=1.0, scaling_ridge=r)[0].predict(x_valid) - y_valid) ** 2)
              for r in (0.0, 1.0)]
    assert errors[1] < errors[0]


def test_one_row_partition_is_the_fit_on_all_rows(data, tmp_path):
    x, y = data
    whole, _ = quick_fit(x, y, epochs=3, alpha=1.0)
    one, _ = quick_fit(x, y, epochs=3, alpha=1.0, row_partitions=1)
    three, _ = quick_fit(x, y, epochs=3, alpha=1.0, row_partitions=3)
    assert one.to_bytes() == whole.to_bytes()
    assert three.to_bytes() != whole.to_bytes()


@pytest.mark.parametrize("max_bins, row_partitions", [(None, None), (16, None), (None, 3), (16, 2)])
def test_results_do_not_depend_on_the_number_of_threads(tmp_path, max_bins, row_partitions):
    script = textwrap.dedent("""
        import hashlib, sys
        import numpy as np
        from _zunmerak import ZUN
        rng = np.random.default_rng(2)
        x = rng.uniform(size=(101, 4))
        y = np.sin(4 * x[:, 0]) + x[:, 1] * x[:, 2] + 0.1 * rng.normal(size=101)
        max_bins, row_partitions = (None if a == "None" else int(a) for a in sys.argv[2:4])
        model, result = ZUN.fit(x, y, 3, n_trees=7, n_iter=5, similarity_threshold=0.3, verbosity=0,
                                max_bins=max_bins, row_partitions=row_partitions)
        model.save(sys.argv[1])
        print(hashlib.sha256(open(sys.argv[1], "rb").read()).hexdigest(), result.err.hex())
    """)
    outputs = set()
    for threads in ["1", "2", "3", "5"]:
        environment = dict(os.environ, OMP_NUM_THREADS=threads)
        run = subprocess.run([sys.executable, "-c", script, str(tmp_path / f"m{threads}.zun"), str(max_bins),
                              str(row_partitions)], env=environment, capture_output=True, text=True, check=True)
        outputs.add(run.stdout.strip())
    assert len(outputs) == 1, outputs


def test_binned_fit_cuts_on_bin_boundaries_and_logs_as_exact(data, capfd, tmp_path):
    x, y = data
    model, result = quick_fit(x, y, epochs=3, alpha=1.0, max_bins=8, verbosity=2)
    out = capfd.readouterr().out
    assert "[zun::forest::fitter] [INFO] Fitting epoch 2" in out
    assert "[DEBUG] Fitted tree grid, lambda+: " in out
    n = x.shape[0]
    boundaries = [{np.sort(x[:, j])[n * q // 8] for q in range(1, 8)} for j in range(x.shape[1])]
    cuts = 0
    for stage in model.stage_predictors:
        for tree in stage.grid_tensors:
            for j, splits in enumerate(tree.splits):
                assert set(splits) <= boundaries[j]
                cuts += len(splits)
    assert cuts > 0
    np.testing.assert_allclose(model.predict(x), result.y_hat, rtol=1e-9, atol=1e-9 * np.abs(y).max())
    assert result.err < np.var(y)
    exact = model_bytes(quick_fit(x, y, epochs=3, alpha=1.0)[0], tmp_path, "exact.zun")
    assert model_bytes(quick_fit(x, y, epochs=3, alpha=1.0, max_bins=None)[0], tmp_path, "none.zun") == exact
    assert model_bytes(model, tmp_path, "binned.zun") != exact
