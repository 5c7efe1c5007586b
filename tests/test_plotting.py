"""zunmerak.plotting drawn with the Agg backend: artists and labels, not pixels."""
import sys

import numpy as np
import pytest
from sklearn.exceptions import NotFittedError

from zunmerak import ZunRegressor, contributions, partial_dependence

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.collections import LineCollection, QuadMesh  # noqa: E402

from zunmerak import plotting  # noqa: E402

pd = pytest.importorskip("pandas")

N_ROWS = 60


@pytest.fixture(scope="module")
def fitted():
    rng = np.random.default_rng(12)
    X = pd.DataFrame({"u": rng.uniform(size=N_ROWS), "v": rng.normal(size=N_ROWS), "w": rng.uniform(size=N_ROWS)})
    y = 10 * X["u"] ** 2 + np.sin(3 * X["v"]) + 0.1 * rng.normal(size=N_ROWS)
    return ZunRegressor(epochs=3, n_trees=3, n_iter=5, random_state=2).fit(X, y), X


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


@pytest.mark.parametrize("max_num_features, shown", [(None, 3), (2, 2), (5, 3)])
def test_importance_bars_largest_on_top(fitted, max_num_features, shown):
    estimator, _ = fitted
    ax = plotting.plot_importance(estimator, max_num_features=max_num_features)
    order = np.argsort(-estimator.feature_importances_, kind="stable")[:shown]
    bars = sorted(ax.patches, key=lambda bar: -bar.get_y())
    assert len(bars) == shown
    np.testing.assert_array_equal([bar.get_width() for bar in bars], estimator.feature_importances_[order])
    labels = {tick.get_position()[1]: tick.get_text() for tick in ax.get_yticklabels()}
    assert [labels[bar.get_y() + bar.get_height() / 2] for bar in bars] == [["u", "v", "w"][i] for i in order]
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("Importance (share of the total)", "Feature")


def test_importance_draws_on_the_given_axes_and_refuses_a_bad_count(fitted):
    estimator, _ = fitted
    _, ax = plt.subplots()
    assert plotting.plot_importance(estimator, ax=ax) is ax
    with pytest.raises(ValueError, match="max_num_features must be a positive int or None, got 0"):
        plotting.plot_importance(estimator, max_num_features=0)


@pytest.mark.parametrize("kind, ice_lines, pd_lines", [("both", 20, 1), ("average", 0, 1), ("individual", 20, 0)])
def test_partial_dependence_lines_and_rug(fitted, kind, ice_lines, pd_lines):
    estimator, X = fitted
    ax = plotting.plot_partial_dependence(estimator, X, "u", kind=kind, grid_resolution=15, max_ice_lines=20)
    assert len(ax.lines) == ice_lines + pd_lines
    assert (ax.get_xlabel(), ax.get_ylabel(), ax.get_title()) == ("u", "Prediction", "Partial dependence on u")
    expected = partial_dependence(estimator, X, "u", grid_resolution=15)
    grid = expected.grid_values[0]
    # The axis spans the grid, and the rug marks only the rows inside it.
    assert ax.get_xlim() == (grid[0], grid[-1])
    rug = [c for c in ax.collections if isinstance(c, LineCollection)]
    inside = X["u"][(X["u"] >= grid[0]) & (X["u"] <= grid[-1])]
    assert len(rug) == 1 and 0 < len(rug[0].get_segments()) == len(inside) < N_ROWS
    legend = [text.get_text() for text in ax.get_legend().get_texts()]
    assert legend == ["individual rows (ICE, 20)"] * bool(ice_lines) + ["average (partial dependence)"] * pd_lines
    if pd_lines:
        average = [line for line in ax.lines if line.get_label() == "average (partial dependence)"]
        assert len(average) == 1
        np.testing.assert_array_equal(average[0].get_xdata(), grid)
        np.testing.assert_array_equal(average[0].get_ydata(), expected.average[0])


def test_partial_dependence_names_the_target_and_keeps_outliers_off_the_axis(fitted):
    estimator, X = fitted
    # One far outlier: the axis and the curves stay where the grid is.
    stretched = X.copy()
    stretched.loc[0, "v"] = 60.0
    # Fewer grid values than rows, so the grid runs between the percentiles.
    ax = plotting.plot_partial_dependence(estimator, stretched, "v", target_name="log price", centered=True,
                                          grid_resolution=20)
    high = partial_dependence(estimator, stretched, "v", grid_resolution=20).grid_values[0][-1]
    assert ax.get_xlim()[1] == high < 10
    assert max(segment[0, 0] for segment in ax.collections[0].get_segments()) <= high
    assert ax.get_ylabel() == "Predicted log price, change from the first value"
    assert ax.figure.get_layout_engine() is not None  # constrained: nothing cut when saved


def test_partial_dependence_of_several_features_centered(fitted):
    estimator, X = fitted
    axes = plotting.plot_partial_dependence(estimator, X, ["w", 1], centered=True, grid_resolution=10)
    assert axes.shape == (2,) and [ax.get_xlabel() for ax in axes] == ["w", "v"]
    for ax in axes:
        assert len(ax.lines) == N_ROWS + 1
        assert all(line.get_ydata()[0] == 0.0 for line in ax.lines)
    _, given = plt.subplots(1, 2)
    np.testing.assert_array_equal(plotting.plot_partial_dependence(estimator, X, [0, 2], ax=given), given)
    with pytest.raises(ValueError, match="ax must hold 2 Axes, one per panel, got 1"):
        plotting.plot_partial_dependence(estimator, X, [0, 2], ax=given[0])


def test_factors_are_step_functions_per_stage_with_cut_points(fitted):
    estimator, _ = fitted
    axes = plotting.plot_factors(estimator, "u")
    stages = estimator.model_.stage_predictors
    assert axes.shape == (2,)
    for ax, sign in zip(axes, (1.0, -1.0)):
        assert len(ax.lines) == len(stages) and ax.get_yscale() == "log"
        for line, stage in zip(ax.lines, stages):
            grid = stage.combined_grid_tensor
            cuts = grid.splits[0]
            factors = np.asarray(grid.backbone_values[0]) * np.exp(sign * np.asarray(grid.tilt_values[0]))
            assert line.get_drawstyle() == "steps-post"
            np.testing.assert_array_equal(line.get_xdata()[1:-1], cuts)
            np.testing.assert_array_equal(line.get_ydata()[:-1], factors)
    assert [ax.get_xlabel() for ax in axes] == ["u", "u"]
    assert [ax.get_ylabel() for ax in axes] == ["plus factor b·exp(t)", "minus factor b·exp(−t)"]
    assert axes[0].get_title() == "Factors of u, one line per stage"


@pytest.mark.parametrize("epochs", [3, 14])
def test_factors_have_a_colour_bar_by_stage_and_plain_tick_labels(epochs):
    rng = np.random.default_rng(5)
    X = rng.uniform(size=(80, 2))
    estimator = ZunRegressor(epochs=epochs, n_trees=2, n_iter=4, cv_folds=None, random_state=0).fit(
        X, np.exp(X[:, 0]) + X[:, 1])
    axes = plotting.plot_factors(estimator, 0)
    figure = axes[0].figure
    bars = [ax for ax in figure.axes if ax not in list(axes)]
    assert len(bars) == 1 and bars[0].get_ylabel() == "stage"
    assert bars[0].get_ylim() == (-0.5, epochs - 0.5)
    # One colour per stage, in stage order, as the bar shows them.
    (mesh,) = [c for c in bars[0].collections if isinstance(c, QuadMesh)]
    np.testing.assert_array_equal(mesh.get_array().ravel(), np.arange(epochs))
    shown = mesh.to_rgba(mesh.get_array().ravel())
    assert len({tuple(colour) for colour in shown}) == epochs
    for ax in axes:
        np.testing.assert_allclose([matplotlib.colors.to_rgba(line.get_color()) for line in ax.lines], shown)
    assert axes[0].get_legend() is None
    assert figure.get_layout_engine() is not None
    formatter = axes[0].yaxis.get_major_formatter()
    assert (formatter(1.0), formatter(0.5)) == ("1", "0.5")
    minor = axes[0].yaxis.get_minor_formatter()
    minor.set_locs([0.2, 0.3, 0.5, 2.0, 3.0])
    assert minor(2.0) in ("2", "")


def test_contributions_waterfall_runs_from_the_base_value_to_the_prediction(fitted):
    estimator, X = fitted
    row = X.iloc[[4]]
    result = contributions(estimator, row)
    ax = plotting.plot_contributions(estimator, row, target_name="y")
    bars = sorted(ax.patches, key=lambda bar: bar.get_y())  # bottom first
    assert len(bars) == 3
    order = np.argsort(-np.abs(result.values[0]), kind="stable")[::-1]
    np.testing.assert_allclose([bar.get_width() for bar in bars], result.values[0][order], rtol=1e-12)
    assert bars[0].get_x() == pytest.approx(result.base_value)
    for lower, upper in zip(bars, bars[1:]):
        assert upper.get_x() == pytest.approx(lower.get_x() + lower.get_width())
    prediction = estimator.predict(row)[0]
    assert bars[-1].get_x() + bars[-1].get_width() == pytest.approx(prediction, rel=1e-9)
    labels = [tick.get_text() for tick in ax.get_yticklabels()]
    assert labels == [f"{name} = {row.iloc[0][name]:.4g}" for name in np.array(["u", "v", "w"])[order]]
    assert [line.get_xdata()[0] for line in ax.lines] == pytest.approx([result.base_value, prediction])
    low, high = ax.get_xlim()
    assert low < min(result.base_value, prediction) and high > max(result.base_value, prediction)
    assert (ax.get_xlabel(), ax.get_title()) == ("Predicted y", "Contributions to one prediction")
    texts = [text.get_text() for text in ax.texts]
    assert texts == [f"{value:+.3g}" for value in result.values[0][order]]


def test_contributions_group_the_smallest_and_take_one_row_in_any_form(fitted):
    estimator, X = fitted
    row = X.iloc[4]
    ax = plotting.plot_contributions(estimator, row, max_num_features=2)
    labels = [tick.get_text() for tick in ax.get_yticklabels()]
    assert len(ax.patches) == 3 and labels[0] == "1 other features"
    widths = sorted(bar.get_width() for bar in ax.patches)
    np.testing.assert_allclose(sorted(widths), sorted(contributions(estimator, X.iloc[[4]]).values[0]), rtol=1e-12)
    for form in (row.to_numpy(), row.to_numpy()[None, :]):
        with pytest.warns(UserWarning, match="X does not have valid feature names"):
            other = plotting.plot_contributions(estimator, form, background=X, max_num_features=2)
        assert sorted(bar.get_width() for bar in other.patches) == pytest.approx(
            sorted(contributions(estimator, X.iloc[[4]], background=X).values[0]), rel=1e-12)
    with pytest.raises(ValueError, match="X_row must be one row, got 2 rows"):
        plotting.plot_contributions(estimator, X.iloc[:2])
    with pytest.raises(ValueError, match="max_num_features must be a positive int, got 0"):
        plotting.plot_contributions(estimator, row, max_num_features=0)


@pytest.mark.parametrize("draw", [
    lambda estimator, X: plotting.plot_importance(estimator),
    lambda estimator, X: plotting.plot_partial_dependence(estimator, X, 0),
    lambda estimator, X: plotting.plot_factors(estimator, 0),
    lambda estimator, X: plotting.plot_contributions(estimator, X.iloc[0]),
], ids=["importance", "partial dependence", "factors", "contributions"])
def test_missing_matplotlib_names_the_extra(fitted, monkeypatch, draw):
    for name in [name for name in sys.modules if name == "matplotlib" or name.startswith("matplotlib.")]:
        monkeypatch.setitem(sys.modules, name, None)
    with pytest.raises(ImportError, match=r"needs matplotlib; install it with: pip install 'zunmerak\[plot\]'"):
        draw(*fitted)


@pytest.mark.parametrize("draw", [
    lambda X: plotting.plot_importance(ZunRegressor()),
    lambda X: plotting.plot_partial_dependence(ZunRegressor(), X, 0),
    lambda X: plotting.plot_factors(ZunRegressor(), 0),
    lambda X: plotting.plot_contributions(ZunRegressor(), X.iloc[0]),
], ids=["importance", "partial dependence", "factors", "contributions"])
def test_unfitted_estimators_are_refused(fitted, draw):
    with pytest.raises(NotFittedError):
        draw(fitted[1])
