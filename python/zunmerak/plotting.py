"""Plots of a fitted ZunRegressor: importances, partial dependence, factors, contributions.

Needs matplotlib, installed with ``pip install 'zunmerak[plot]'``. Every
function draws on the Axes it is given (or on a new figure with constrained
layout, so that saving it cuts no label) and returns them.
"""
from __future__ import annotations

from numbers import Integral

import numpy as np
from sklearn.utils.validation import check_is_fitted

from ._contributions import contributions
from ._partial_dependence import feature_indices, feature_names, partial_dependence_of_columns

__all__ = ["plot_importance", "plot_partial_dependence", "plot_factors", "plot_contributions"]


def _pyplot():
    # Imported on use, so that zunmerak itself never needs matplotlib.
    try:
        import matplotlib.pyplot as plt
    except ImportError as error:
        raise ImportError("zunmerak.plotting needs matplotlib; install it with: pip install 'zunmerak[plot]'") \
            from error
    return plt


def _prediction_label(target_name) -> str:
    return "Prediction" if target_name is None else f"Predicted {target_name}"


def _axes_for(ax, count: int, plt) -> np.ndarray:
    if ax is None:
        _, axes = plt.subplots(1, count, squeeze=False, figsize=(5 * count, 4), layout="constrained")
        return axes.ravel()
    axes = np.ravel(np.asarray(ax, dtype=object))
    if axes.size != count:
        raise ValueError(f"ax must hold {count} Axes, one per panel, got {axes.size}")
    return axes


def plot_importance(estimator, ax=None, max_num_features=None):
    """Horizontal bars of ``feature_importances_``, largest at the top.

    Parameters
    ----------
    estimator : ZunRegressor
        A fitted estimator.
    ax : matplotlib Axes, default=None
        Axes to draw on; a new figure when None.
    max_num_features : int, default=None
        Show only this many of the most important features; all when None.

    Returns
    -------
    ax : matplotlib Axes
    """
    plt = _pyplot()
    check_is_fitted(estimator)
    if max_num_features is not None and (not isinstance(max_num_features, Integral) or max_num_features < 1):
        raise ValueError(f"max_num_features must be a positive int or None, got {max_num_features!r}")
    importance = estimator.feature_importances_
    order = np.argsort(-importance, kind="stable")[:max_num_features]
    names = feature_names(estimator)
    ax = _axes_for(ax, 1, plt)[0]
    positions = np.arange(order.size)[::-1]
    ax.barh(positions, importance[order], height=0.6, align="center")
    ax.set_yticks(positions, [names[index] for index in order])
    ax.set_xlabel("Importance (share of the total)")
    ax.set_ylabel("Feature")
    ax.set_title("Feature importance")
    return ax


def _even_rows(count: int, limit: int) -> np.ndarray:
    # Evenly spread rows keep the picture reproducible without a seed.
    if count <= limit:
        return np.arange(count)
    return np.unique(np.linspace(0, count - 1, num=limit).round().astype(np.intp))


def plot_partial_dependence(estimator, X, features, kind="both", ax=None, *, centered=False, grid_resolution=100,
                            percentiles=(0.05, 0.95), max_ice_lines=100, target_name=None):
    """Partial dependence (PD) and ICE curves of single features, with a rug of the data.

    Each panel's x axis spans the feature's grid (the ``percentiles`` of its
    values), and the rug marks the rows of ``X`` inside it.

    Parameters
    ----------
    estimator : ZunRegressor
        A fitted estimator.
    X : array-like of shape (n_samples, n_features)
        Data the curves are computed on (see :func:`zunmerak.partial_dependence`).
    features : int, str or sequence of int or str
        One feature, or several features each drawn on its own Axes.
    kind : {"average", "individual", "both"}, default="both"
        Draw the PD line, the ICE lines or both.
    ax : matplotlib Axes or sequence of Axes, default=None
        One Axes per feature; a new figure with a row of Axes when None.
    centered : bool, default=False
        Start every curve at 0 at the first grid value.
    grid_resolution : int, default=100
        Grid values per feature.
    percentiles : tuple of float, default=(0.05, 0.95)
        Percentiles of each feature that bound its grid.
    max_ice_lines : int, default=100
        Largest number of ICE lines drawn, from rows spread evenly over ``X``.
    target_name : str, default=None
        Name of the target for the y axis ("Predicted <target_name>");
        "Prediction" when None.

    Returns
    -------
    ax : matplotlib Axes, or ndarray of Axes when ``features`` is a sequence
    """
    plt = _pyplot()
    if not isinstance(max_ice_lines, Integral) or max_ice_lines < 1:
        raise ValueError(f"max_ice_lines must be a positive int, got {max_ice_lines!r}")
    data = estimator._validate_query(X, "compute partial dependence from")
    single = isinstance(features, (str, Integral))
    indices = feature_indices(estimator, features)
    names = feature_names(estimator)
    axes = _axes_for(ax, len(indices), plt)
    y_label = _prediction_label(target_name)
    for index, axis in zip(indices, axes):
        result = partial_dependence_of_columns(estimator, data, [index], grid_resolution=grid_resolution,
                                              percentiles=percentiles, kind=kind)
        grid = result.grid_values[0]
        if "individual" in result:
            rows = _even_rows(data.shape[0], max_ice_lines)
            curves = result.individual[0, rows]
            for number, curve in enumerate(curves - curves[:, :1] if centered else curves):
                axis.plot(grid, curve, color="tab:blue", alpha=0.25, linewidth=0.6,
                          label=f"individual rows (ICE, {rows.size})" if number == 0 else "_ice")
        if "average" in result:
            average = result.average[0]
            axis.plot(grid, average - average[0] if centered else average, color="tab:orange", linewidth=2.5,
                      label="average (partial dependence)")
        _draw_rug(axis, data[:, index], grid)
        axis.set_xlabel(names[index])
        axis.set_ylabel(f"{y_label}, change from the first value" if centered else y_label)
        # Above the Axes, where no curve runs.
        axis.set_title(f"Partial dependence on {names[index]}", pad=24)
        axis.legend(loc="lower center", bbox_to_anchor=(0.5, 1.0), ncols=2, fontsize="small", frameon=False,
                    borderaxespad=0.2)
    return axes[0] if single else axes


def _draw_rug(axis, column: np.ndarray, grid: np.ndarray) -> None:
    """Ticks at the bottom for the values inside the grid; the x axis spans the grid alone.

    Values outside would stretch the axis to the data's outliers and squeeze
    the curves into a corner.
    """
    low, high = grid[0], grid[-1]
    if high > low:
        axis.set_xlim(low, high)
    inside = column[(column >= low) & (column <= high)]
    axis.vlines(inside, 0, 0.04, transform=axis.get_xaxis_transform(), colors="black", alpha=0.3, linewidth=0.5,
                label="_rug")


def _step_points(splits, values, low: float, high: float):
    """x and y of a step function: value k holds from cut k (or ``low``) on."""
    values = np.asarray(values, dtype=np.float64)
    levels = values[np.minimum(np.arange(len(splits) + 1), values.size - 1)]
    return np.concatenate([[low], splits, [high]]), np.append(levels, levels[-1])


def _stage_colours(plt, count: int):
    """A colour per stage and the mappable of their colour bar (viridis without its palest yellows)."""
    from matplotlib.cm import ScalarMappable
    from matplotlib.colors import BoundaryNorm, ListedColormap

    cmap = ListedColormap(plt.get_cmap("viridis")(np.linspace(0, 0.9, 256)))
    norm = BoundaryNorm(np.arange(count + 1) - 0.5, cmap.N)
    return cmap(norm(np.arange(count))), ScalarMappable(norm=norm, cmap=cmap)


def _plain_log_ticks(axis) -> None:
    from matplotlib.ticker import LogFormatter

    class PlainLogFormatter(LogFormatter):
        # The default labels of a log axis read "2×10⁰" or "6e-01"; factors
        # near 1 read better as 2 and 0.6. LogFormatter still chooses which
        # ticks get a label, so minor labels thin out over many decades.
        def __call__(self, x, pos=None):
            return f"{x:g}" if super().__call__(x, pos) else ""

    axis.yaxis.set_major_formatter(PlainLogFormatter(labelOnlyBase=False))
    axis.yaxis.set_minor_formatter(PlainLogFormatter(labelOnlyBase=False, minor_thresholds=(2, 0.5)))


def plot_factors(estimator, feature, ax=None):
    """Each stage's interval factors of one feature as step functions, cut points marked.

    A stage predicts ``s+ λ+ ∏ b·exp(t) − s- λ- ∏ b·exp(−t)`` over its
    features, with backbone ``b`` and tilt ``t`` constant on each interval of a
    feature's axis. The upper Axes show the plus factor ``b·exp(t)`` of
    ``feature``, the lower Axes the minus factor ``b·exp(−t)``, one line per
    stage on a logarithmic scale, with a marker at each cut point; a colour
    bar gives the stages.

    Parameters
    ----------
    estimator : ZunRegressor
        A fitted estimator.
    feature : int or str
        The feature, by index or name.
    ax : sequence of two matplotlib Axes, default=None
        Axes for the plus and the minus factor; a new figure when None.

    Returns
    -------
    axes : ndarray of two Axes
    """
    plt = _pyplot()
    check_is_fitted(estimator)
    if not isinstance(feature, (str, Integral)):
        raise TypeError(f"feature must be one int or str, got {type(feature).__name__}")
    (index,) = feature_indices(estimator, feature)
    name = feature_names(estimator)[index]
    grids = [stage.combined_grid_tensor for stage in estimator.model_.stage_predictors]
    cuts = np.concatenate([np.asarray(grid.splits[index], dtype=np.float64) for grid in grids] + [np.empty(0)])
    low, high = (cuts.min(), cuts.max()) if cuts.size else (0.0, 0.0)
    margin = 0.1 * (high - low) if high > low else max(abs(low), 1.0) * 0.1
    if ax is None:
        figure, axes = plt.subplots(2, 1, sharex=True, figsize=(7, 6), layout="constrained")
    else:
        axes = _axes_for(ax, 2, plt)
        figure = axes[0].figure
    colours, mappable = _stage_colours(plt, len(grids))
    for stage, (grid, colour) in enumerate(zip(grids, colours)):
        splits = np.asarray(grid.splits[index], dtype=np.float64)
        backbone = np.asarray(grid.backbone_values[index])
        tilt = np.asarray(grid.tilt_values[index])
        for axis, factor in zip(axes, (backbone * np.exp(tilt), backbone * np.exp(-tilt))):
            x, y = _step_points(splits, factor, low - margin, high + margin)
            axis.plot(x, y, drawstyle="steps-post", color=colour, marker="o", markersize=3,
                      markevery=slice(1, x.size - 1), label=f"stage {stage}")
    for axis, label in zip(axes, ("plus factor b·exp(t)", "minus factor b·exp(−t)")):
        axis.set_yscale("log")
        _plain_log_ticks(axis)
        axis.set_ylabel(label)
        axis.set_xlabel(name)
        # sharex hides the upper labels; each panel stands alone when read.
        axis.xaxis.set_tick_params(labelbottom=True)
    axes[0].set_title(f"Factors of {name}, one line per stage")
    if grids:
        colour_bar = figure.colorbar(mappable, ax=list(axes), label="stage", aspect=40)
        from matplotlib.ticker import MaxNLocator

        colour_bar.locator = MaxNLocator(integer=True)
        colour_bar.update_ticks()
    return np.asarray(axes, dtype=object)


def _one_row(estimator, X_row) -> np.ndarray:
    """``X_row`` as a frame or array of one row, as the estimator takes it."""
    if hasattr(X_row, "to_frame") and hasattr(X_row, "index"):
        X_row = X_row.to_frame().T  # a pandas Series: its index names the columns
    if not hasattr(X_row, "columns"):
        X_row = np.asarray(X_row)
        if X_row.ndim == 1:
            X_row = X_row.reshape(1, -1)
    if len(X_row) != 1:
        raise ValueError(f"X_row must be one row, got {len(X_row)} rows")
    return X_row


def plot_contributions(estimator, X_row, background=None, ax=None, *, max_num_features=10, target_name=None):
    """One prediction's feature contributions as a waterfall of labelled bars.

    The bars start at the base value (the mean prediction over the
    background rows) at the bottom and add each feature's contribution (see
    :func:`zunmerak.contributions`), the largest at the top, ending at the
    prediction; each bar is labelled with its signed value and its feature's
    value in the row.

    Parameters
    ----------
    estimator : ZunRegressor
        A fitted estimator.
    X_row : array-like of shape (n_features,) or (1, n_features)
        The row to explain: a one-row DataFrame, a Series, or a 1-D or
        one-row 2-D array.
    background : array-like of shape (n_background, n_features), default=None
        Rows the absent features take their values from; None uses
        ``estimator.background_``.
    ax : matplotlib Axes, default=None
        Axes to draw on; a new figure when None.
    max_num_features : int, default=10
        Features with the largest contributions shown one by one; the others
        are added up in one bar.
    target_name : str, default=None
        Name of the target for the x axis ("Predicted <target_name>");
        "Prediction" when None.

    Returns
    -------
    ax : matplotlib Axes
    """
    plt = _pyplot()
    if not isinstance(max_num_features, Integral) or max_num_features < 1:
        raise ValueError(f"max_num_features must be a positive int, got {max_num_features!r}")
    row = _one_row(estimator, X_row)
    result = contributions(estimator, row, background)
    values = result.values[0]
    shown_values = estimator._validate_query(row, "compute contributions for")[0]
    order = np.argsort(-np.abs(values), kind="stable")
    shown, rest = order[:max_num_features], order[max_num_features:]
    labels = [f"{result.feature_names[j]} = {shown_values[j]:.4g}" for j in shown]
    steps = list(values[shown])
    if rest.size:
        labels.append(f"{rest.size} other features")
        steps.append(float(values[rest].sum()))
    # Bottom to top: the smallest step first, so the running total climbs to
    # the prediction at the top.
    labels, steps = labels[::-1], np.asarray(steps[::-1])
    ends = result.base_value + np.cumsum(steps)
    starts = ends - steps
    if ax is None:
        _, ax = plt.subplots(figsize=(7, 2 + 0.4 * steps.size), layout="constrained")
    else:
        ax = _axes_for(ax, 1, plt)[0]
    positions = np.arange(steps.size)
    colours = np.where(steps >= 0, "tab:red", "tab:blue")
    bars = ax.barh(positions, steps, left=starts, height=0.6, color=colours)
    ax.bar_label(bars, labels=[f"{step:+.3g}" for step in steps], padding=3, fontsize="small",
                 bbox={"boxstyle": "round,pad=0.1", "facecolor": "white", "edgecolor": "none", "alpha": 0.8})
    ax.set_yticks(positions, labels)
    prediction = ends[-1] if steps.size else result.base_value
    ax.axvline(result.base_value, color="grey", linestyle=":", linewidth=1.2,
               label=f"base value {result.base_value:.4g} (mean over the background rows)")
    ax.axvline(prediction, color="black", linestyle="--", linewidth=1.2, label=f"prediction {prediction:.4g}")
    # Room on both sides for the bar labels.
    low = min(result.base_value, starts.min(initial=np.inf), ends.min(initial=np.inf))
    high = max(result.base_value, starts.max(initial=-np.inf), ends.max(initial=-np.inf))
    pad = 0.2 * (high - low) if high > low else max(abs(high), 1.0) * 0.1
    ax.set_xlim(low - pad, high + pad)
    ax.set_xlabel(_prediction_label(target_name))
    ax.set_title("Contributions to one prediction")
    ax.legend(fontsize="small", loc="upper center", bbox_to_anchor=(0.5, -0.14), ncols=1, frameon=False)
    return ax
