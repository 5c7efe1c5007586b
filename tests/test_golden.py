"""Golden hashes: a table of fits whose model files, in-sample predictions and
run logs must stay identical bit for bit while the fit's internals change.

The expected hashes live in golden_hashes.json beside this file. They are
written once from a build whose results are known good:

    python tests/test_golden.py --write

and never rewritten to make a failing change pass: a difference here means a
change altered what the fit computes.
"""
import hashlib
import json
import pathlib
import sqlite3
import struct
import sys

import numpy as np
import pytest

from _zunmerak import ZUN, GridTensor

GOLDEN_FILE = pathlib.Path(__file__).with_name("golden_hashes.json")


def make_data(rows, cols, seed, target="mixed", ties=False, scale=1.0):
    """Features and targets from additions and multiplications only, so the
    data are the same bits under every NumPy build and instruction set.
    `scale` multiplies the targets (a power of ten near the float range's end
    makes the fit's sums overflow)."""
    uniform = np.random.Generator(np.random.PCG64(seed)).random
    x = uniform((rows, cols))
    if ties:
        x = np.floor(x * 16.0) / 16.0
    noise = uniform(rows) + uniform(rows) + uniform(rows) - 1.5
    y = 10.0 * x[:, 0] * x[:, 1] + 20.0 * (x[:, 2] - 0.5) ** 2 + 10.0 * x[:, 3] + noise
    if cols > 4:
        y = y + 5.0 * x[:, 4]
    if target == "mixed":
        y = y - y.mean()
    elif target == "positive":
        y = y - y.min() + 0.5
    return x, y * scale


def digest(*parts):
    h = hashlib.sha256()
    for part in parts:
        h.update(part)
    return h.hexdigest()


def floats(values):
    return np.asarray(values, dtype=np.float64).tobytes()


def grid_tensor_bytes(grid):
    parts = [struct.pack("<ddd", grid.scaling, grid.lambda_plus, grid.lambda_minus)]
    for table in (grid.splits, grid.backbone_values, grid.tilt_values):
        for row in table:
            parts.append(struct.pack("<Q", len(row)) + floats(row))
    return b"".join(parts)


def run_log_bytes(path):
    """Every row of the run log but wall-clock timestamps, with the
    database's own path (part of the stored parameters) replaced by a fixed
    name. The events' ids are kept: a stage's trees send their records in tree
    order, whatever order they finish in."""
    con = sqlite3.connect(path)
    try:
        parts = []
        tables = [row[0] for row in con.execute("SELECT name FROM sqlite_master WHERE type='table' ORDER BY name")]
        for table in tables:
            columns = [row[1] for row in con.execute(f"PRAGMA table_info({table})")]
            kept = [c for c in columns if c != "created_at"]
            query = f"SELECT {', '.join(kept)} FROM {table} ORDER BY {', '.join(kept)}"
            parts.append(table.encode())
            for row in con.execute(query):
                parts.append(repr(row).replace(str(path), "RUN_DB").encode())
        return b"\n".join(parts)
    finally:
        con.close()


# (id, data arguments, fit keyword arguments)
GRID_TENSOR_CASES = [
    ("gt-positive-300", dict(rows=300, cols=5, seed=1, target="positive"), dict(n_iter=25, split_try=10, colsample_bytree=1.0)),
    ("gt-mixed-300", dict(rows=300, cols=5, seed=2), dict(n_iter=25, split_try=5, colsample_bytree=0.5, seed=7)),
    ("gt-ties-5000", dict(rows=5000, cols=6, seed=3, ties=True), dict(n_iter=25, split_try=10, colsample_bytree=0.8)),
    ("gt-mixed-20000", dict(rows=20000, cols=8, seed=4), dict(n_iter=15, split_try=10, colsample_bytree=1.0, seed=3)),
    ("gt-mixed-60000", dict(rows=60000, cols=10, seed=5), dict(n_iter=25, split_try=10, colsample_bytree=1.0, seed=5)),
    # Huge targets: statistics near the end of the float range, then beyond it.
    ("gt-scaled-1e153", dict(rows=300, cols=4, seed=6, scale=1e153), dict(n_iter=10, split_try=10, colsample_bytree=1.0)),
    ("gt-overflow-1e154", dict(rows=300, cols=4, seed=6, scale=1e154), dict(n_iter=10, split_try=10, colsample_bytree=1.0)),
]

BASE = dict(n_trees=4, n_iter=8, verbosity=0)
ZUN_CASES = [
    ("zun-defaults", dict(rows=400, cols=5, seed=11), dict(epochs=3)),
    ("zun-positive", dict(rows=400, cols=5, seed=12, target="positive"), dict(epochs=3, alpha=1.0)),
    ("zun-alpha-huber", dict(rows=400, cols=5, seed=13), dict(epochs=3, alpha=1.0, refinement_strategy="huber")),
    ("zun-best-min-interval", dict(rows=400, cols=5, seed=14), dict(epochs=2, alpha=1.0, split_strategy="best_split", min_interval_samples=5)),
    ("zun-top-k", dict(rows=400, cols=5, seed=15), dict(epochs=2, alpha=2.0, split_strategy="top_k", top_k=3, must_fill_all_k=False)),
    ("zun-top-k-fill", dict(rows=400, cols=5, seed=16, ties=True), dict(epochs=2, split_strategy="top_k", top_k=5)),
    ("zun-colsample", dict(rows=400, cols=6, seed=17), dict(epochs=3, alpha=1.0, colsample_bytree=0.5, split_try=3)),
    ("zun-decay", dict(rows=400, cols=5, seed=18), dict(epochs=4, alpha=1.0, decay=0.5, n_iter=12)),
    ("zun-tilt", dict(rows=400, cols=5, seed=19), dict(epochs=2, alpha=2.0, tilt_rho=0.5, tilt_tau=0.1)),
    ("zun-similarity", dict(rows=400, cols=5, seed=20), dict(epochs=2, alpha=1.0, n_trees=5, similarity_threshold=0.4)),
    ("zun-min-split-loss", dict(rows=400, cols=5, seed=21), dict(epochs=2, alpha=1.0, min_split_loss=0.5)),
    ("zun-3000", dict(rows=3000, cols=7, seed=22, ties=True), dict(epochs=2, alpha=1.0, n_trees=3, n_iter=15)),
    ("zun-best-huber-3000", dict(rows=3000, cols=6, seed=24), dict(epochs=2, alpha=1.0, n_trees=2, n_iter=15, split_strategy="best_split", refinement_strategy="huber")),
    ("zun-top-k-3000", dict(rows=3000, cols=6, seed=25, ties=True), dict(epochs=2, n_trees=2, n_iter=15, split_strategy="top_k", top_k=4, must_fill_all_k=False, min_interval_samples=3)),
    ("zun-min-interval-0", dict(rows=400, cols=5, seed=26), dict(epochs=2, alpha=1.0, min_interval_samples=0)),
]
LOGGED_CASE = ("zun-visualdb", dict(rows=150, cols=4, seed=23), dict(epochs=2, alpha=1.0, n_trees=3, n_iter=5))


def grid_tensor_hashes(data, kwargs):
    x, y = make_data(**data)
    grid, result = GridTensor.fit(x, y, **kwargs)
    return {"model": digest(grid_tensor_bytes(grid)), "y_hat": digest(floats(result.y_hat))}


def zun_hashes(data, kwargs, tmp_path, visualdb=False):
    x, y = make_data(**data)
    arguments = dict(BASE)
    arguments.update(kwargs)
    epochs = arguments.pop("epochs")
    db = tmp_path / "run.db"
    if visualdb:
        arguments["visualdb"] = str(db)
    model, result = ZUN.fit(x, y, epochs, **arguments)
    path = tmp_path / "model.zun"
    model.save(str(path))
    hashes = {"model": digest(path.read_bytes()), "y_hat": digest(floats(result.y_hat))}
    if visualdb:
        hashes["run_log"] = digest(run_log_bytes(db))
    return hashes


def compute_all(tmp_path):
    hashes = {}
    for case_id, data, kwargs in GRID_TENSOR_CASES:
        hashes[case_id] = grid_tensor_hashes(data, kwargs)
    for case_id, data, kwargs in ZUN_CASES:
        hashes[case_id] = zun_hashes(data, kwargs, tmp_path)
    case_id, data, kwargs = LOGGED_CASE
    hashes[case_id] = zun_hashes(data, kwargs, tmp_path, visualdb=True)
    return hashes


@pytest.fixture(scope="module")
def golden():
    return json.loads(GOLDEN_FILE.read_text())


@pytest.mark.parametrize("case_id, data, kwargs", GRID_TENSOR_CASES, ids=[c[0] for c in GRID_TENSOR_CASES])
def test_grid_tensor_fit_is_unchanged(golden, case_id, data, kwargs):
    assert grid_tensor_hashes(data, kwargs) == golden[case_id]


@pytest.mark.parametrize("case_id, data, kwargs", ZUN_CASES, ids=[c[0] for c in ZUN_CASES])
def test_boosted_fit_is_unchanged(golden, tmp_path, case_id, data, kwargs):
    assert zun_hashes(data, kwargs, tmp_path) == golden[case_id]


def test_logged_fit_and_its_run_log_are_unchanged(golden, tmp_path):
    case_id, data, kwargs = LOGGED_CASE
    assert zun_hashes(data, kwargs, tmp_path, visualdb=True) == golden[case_id]


if __name__ == "__main__":
    import tempfile

    if sys.argv[1:] != ["--write"]:
        sys.exit("usage: python tests/test_golden.py --write")
    with tempfile.TemporaryDirectory() as directory:
        result = compute_all(pathlib.Path(directory))
    GOLDEN_FILE.write_text(json.dumps(result, indent=1, sort_keys=True) + "\n")
    print(f"wrote {len(result)} cases to {GOLDEN_FILE}")
