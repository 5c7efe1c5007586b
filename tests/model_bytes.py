"""Model files built byte by byte, and a NumPy evaluation of the model formulas.

Both are written from the documented file layout and formulas alone, without
going through the extension, so the module tests compare two independent
implementations. Everything is little-endian without padding: u64 counts,
u32 enumeration variants, f64 bit patterns, one tag byte per optional value.
"""
from __future__ import annotations

import math
import struct
from dataclasses import dataclass, field
from typing import Optional, Sequence

import numpy as np

INF = math.inf

# Aggregation variants in declaration order.
MEAN, GEOMETRIC_MEAN, COMBINED = 0, 1, 2


def u8(value: int) -> bytes:
    return struct.pack("<B", value)


def u32(value: int) -> bytes:
    return struct.pack("<I", value)


def u64(value: int) -> bytes:
    return struct.pack("<Q", value)


def f64(value: float) -> bytes:
    return struct.pack("<d", value)


def float_from_bits(bits: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def bits_of(value: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def optional_f64(value: Optional[float]) -> bytes:
    return u8(0) if value is None else u8(1) + f64(value)


@dataclass(frozen=True)
class Bounds:
    """An interval entry written literally: any number of optional floats."""

    values: tuple


def interval_entry(entry) -> bytes:
    if isinstance(entry, Bounds):
        return u64(len(entry.values)) + b"".join(optional_f64(v) for v in entry.values)
    low, high = entry
    # Only the infinities that mean "unbounded" are left out; NaN is stored.
    return (u64(2) + optional_f64(None if low <= -INF else low)
            + optional_f64(None if high >= INF else high))


def f64_lists(lists) -> bytes:
    return u64(len(lists)) + b"".join(u64(len(row)) + b"".join(f64(v) for v in row) for row in lists)


def u64_lists(lists) -> bytes:
    return u64(len(lists)) + b"".join(u64(len(row)) + b"".join(u64(v) for v in row) for row in lists)


def intervals_from_splits(splits) -> list:
    return [list(zip([-INF] + list(s), list(s) + [INF])) for s in splits]


@dataclass
class Grid:
    splits: list
    backbone: list
    tilt: list
    lambda_plus: float = 1.0
    lambda_minus: float = 0.5
    scaling: float = 1.0
    # None derives the usual values from the splits.
    observation_counts: Optional[list] = None
    intervals: Optional[list] = None

    def counts(self) -> list:
        if self.observation_counts is not None:
            return self.observation_counts
        return [[1] * (len(s) + 1) for s in self.splits]

    def interval_entries(self) -> list:
        if self.intervals is not None:
            return self.intervals
        return intervals_from_splits(self.splits)


@dataclass
class Stage:
    primary: Grid
    trees: list = field(default_factory=list)
    candidate_indices: Optional[list] = None
    aggregation: int = COMBINED
    scaling_plus: Optional[float] = None
    scaling_minus: Optional[float] = None
    energy: Optional[float] = None


def grid_parts(grid: Grid) -> list:
    """(field name, bytes) in declared order."""
    return [
        ("splits", f64_lists(grid.splits)),
        ("observation_counts", u64_lists(grid.counts())),
        ("intervals", u64(len(grid.interval_entries()))
         + b"".join(u64(len(row)) + b"".join(interval_entry(e) for e in row)
                    for row in grid.interval_entries())),
        ("scaling", f64(grid.scaling)),
        ("backbone_values", f64_lists(grid.backbone)),
        ("tilt_values", f64_lists(grid.tilt)),
        ("lambda_plus", f64(grid.lambda_plus)),
        ("lambda_minus", f64(grid.lambda_minus)),
    ]


def encode_grid(grid: Grid) -> bytes:
    return b"".join(part for _, part in grid_parts(grid))


def stage_parts(stage: Stage) -> list:
    """(field name, bytes) in declared order."""
    candidates = stage.candidate_indices
    return [
        ("grid_tensors", u64(len(stage.trees)) + b"".join(encode_grid(t) for t in stage.trees)),
        ("primary_grid_tensor", encode_grid(stage.primary)),
        ("candidate_indices", u8(0) if candidates is None
         else u8(1) + u64(len(candidates)) + b"".join(u64(i) for i in candidates)),
        ("aggregation_method", u32(stage.aggregation)),
        ("scaling_plus", optional_f64(stage.scaling_plus)),
        ("scaling_minus", optional_f64(stage.scaling_minus)),
        ("energy", optional_f64(stage.energy)),
    ]


def encode_stage(stage: Stage) -> bytes:
    return b"".join(part for _, part in stage_parts(stage))


def encode_model(stages: Sequence[Stage]) -> bytes:
    return u64(len(stages)) + b"".join(encode_stage(s) for s in stages)


def stage_field_offset(stages: Sequence[Stage], index: int, name: str) -> int:
    """Byte offset of a field of stage `index` in encode_model(stages)."""
    offset = 8 + sum(len(encode_stage(s)) for s in stages[:index])
    for part_name, part in stage_parts(stages[index]):
        if part_name == name:
            return offset
        offset += len(part)
    raise KeyError(name)


# ---------------------------------------------------------------------------
# Sizes from the layout's closed forms, not from the encoder above.

def grid_size(grid: Grid) -> int:
    return 64 + sum(74 + 58 * len(s) for s in grid.splits)


def stage_size(stage: Stage) -> int:
    candidates = 1 if stage.candidate_indices is None else 9 + 8 * len(stage.candidate_indices)
    optionals = sum(1 if v is None else 9 for v in (stage.scaling_plus, stage.scaling_minus, stage.energy))
    return 8 + sum(grid_size(t) for t in stage.trees) + grid_size(stage.primary) + candidates + 4 + optionals


def model_size(stages: Sequence[Stage]) -> int:
    return 8 + sum(stage_size(s) for s in stages)


# ---------------------------------------------------------------------------
# Reference evaluation.

def _factors(values_b, values_t, sign: float) -> np.ndarray:
    # math.exp is the C library's exp, as the extension uses; NumPy's own SIMD
    # exp may differ in the last bit.
    return np.array([math.exp(sign * t) * b for b, t in zip(values_b, values_t)], dtype=np.float64)


def reference_components(grid: Grid, x: np.ndarray, clamp: bool):
    """(f+, f-) per row of x, over the first x.shape[1] features."""
    x = np.asarray(x, dtype=np.float64)
    n, c = x.shape
    plus = np.full(n, grid.lambda_plus, dtype=np.float64)
    minus = np.full(n, grid.lambda_minus, dtype=np.float64)
    for j in range(c):
        column = x[:, j]
        k = np.searchsorted(np.asarray(grid.splits[j], dtype=np.float64), column, side="right")
        k[np.isnan(column)] = 0
        if clamp:
            k = np.minimum(k, len(grid.backbone[j]) - 1)
        plus = plus * _factors(grid.backbone[j], grid.tilt[j], 1.0)[k]
        minus = minus * _factors(grid.backbone[j], grid.tilt[j], -1.0)[k]
    return plus, minus


def reference_grid_predict(grid: Grid, x: np.ndarray) -> np.ndarray:
    plus, minus = reference_components(grid, x, clamp=False)
    return plus - minus


def reference_stage_predict(stage: Stage, x: np.ndarray) -> np.ndarray:
    plus, minus = reference_components(stage.primary, x, clamp=True)
    s_plus = 1.0 if stage.scaling_plus is None else stage.scaling_plus
    s_minus = 0.0 if stage.scaling_minus is None else stage.scaling_minus
    return s_plus * plus - s_minus * minus


def reference_model_predict(stages: Sequence[Stage], x: np.ndarray) -> np.ndarray:
    total = np.zeros(np.asarray(x).shape[0], dtype=np.float64)
    for stage in stages:
        total = total + reference_stage_predict(stage, x)
    return total


def reference_mean_factor(grid: Grid) -> list:
    return [[b * math.cosh(t) for b, t in zip(bs, ts)] for bs, ts in zip(grid.backbone, grid.tilt)]


# ---------------------------------------------------------------------------
# Random models and query data.

def random_grid(rng: np.random.Generator, n_features: int, max_thresholds: int = 4) -> Grid:
    splits, backbone, tilt = [], [], []
    for _ in range(n_features):
        m = int(rng.integers(0, max_thresholds + 1))
        # Quarter steps, so query values can hit thresholds exactly.
        thresholds = np.sort(rng.choice(np.arange(-40, 41), size=m, replace=False)) / 4.0
        splits.append([float(s) for s in thresholds])
        backbone.append([float(v) for v in rng.uniform(0.2, 2.0, m + 1)])
        t = rng.uniform(-1.0, 1.0, m + 1)
        t[rng.random(m + 1) < 0.3] = 0.0
        tilt.append([float(v) for v in t])
    return Grid(splits, backbone, tilt,
                lambda_plus=float(rng.uniform(0.5, 2.0)),
                lambda_minus=float(rng.uniform(0.1, 1.5)),
                scaling=float(rng.uniform(0.5, 2.0)))


def random_stage(rng: np.random.Generator, n_features: int, n_trees: int = 2) -> Stage:
    return Stage(
        primary=random_grid(rng, n_features),
        trees=[random_grid(rng, n_features) for _ in range(n_trees)],
        candidate_indices=list(range(n_trees)),
        aggregation=int(rng.integers(0, 3)),
        scaling_plus=float(rng.uniform(-2.0, 2.0)),
        scaling_minus=float(rng.uniform(-2.0, 2.0)),
        energy=float(rng.uniform(0.0, 5.0)),
    )


def query_matrix(rng: np.random.Generator, grids: Sequence[Grid], n_rows: int, n_features: int) -> np.ndarray:
    """Rows mixing exact thresholds, values between them, NaN and infinities."""
    x = rng.uniform(-12.0, 12.0, size=(n_rows, n_features))
    thresholds = sorted({s for g in grids for row in g.splits for s in row})
    specials = np.array(thresholds + [math.nan, INF, -INF, 0.0, -0.0], dtype=np.float64)
    mask = rng.random((n_rows, n_features)) < 0.4
    x[mask] = rng.choice(specials, size=int(mask.sum()))
    return x
