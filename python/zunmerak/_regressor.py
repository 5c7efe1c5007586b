"""The scikit-learn estimator around the native boosted model."""
from __future__ import annotations

import os
from numbers import Integral, Real

import numpy as np
from sklearn.base import BaseEstimator, RegressorMixin, _fit_context
from sklearn.utils._param_validation import Interval, StrOptions
from sklearn.utils.validation import check_consistent_length, check_is_fitted, column_or_1d, validate_data

from _zunmerak import ZUN

from ._background import background_sample
from ._progress import relay_in_target_units
from ._seed import seed_from_random_state
from ._serialization import pack_model, unpack_model

# The fit's log levels: 0 off, 1 info, 2 debug, 3 trace.
_MOST_VERBOSE = 3
# Above this many rows early_stopping="auto" holds out validation rows and
# row_partitions="auto" splits the training rows; at or below it the epochs
# are chosen by cross-validation and trees fit on all rows.
_AUTO_STOPPING_ROWS = 10_000
# Mixed into the seed for the cross-validation folds, so they are not the
# rows the fit's own draws would pick.
_CV_STREAM = 0x6376_666F_6C64_7321


def _thread_count(n_jobs):
    """``n_threads`` of ``ZUN.fit`` for scikit-learn's ``n_jobs``."""
    if n_jobs is None or n_jobs > 0:
        return n_jobs
    return max(os.cpu_count() + 1 + n_jobs, 1)


def _refuse_fit_params(fit_params) -> None:
    # sample_weight is not declared in fit's signature, so scikit-learn's
    # meta-estimators (bagging, boosting) see that it is unsupported and do not
    # pass it; a user who passes it still gets this message.
    if fit_params.get("sample_weight") is not None:
        raise TypeError("ZunRegressor does not support sample_weight: the fit weighs every sample equally. "
                        "Repeat or subsample rows to weigh them.")
    unknown = sorted(set(fit_params) - {"sample_weight"})
    if unknown:
        raise TypeError(f"ZunRegressor.fit() got unexpected keyword arguments {unknown}")


def _first_non_finite(values: np.ndarray):
    """Where and what the first value that is not finite is ("NaN at index 3"), or None."""
    bad = ~np.isfinite(values)
    if not bad.any():
        return None
    where = np.argwhere(bad)[0]
    value = values[tuple(where)]
    position = f"row {where[0]}, column {where[1]}" if values.ndim == 2 else f"index {where[0]}"
    return f"{'NaN' if np.isnan(value) else value} at {position}"


def _check_finite(values: np.ndarray, name: str, action: str) -> None:
    found = _first_non_finite(values)
    if found is not None:
        raise ValueError(f"ZunRegressor cannot {action} missing or infinite values: {name} has {found}. Fill them "
                         "in first, for example with sklearn.impute.SimpleImputer in a Pipeline, or drop those rows.")


def _check_target(y: np.ndarray) -> None:
    # An imputer fills X only, so the advice for X would not help here.
    found = _first_non_finite(y)
    if found is not None:
        raise ValueError(f"ZunRegressor cannot fit missing or infinite target values: y has {found}. Every sample "
                         "needs a finite target: drop those samples from X and y.")


def _first_text(values):
    """The first entry of ``values`` that is text and does not read as a number, or None."""
    for value in values:
        if isinstance(value, (str, bytes)):
            try:
                float(value)
            except ValueError:
                return value
    return None


def _raise_for_text_column(X, error: Exception) -> None:
    """Raise a ValueError naming the first column of ``X`` that holds text, if one does.

    NumPy's own message shows the value but not the column.
    """
    if hasattr(X, "columns"):
        columns = ((f"'{name}'", X[name]) for name in X.columns)
    else:
        values = np.asarray(X, dtype=object)
        columns = ((str(j), values[:, j]) for j in range(values.shape[1])) if values.ndim == 2 else ()
    for name, column in columns:
        value = _first_text(column)
        if value is not None:
            raise ValueError(f"ZunRegressor needs numeric features, but column {name} of X holds {value!r}. Encode "
                             "such columns first, for example with sklearn.preprocessing.OrdinalEncoder or "
                             "OneHotEncoder in a ColumnTransformer.") from error


def _standardise(y: np.ndarray):
    """Mean, spread (1 for a constant target) and standardised values of ``y``.

    The statistics are taken of ``y`` divided by a power of two near its
    largest magnitude, so no sum or square overflows (y near 1e200) or
    underflows (near 1e-200). A power of two scales every step exactly, so
    for any other ``y`` the bits are those of the direct computation.
    """
    _, exponent = np.frexp(np.max(np.abs(y)))
    unit = float(np.ldexp(1.0, int(exponent) - 1))
    scaled = y / unit
    mean, spread = float(np.mean(scaled)), float(np.std(scaled))
    if spread == 0:
        return mean * unit, 1.0, y - mean * unit
    return mean * unit, spread * unit, (scaled - mean) / spread


class ZunRegressor(RegressorMixin, BaseEstimator):
    """Boosted grid tensor regressor.

    Each boosting stage cuts every feature axis into intervals and predicts the
    difference of two positive products of per-interval factors; the stages are
    fitted on the residuals and rescaled jointly by least squares after every
    epoch. The target is standardised inside the fit and predictions are mapped
    back, so ``alpha`` has the same effect whatever the scale of ``y``.

    With the defaults the number of epochs adapts to the data: above 10,000
    rows a tenth of them is held out and the fit stops at the best epoch (at
    most 50), each tree fitting on a quarter of the training rows; at or below
    that the number of epochs is chosen by 3-fold cross-validation. The
    tree sizes were chosen by ``bench/choose_defaults.py`` (3-fold CV on seven
    tables) and checked against the peers with ``bench/peers.py`` (figures in
    ``bench/README.md``).

    Parameters
    ----------
    epochs : int, default=50
        Number of boosting stages; the most there can be when early stopping
        or the cross-validation of ``cv_folds`` chooses them.
    n_trees : int, default=4
        Grid tensors fitted per stage; they are merged into one.
    n_iter : int, default=10
        Splits each grid tensor aims for in the first stage.
    decay : float, default=1.0
        Factor applied to ``n_iter`` from one stage to the next.
    alpha : float, default=1.0
        Ridge term of the interval value updates. Values of 1 or more keep the
        joint rescaling of the stages well-conditioned; 0 lets the two
        components of a stage move together and the fit become unstable.
    scaling_ridge : float, default=0.0
        Ridge of the joint rescaling of the stages after every epoch, in units
        of the standardised target squared times rows. It shrinks the
        scalings of stages the training rows support little, which keeps a
        fit on a few hundred rows from chasing noise, and fades as rows are
        added.
    split_strategy : {"random", "best_split", "top_k"}, default="random"
        How a grid tensor chooses its next split.
    split_try : int, default=10
        Cut positions examined per feature by the "random" strategy.
    colsample_bytree : float, default=0.8
        Fraction of the features a "random" split search examines:
        ``floor(colsample_bytree * n_features)`` of them (at least one), drawn
        at every move among the features that can still be cut.
    top_k : int, default=10
        Size of the best-candidate list the "top_k" strategy draws from.
    must_fill_all_k : bool, default=True
        Whether the "top_k" strategy proposes no split when it finds fewer
        than ``top_k`` candidates.
    min_interval_samples : int, default=1
        Least number of training samples each side of a cut keeps.
    min_split_loss : float, default=0.0
        Least gain a split must reach.
    refinement_strategy : {"l2", "huber"}, default="l2"
        Loss of the interval value updates.
    tilt_tau : float, default=0.01
        Quadratic coupling of the two components' updates.
    tilt_rho : float, default=0.0
        Absolute-value penalty on the difference of the two components' updates.
    similarity_threshold : float, default=0.0
        Share of each stage's trees left out of the merge, those farthest
        from the medoid tree.
    max_bins : int or None, default=None
        None fits exactly: every change of a feature's value is a cut
        candidate. An int from 2 to 65536 codes each feature once into at most
        that many equal-count bins, and cuts lie only on their boundaries.
    row_partitions : "auto", int or None, default="auto"
        None: every tree fits on all training rows. An int P (at most the
        number of rows): the rows are split once, at random from
        ``random_state``, into P parts of near-equal size, and tree t of every
        stage fits on part ``t % P`` alone, P times cheaper; combining a
        stage's trees and rescaling the stages still use all rows. With P
        equal to ``n_trees`` every stage sees every row once. "auto" is
        ``n_trees`` above 10,000 rows (as for ``early_stopping``) and None at
        or below, where a tree on a part has too few rows to cut well.
    early_stopping : "auto" or bool, default="auto"
        Whether to hold out ``validation_fraction`` of the training rows and
        stop once their error has not improved by more than ``tol`` for
        ``n_iter_no_change`` epochs; the model is then that of the best epoch.
        "auto" turns it on above 10,000 rows; at or below that (where a
        tenth of the rows is too few to tell epochs apart) "auto" chooses
        the number of epochs by ``cv_folds``-fold cross-validation instead.
    validation_fraction : float, default=0.1
        Share of the training rows held out for early stopping, drawn from
        ``random_state``.
    n_iter_no_change : int, default=10
        Epochs without improvement after which early stopping ends the fit.
    tol : float, default=1e-7
        Least improvement of the validation mean squared error, in the units
        of ``y`` squared, that counts for early stopping.
    cv_folds : int or None, default=3
        Folds of the cross-validation that chooses the number of epochs (1 to
        ``epochs``, the fewest with the least held-out error; each fold stops
        as early stopping does) when
        ``early_stopping="auto"`` finds 10,000 rows or fewer; the model is then
        fitted on all rows with that many epochs, at about ``cv_folds + 1``
        times the cost. None fits ``epochs`` epochs.
    random_state : int, RandomState instance, Generator or None, default=None
        Seed of the fit and of the validation rows. An int in [0, 2**64) is
        the seed itself; None, a ``RandomState`` or a ``Generator`` gives a
        seed drawn from it.
    verbose : int, default=0
        0 silent; 1 prints one line per epoch with the training and
        validation RMSE in the units of ``y`` and the time so far; 2 adds the
        fit's own log lines at info level, 3 at debug, 4 at trace. All lines
        go through ``sys.stdout``.
    n_jobs : int or None, default=None
        Threads of the fit. None uses every core (or what ``OMP_NUM_THREADS``
        or threadpoolctl allow); -1 every core, -2 all but one, and so on.
        The fitted model does not depend on it.
    callback : callable or None, default=None
        Called during ``fit`` with a :class:`zunmerak.FitProgress` after each
        epoch (with its training error) and about every half second within
        one. Returning False stops the fit: the model keeps the epochs done by
        then and ``stopped_early_`` is True. An exception from the callback
        stops the fit and propagates, as does Ctrl-C.

    Attributes
    ----------
    model_ : _zunmerak.ZUN
        The fitted model; it predicts standardised targets
        (``model_.predict(X) * y_scale_ + y_mean_`` is :meth:`predict`).
    n_epochs_ : int
        Number of stages of ``model_``: ``epochs``, unless early stopping kept
        fewer (those up to the best epoch) or the callback stopped the fit.
    n_stages_ : int
        The same as ``n_epochs_``.
    stopped_early_ : bool
        Whether the callback stopped the fit before its last epoch.
    validation_error_ : ndarray of shape (n_epochs_fitted,)
        Mean squared error on the held-out validation rows after each epoch
        fitted, in the units of ``y`` squared; empty without early stopping.
    cv_error_ : ndarray of shape (n_epochs_scored,)
        Cross-validated mean squared error after each epoch that every fold
        scored (each fold stops after ``n_iter_no_change`` epochs without
        improvement), in the units of ``y`` squared, when the number of
        epochs was chosen by ``cv_folds``; empty otherwise.
    train_error_ : ndarray of shape (n_epochs_fitted,)
        Mean squared error on the training data after each epoch, in the
        units of ``y``: entry e is the training error of a fit with ``e + 1``
        epochs. The last entry is the final model's training error; inf
        where it exceeds the float64 range (``y`` of magnitude beyond 1e154).
    feature_importances_ : ndarray of shape (n_features_in_,)
        Spread of each feature's backbone and tilt factors over the training
        data, weighted by the stages' energies, normalised to sum to 1 (all
        zeros when no factor varies).
    background_ : ndarray of shape (n_background, n_features_in_)
        At most 200 training rows, drawn with a fixed seed: the default
        background of :func:`zunmerak.contributions`. Pickled with the model.
    y_mean_ : float
        Mean of the training targets.
    y_scale_ : float
        Standard deviation of the training targets (1 when they are constant).
    n_features_in_ : int
        Number of features seen during fit.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Names of the features seen during fit, when ``X`` has string column names.

    Examples
    --------
    >>> from sklearn.datasets import load_diabetes
    >>> from zunmerak import ZunRegressor
    >>> X, y = load_diabetes(return_X_y=True)
    >>> model = ZunRegressor(epochs=3, n_iter=5, random_state=0).fit(X, y)
    >>> model.predict(X[:2]).shape
    (2,)
    """

    _parameter_constraints: dict = {
        "epochs": [Interval(Integral, 1, None, closed="left")],
        "n_trees": [Interval(Integral, 1, None, closed="left")],
        "n_iter": [Interval(Integral, 1, None, closed="left")],
        "decay": [Interval(Real, 0, None, closed="left")],
        "alpha": [Interval(Real, 0, None, closed="left")],
        "scaling_ridge": [Interval(Real, 0, None, closed="left")],
        "split_strategy": [StrOptions({"random", "best_split", "top_k"})],
        "split_try": [Interval(Integral, 1, None, closed="left")],
        "colsample_bytree": [Interval(Real, 0, 1, closed="both")],
        "top_k": [Interval(Integral, 1, None, closed="left")],
        "must_fill_all_k": ["boolean"],
        "min_interval_samples": [Interval(Integral, 1, None, closed="left")],
        "min_split_loss": [Interval(Real, 0, None, closed="left")],
        "refinement_strategy": [StrOptions({"l2", "huber"})],
        "tilt_tau": [Interval(Real, 0, None, closed="left")],
        "tilt_rho": [Interval(Real, 0, None, closed="left")],
        # 1 or more would leave a stage no tree to merge.
        "similarity_threshold": [Interval(Real, 0, 1, closed="left")],
        "max_bins": [None, Interval(Integral, 2, 65536, closed="both")],
        "row_partitions": [StrOptions({"auto"}), None, Interval(Integral, 1, None, closed="left")],
        "early_stopping": [StrOptions({"auto"}), "boolean"],
        "validation_fraction": [Interval(Real, 0, 1, closed="neither")],
        "n_iter_no_change": [Interval(Integral, 1, None, closed="left")],
        "tol": [Interval(Real, 0, None, closed="left")],
        "cv_folds": [None, Interval(Integral, 2, None, closed="left")],
        "random_state": [None, Interval(Integral, 0, 2**64 - 1, closed="both"),
                         np.random.RandomState, np.random.Generator],
        "verbose": ["verbose"],
        "n_jobs": [None, Interval(Integral, None, -1, closed="right"), Interval(Integral, 1, None, closed="left")],
        "callback": [None, callable],
    }

    def __init__(
        self,
        *,
        epochs=50,
        n_trees=4,
        n_iter=10,
        decay=1.0,
        alpha=1.0,
        scaling_ridge=0.0,
        split_strategy="random",
        split_try=10,
        colsample_bytree=0.8,
        top_k=10,
        must_fill_all_k=True,
        min_interval_samples=1,
        min_split_loss=0.0,
        refinement_strategy="l2",
        tilt_tau=0.01,
        tilt_rho=0.0,
        similarity_threshold=0.0,
        max_bins=None,
        row_partitions="auto",
        early_stopping="auto",
        validation_fraction=0.1,
        n_iter_no_change=10,
        tol=1e-7,
        cv_folds=3,
        random_state=None,
        verbose=0,
        n_jobs=None,
        callback=None,
    ):
        self.epochs = epochs
        self.n_trees = n_trees
        self.n_iter = n_iter
        self.decay = decay
        self.alpha = alpha
        self.scaling_ridge = scaling_ridge
        self.split_strategy = split_strategy
        self.split_try = split_try
        self.colsample_bytree = colsample_bytree
        self.top_k = top_k
        self.must_fill_all_k = must_fill_all_k
        self.min_interval_samples = min_interval_samples
        self.min_split_loss = min_split_loss
        self.refinement_strategy = refinement_strategy
        self.tilt_tau = tilt_tau
        self.tilt_rho = tilt_rho
        self.similarity_threshold = similarity_threshold
        self.max_bins = max_bins
        self.row_partitions = row_partitions
        self.early_stopping = early_stopping
        self.validation_fraction = validation_fraction
        self.n_iter_no_change = n_iter_no_change
        self.tol = tol
        self.cv_folds = cv_folds
        self.random_state = random_state
        self.verbose = verbose
        self.n_jobs = n_jobs
        self.callback = callback

    def _fit_arguments(self, seed: int) -> dict:
        """Keyword arguments of ``ZUN.fit`` for this estimator's parameters."""
        return dict(
            epochs=self.epochs,
            n_trees=self.n_trees,
            n_iter=self.n_iter,
            decay=self.decay,
            alpha=self.alpha,
            scaling_ridge=self.scaling_ridge,
            split_strategy=self.split_strategy,
            split_try=self.split_try,
            colsample_bytree=self.colsample_bytree,
            # The native default examines every eligible feature whenever
            # there are enough of them, which makes the fraction a no-op.
            colsample_eligible=True,
            top_k=self.top_k,
            must_fill_all_k=bool(self.must_fill_all_k),
            min_interval_samples=self.min_interval_samples,
            min_split_loss=self.min_split_loss,
            refinement_strategy=self.refinement_strategy,
            tilt_tau=self.tilt_tau,
            tilt_rho=self.tilt_rho,
            similarity_threshold=self.similarity_threshold,
            max_bins=self.max_bins,
            row_partitions=None if self.row_partitions == "auto" else self.row_partitions,
            seed=seed,
            verbosity=min(max(int(self.verbose) - 1, 0), _MOST_VERBOSE),
            n_threads=_thread_count(self.n_jobs),
        )

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(self, X, y, **fit_params):
        """Fit the boosted model.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training data; converted once to C-ordered float64.
        y : array-like of shape (n_samples,)
            Target values.
        **fit_params : dict
            Accepted only to refuse ``sample_weight`` with a clear message.

        Returns
        -------
        self : ZunRegressor
            The fitted estimator.

        Raises
        ------
        ValueError
            If ``X`` holds text, NaN or infinite values, ``y`` NaN or infinite
            values, or either has a wrong shape.
        TypeError
            If ``sample_weight`` or another fit parameter is given.
        """
        _refuse_fit_params(fit_params)
        # X and y are validated separately because the combined check refuses
        # non-finite y with a message that does not say what to do.
        try:
            X, y = validate_data(self, X, y, validate_separately=(
                dict(dtype=np.float64, order="C", ensure_all_finite=False),
                dict(dtype=np.float64, ensure_2d=False, ensure_all_finite=False),
            ))
        except ValueError as error:
            _raise_for_text_column(X, error)
            raise
        check_consistent_length(X, y)
        y = column_or_1d(y, warn=True)
        _check_finite(X, "X", "fit")
        _check_target(y)
        seed = seed_from_random_state(self.random_state)
        train, valid = self._validation_split(len(y), seed)
        self.y_mean_, self.y_scale_, standardised = _standardise(y[train])
        # A product, not a power: past the float range it is inf, not OverflowError.
        error_scale = self.y_scale_ * self.y_scale_
        arguments = self._fit_arguments(seed)
        if self.row_partitions == "auto" and len(y) > _AUTO_STOPPING_ROWS:
            arguments["row_partitions"] = self.n_trees
        self.cv_error_ = np.empty(0)
        if valid is None and self._epochs_by_cv(len(y)):
            standardised_errors = self._cross_validated_errors(X, y, arguments)
            arguments["epochs"] = int(np.argmin(standardised_errors)) + 1
            self.cv_error_ = standardised_errors * (self.y_scale_ * self.y_scale_)
        stopping = {}
        if valid is not None:
            stopping = dict(x_valid=X[valid], y_valid=(y[valid] - self.y_mean_) / self.y_scale_,
                            n_iter_no_change=self.n_iter_no_change, tol=self.tol / error_scale)

        model, result = ZUN.fit(X[train] if valid is not None else X, standardised, **arguments,
                                **stopping,
                                callback=relay_in_target_units(self.callback, error_scale, self.verbose >= 1))
        self.model_ = model
        self.n_epochs_ = self.n_stages_ = len(model.stage_predictors)
        self.stopped_early_ = bool(result.stopped_early)
        self.train_error_ = result.epoch_errors * error_scale
        self.validation_error_ = result.validation_errors * error_scale
        self.feature_importances_ = self._normalised_importance(X)
        self.background_ = background_sample(X)
        return self

    def _epochs_by_cv(self, rows: int) -> bool:
        """Whether "auto" early stopping chooses the epochs by cross-validation on these rows."""
        return (self.early_stopping == "auto" and self.cv_folds is not None and self.epochs > 1
                and 2 * self.cv_folds <= rows <= _AUTO_STOPPING_ROWS)

    def _cross_validated_errors(self, X: np.ndarray, y: np.ndarray, arguments: dict) -> np.ndarray:
        """Held-out mean squared error after each epoch, over ``cv_folds`` folds drawn from the fit's seed,
        in units of ``y_scale_`` squared (in units of ``y`` it may leave the float range)."""
        order = np.random.Generator(np.random.PCG64(arguments["seed"] ^ _CV_STREAM)).permutation(len(y))
        quiet = dict(arguments, verbosity=0, n_iter_no_change=self.n_iter_no_change)
        curves = []
        for held_out in np.array_split(order, self.cv_folds):
            train = np.setdiff1d(order, held_out, assume_unique=True)
            train.sort()
            held_out = np.sort(held_out)
            mean, scale, standardised = _standardise(y[train])
            # Each fold stops as early stopping would; the curves are compared
            # over the epochs every fold scored.
            _, result = ZUN.fit(X[train], standardised, **quiet, x_valid=X[held_out],
                                y_valid=(y[held_out] - mean) / scale, tol=self.tol / (scale * scale))
            curves.append(result.validation_errors * ((scale / self.y_scale_) ** 2 * len(held_out)))
        scored = min(len(curve) for curve in curves)
        return sum(curve[:scored] for curve in curves) / len(y)

    def _validation_split(self, rows: int, seed: int):
        """Training and validation row indices: all rows and None without early stopping."""
        on = self.early_stopping is True or (self.early_stopping == "auto" and rows > _AUTO_STOPPING_ROWS)
        held_out = int(round(self.validation_fraction * rows)) if on else 0
        if held_out < 2 or rows - held_out < 1:
            if self.early_stopping is True:
                raise ValueError(f"early stopping holds out validation_fraction={self.validation_fraction} of "
                                 f"{rows} rows, {held_out}; it needs at least 2 validation rows and 1 to train on")
            return np.arange(rows), None
        order = np.random.Generator(np.random.PCG64(seed)).permutation(rows)
        return np.sort(order[held_out:]), np.sort(order[:held_out])

    def _normalised_importance(self, X: np.ndarray) -> np.ndarray:
        backbone, tilt, _ = self.model_.compute_aggregated_feature_importance(X)
        importance = backbone + tilt
        total = importance.sum()
        return importance / total if total > 0 else np.zeros_like(importance)

    def predict(self, X):
        """Predict targets for ``X``.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Samples, with the columns (and names) seen during fit.

        Returns
        -------
        y : ndarray of shape (n_samples,)
            Predicted values.
        """
        X = self._validate_query(X, "predict from")
        return self._in_target_units(self.model_.predict(X))

    def _validate_query(self, X, action: str) -> np.ndarray:
        """Check ``X`` against the fitted features; C-ordered float64 without missing values."""
        check_is_fitted(self)
        try:
            X = validate_data(self, X, dtype=np.float64, order="C", ensure_all_finite=False, reset=False)
        except ValueError as error:
            _raise_for_text_column(X, error)
            raise
        _check_finite(X, "X", action)
        return X

    def _in_target_units(self, standardised):
        """Map outputs of ``model_`` (standardised targets) back to the units of ``y``."""
        return standardised * self.y_scale_ + self.y_mean_

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        # Dense, finite input only: the grid needs ordered values in every cell.
        tags.input_tags.allow_nan = False
        tags.input_tags.sparse = False
        return tags

    def __getstate__(self):
        # The native model cannot be pickled itself; its file bytes travel in an
        # envelope that also names the parameters and features.
        state = dict(super().__getstate__())
        model = state.pop("model_", None)
        if model is not None:
            names = state.get("feature_names_in_")
            state["_model_envelope"] = pack_model(model, {
                "kind": type(self).__name__,
                "params": self.get_params(deep=False),
                "feature_names": None if names is None else list(names),
            })
        return state

    def __setstate__(self, state):
        state = dict(state)
        envelope = state.pop("_model_envelope", None)
        if envelope is not None:
            state["model_"] = unpack_model(envelope)
        super().__setstate__(state)
