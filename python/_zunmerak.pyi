# Type stubs of the native module; tests/test_stubs.py keeps them in step with it.
from os import PathLike
from typing import Callable, Final, NamedTuple, Optional, Union, final

import numpy as np
import numpy.typing as npt

__version__: Final[str]
__all__: list[str]

_Matrix = npt.NDArray[np.float64]
_Vector = npt.NDArray[np.float64]
_Path = Union[str, PathLike[str]]
_Components = tuple[list[tuple[float, float]], npt.NDArray[np.float64]]

class _FitProgress(NamedTuple):
    """What a fit's callback receives (a struct sequence at run time)."""

    epoch: int
    trees_done: int
    total_trees: int
    epochs: int
    elapsed: float
    train_error: Optional[float]
    validation_error: Optional[float]

# Returning False stops the fit; any other value lets it go on.
_Callback = Callable[[_FitProgress], object]

@final
class GridTensor:
    @classmethod
    def fit(
        cls,
        x: _Matrix,
        y: _Vector,
        n_iter: int,
        split_try: int,
        colsample_bytree: float,
        complexity_penalty: float = 0.0,
        seed: int = 42,
        max_bins: Optional[int] = None,
        callback: Optional[_Callback] = None,
    ) -> tuple[GridTensor, FitResult]: ...
    def predict(self, x: _Matrix) -> npt.NDArray[np.float64]: ...
    @property
    def splits(self) -> list[list[float]]: ...
    @property
    def intervals(self) -> list[list[tuple[float, float]]]: ...
    @property
    def backbone_values(self) -> list[list[float]]: ...
    @property
    def tilt_values(self) -> list[list[float]]: ...
    @property
    def mean_factor(self) -> list[list[float]]: ...
    @property
    def grid_values(self) -> list[list[float]]: ...
    @property
    def scaling(self) -> float: ...
    @property
    def lambda_plus(self) -> float: ...
    @property
    def lambda_minus(self) -> float: ...

@final
class FitResult:
    @property
    def err(self) -> float: ...
    @property
    def residuals(self) -> npt.NDArray[np.float64]: ...
    @property
    def y_hat(self) -> npt.NDArray[np.float64]: ...
    @property
    def epoch_errors(self) -> npt.NDArray[np.float64]: ...
    @property
    def stopped_early(self) -> bool: ...
    @property
    def validation_errors(self) -> npt.NDArray[np.float64]: ...
    @property
    def best_epoch(self) -> Optional[int]: ...

@final
class StagePredictor:
    def predict(self, x: _Matrix) -> npt.NDArray[np.float64]: ...
    @property
    def grid_tensors(self) -> list[GridTensor]: ...
    @property
    def combined_grid_tensor(self) -> GridTensor: ...
    @property
    def candidate_indices(self) -> list[int]: ...
    @property
    def scaling_plus(self) -> Optional[float]: ...
    @property
    def scaling_minus(self) -> Optional[float]: ...

@final
class ZUN:
    @classmethod
    def fit(
        cls,
        x: _Matrix,
        y: _Vector,
        epochs: int,
        decay: float = 1.0,
        n_trees: int = 10,
        n_iter: int = 10,
        split_try: int = 10,
        colsample_bytree: float = 0.8,
        alpha: float = 0.0,
        complexity_penalty: float = 0.0,
        min_split_loss: float = 0.0,
        min_interval_samples: int = 1,
        refinement_strategy: str = "l2",
        prior_sample_size: float = 0.0,
        update_clamp: float = ...,
        tilt_tau: float = 0.01,
        tilt_rho: float = 0.0,
        split_strategy: str = "random",
        top_k: int = 10,
        must_fill_all_k: bool = True,
        similarity_threshold: float = 0.0,
        bagged: bool = False,
        seed: int = 42,
        verbosity: int = 1,
        visualdb: Optional[_Path] = None,
        max_bins: Optional[int] = None,
        n_threads: Optional[int] = None,
        callback: Optional[_Callback] = None,
        row_partitions: Optional[int] = None,
        x_valid: Optional[_Matrix] = None,
        y_valid: Optional[_Vector] = None,
        n_iter_no_change: Optional[int] = None,
        tol: float = 0.0,
        colsample_eligible: bool = False,
        scaling_ridge: float = 0.0,
    ) -> tuple[ZUN, FitResult]: ...
    def predict(self, x: _Matrix) -> npt.NDArray[np.float64]: ...
    def save(self, path: _Path) -> None: ...
    @classmethod
    def load(cls, path: _Path) -> ZUN: ...
    def to_bytes(self) -> bytes: ...
    @classmethod
    def from_bytes(cls, data: Union[bytes, bytearray]) -> ZUN: ...
    def __reduce__(self) -> tuple[object, tuple[bytes]]: ...
    def compute_partial_dependence_function(
        self, fixed_indices: list[int], fixed_values: _Matrix, data_x: _Matrix
    ) -> _Components: ...
    def compute_first_order_partial_dependence_functions(
        self, values_x: _Matrix, data_x: _Matrix
    ) -> list[_Components]: ...
    def compute_ice_curves(
        self, observations: _Matrix, feature_index: int, x_range: _Vector, data_x: _Matrix
    ) -> npt.NDArray[np.float64]: ...
    def compute_ice_predictions(
        self, observations: _Matrix, feature_index: int, x_range: _Vector
    ) -> npt.NDArray[np.float64]: ...
    def compute_contributions(
        self, x: _Matrix, background: _Matrix
    ) -> tuple[npt.NDArray[np.float64], float]: ...
    def compute_per_stage_feature_importance(
        self, data_x: _Matrix
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
    def compute_aggregated_feature_importance(
        self, data_x: _Matrix
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
    def compute_combined_feature_importance(
        self, data_x: _Matrix, gamma: Optional[float] = None
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
    @property
    def stage_predictors(self) -> list[StagePredictor]: ...
