"""The run log database of a logged boosted fit, read back with sqlite3."""
import json
import math
import os
import re
import sqlite3
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from _zunmerak import ZUN

EPOCHS, N_TREES, N_FEATURES = 2, 3, 3

TABLES = {
    "runs": ["id", "created_at", "label", "params_json", "n_rows", "n_cols", "epochs", "n_trees_per_epoch",
             "run_type", "notes"],
    "events": ["id", "run_id", "epoch", "tree_id", "iter_no", "action", "col", "left_interval_idx", "split_value",
               "update_a", "update_b", "left_count", "right_count", "gain", "err_before", "err_after",
               "n_cells_after", "created_at"],
    "residual_updates": ["run_id", "epoch", "tree_id", "iter_no", "sample_id", "residual", "y_hat"],
    "residual_update_blobs": ["run_id", "epoch", "tree_id", "iter_no", "data"],
    "error_reduction_summaries": ["run_id", "epoch", "tree_id", "iter_no", "col", "min_val", "max_val", "mean_val",
                                  "nan_count", "total_count"],
    "combined_grids": ["run_id", "epoch", "energy", "scaling", "scaling_plus", "scaling_minus", "grid_json",
                       "f_plus_json", "f_minus_json"],
    "epoch_scalings": ["run_id", "epoch", "scaling", "optimization_epoch"],
    "component_states": ["run_id", "epoch", "tree_id", "iter_no", "col", "data", "intervals_count", "created_at",
                         "backbone_data", "tilt_data", "lambda_plus", "lambda_minus"],
    "f_component_stats": ["run_id", "epoch", "tree_id", "iter_no", "component", "min_val", "max_val", "mean_val",
                          "std_val", "p25", "p50", "p75", "p95", "p99", "n_samples"],
    "training_errors": ["run_id", "epoch", "tree_id", "err", "created_at", "variant"],
    "combination_choices": ["run_id", "epoch", "method", "best_index", "candidates_json", "created_at"],
    "combination_candidates": ["run_id", "epoch", "tree_id", "candidate_score", "is_best", "created_at"],
}
INDEXES = ["idx_events_run_iter", "idx_events_run_action_col", "idx_residual_updates_run_iter",
           "idx_residual_updates_run_sample", "idx_error_summaries_run_iter", "idx_component_states_loc",
           "idx_f_stats_run_iter", "idx_f_stats_component", "idx_combination_candidates_run_epoch"]
TIMESTAMP = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{0,8}[1-9])?Z$")


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(11)
    x = rng.uniform(size=(120, N_FEATURES))
    y = 3 * x[:, 0] + np.sin(6 * x[:, 1]) + 0.1 * rng.normal(size=120)
    return x, y


def fit(x, y, **kwargs):
    arguments = dict(n_trees=N_TREES, n_iter=4, verbosity=0, alpha=1.0)
    arguments.update(kwargs)
    return ZUN.fit(x, y, EPOCHS, **arguments)


# Every test of the logged fit runs for an exact and a binned fit.
@pytest.fixture(scope="module", params=[None, 16], ids=["exact", "binned"])
def max_bins(request):
    return request.param


@pytest.fixture(scope="module")
def logged(data, max_bins, tmp_path_factory):
    x, y = data
    path = str(tmp_path_factory.mktemp("runlog") / "run.db")
    model, result = fit(x, y, visualdb=path, max_bins=max_bins)
    db = sqlite3.connect(path)
    yield path, db, model, result
    db.close()


def rows(db, sql, *args):
    return db.execute(sql, args).fetchall()


def floats(blob):
    assert len(blob) % 8 == 0
    return list(struct.unpack(f"<{len(blob) // 8}d", blob))


def test_schema_has_every_table_column_and_index(logged):
    _, db, _, _ = logged
    tables = [name for (name,) in rows(db, "SELECT name FROM sqlite_master WHERE type='table' ORDER BY rowid")]
    assert tables == list(TABLES)
    for table, columns in TABLES.items():
        assert [r[1] for r in rows(db, f"PRAGMA table_info({table})")] == columns, table
    indexes = [n for (n,) in rows(db, "SELECT name FROM sqlite_master WHERE type='index' AND name LIKE 'idx_%' "
                                      "ORDER BY rowid")]
    assert indexes == INDEXES


def test_run_row_holds_the_parameters_and_shape(logged, data, max_bins):
    path, db, _, _ = logged
    x, _ = data
    [(run_id, created_at, label, params_json, n_rows, n_cols, epochs, n_trees, run_type, notes)] = rows(
        db, "SELECT * FROM runs")
    assert (run_id, label, n_rows, n_cols, epochs, n_trees, run_type, notes) == (
        1, None, x.shape[0], x.shape[1], None, None, "single_grid_tensor", None)
    assert TIMESTAMP.match(created_at), created_at
    params = json.loads(params_json)
    assert params["epochs"] == EPOCHS and params["visualdb_path"] == path
    assert params["sp_params"]["n_trees"] == N_TREES and params["sp_params"]["tg_params"]["n_iter"] == 4
    assert params["sp_params"]["tg_params"]["max_bins"] == max_bins


def test_row_counts_follow_the_shape_of_the_fit(logged):
    _, db, model, _ = logged
    moves = {(e, t): n for e, t, n in rows(db, "SELECT epoch, tree_id, COUNT(*) FROM events GROUP BY epoch, tree_id")}
    assert sorted(moves) == [(e, t) for e in range(EPOCHS) for t in range(N_TREES)]
    for (e, t), n in moves.items():
        # One event per pass, numbered from 0.
        assert [i for (i,) in rows(db, "SELECT iter_no FROM events WHERE epoch=? AND tree_id=? ORDER BY id", e, t)] \
            == list(range(n))
        # A snapshot of every feature after each move, plus the final states.
        assert rows(db, "SELECT COUNT(*) FROM component_states WHERE epoch=? AND tree_id=?", e, t) == \
            [((n + 1) * N_FEATURES,)]
        assert rows(db, "SELECT COUNT(*) FROM f_component_stats WHERE epoch=? AND tree_id=?", e, t) == [(2 * n,)]
    counts = {table: rows(db, f"SELECT COUNT(*) FROM {table}")[0][0] for table in TABLES}
    assert counts["runs"] == 1
    assert counts["training_errors"] == EPOCHS * (N_TREES + 1)
    assert counts["combined_grids"] == EPOCHS
    assert counts["epoch_scalings"] == EPOCHS * (EPOCHS + 1) // 2
    assert counts["combination_choices"] == EPOCHS
    assert counts["combination_candidates"] == EPOCHS * N_TREES
    for empty in ("residual_updates", "residual_update_blobs", "error_reduction_summaries"):
        assert counts[empty] == 0
    assert len(model.stage_predictors) == EPOCHS


def test_events_agree_with_the_snapshots_taken_after_them(logged):
    _, db, _, _ = logged
    events = rows(db, "SELECT epoch, tree_id, iter_no, col, left_interval_idx, left_count, right_count, "
                      "n_cells_after, action, created_at, split_value FROM events")
    for e, t, i, col, h, left, right, cells, action, created_at, split_value in events:
        assert action in ("split", "resplit") and TIMESTAMP.match(created_at)
        counts = [c for (c,) in rows(db, "SELECT intervals_count FROM component_states WHERE epoch=? AND tree_id=? "
                                         "AND iter_no=? ORDER BY col", e, t, i)]
        assert len(counts) == N_FEATURES and math.prod(counts) == cells
        (data,) = rows(db, "SELECT data FROM component_states WHERE epoch=? AND tree_id=? AND iter_no=? AND col=?",
                       e, t, i, col)[0]
        k = counts[col]
        bounds = floats(data)
        assert h + 1 < k and left >= 1 and right >= 1
        # The cut of the move is the upper bound of interval h.
        assert bounds[k + h] == split_value == bounds[h + 1]


def test_final_states_decode_to_the_fitted_trees(logged):
    _, db, model, _ = logged
    for e, stage in enumerate(model.stage_predictors):
        for t, tree in enumerate(stage.grid_tensors):
            last = rows(db, "SELECT MAX(iter_no) FROM component_states WHERE epoch=? AND tree_id=?", e, t)[0][0]
            finals = rows(db, "SELECT col, data, intervals_count, backbone_data, tilt_data, lambda_plus, lambda_minus "
                              "FROM component_states WHERE epoch=? AND tree_id=? AND iter_no=? ORDER BY col",
                          e, t, last)
            assert [f[0] for f in finals] == list(range(N_FEATURES))
            for col, data, k, backbone, tilt, lambda_plus, lambda_minus in finals:
                intervals = tree.intervals[col]
                assert len(data) == 24 * k and k == len(intervals)
                values = floats(data)
                assert values[:k] == [low for low, _ in intervals]
                assert values[k:2 * k] == [high for _, high in intervals]
                assert values[0] == -math.inf and values[2 * k - 1] == math.inf
                b, tl = tree.backbone_values[col], tree.tilt_values[col]
                assert floats(backbone) == b and floats(tilt) == tl
                np.testing.assert_allclose(values[2 * k:], np.array(b) * np.cosh(tl), rtol=1e-15)
                assert (lambda_plus, lambda_minus) == (tree.lambda_plus, tree.lambda_minus)


def test_training_errors_scalings_and_combined_grids(logged, data):
    _, db, model, _ = logged
    x, _ = data
    stages = model.stage_predictors
    epoch_errors = rows(db, "SELECT epoch, variant FROM training_errors WHERE tree_id IS NULL ORDER BY epoch")
    assert epoch_errors == [(e, "train") for e in range(EPOCHS)]
    last = EPOCHS - 1
    final_scalings = rows(db, "SELECT epoch, scaling FROM epoch_scalings WHERE optimization_epoch=? ORDER BY epoch",
                          last)
    assert final_scalings == [(e, s.scaling_plus) for e, s in enumerate(stages)]
    for e, stage in enumerate(stages):
        scaling, plus, minus, grid_json, f_plus_json, f_minus_json = rows(
            db, "SELECT scaling, scaling_plus, scaling_minus, grid_json, f_plus_json, f_minus_json "
                "FROM combined_grids WHERE epoch=?", e)[0]
        if e == last:
            assert (scaling, plus, minus) == (stage.scaling_plus, stage.scaling_plus, stage.scaling_minus)
        grid = json.loads(grid_json)
        assert list(grid) == sorted(grid) == ["backbone_values", "grid_values", "intervals", "lambda_minus",
                                              "lambda_plus", "splits", "tilt_values"]
        combined = stage.combined_grid_tensor
        assert grid["splits"] == combined.splits
        assert grid["intervals"][0][0][0] is None and grid["intervals"][0][-1][1] is None
        assert grid["lambda_plus"] == combined.lambda_plus
        f_plus, f_minus = np.array(json.loads(f_plus_json)), np.array(json.loads(f_minus_json))
        assert f_plus.shape == f_minus.shape == (x.shape[0],)
        np.testing.assert_allclose(f_plus - f_minus, combined.predict(x), rtol=1e-12, atol=1e-12)
    for e, method, best, candidates_json in rows(db, "SELECT epoch, method, best_index, candidates_json "
                                                     "FROM combination_choices"):
        assert (method, best) == ("BaggedTwoTensor", None)
        assert json.loads(candidates_json) == [{"score": 0.0, "tree_id": t} for t in range(N_TREES)]


def test_validation_errors_are_the_runs_test_errors_and_a_stop_is_noted(tmp_path):
    rng = np.random.default_rng(8)
    x = rng.uniform(size=(240, N_FEATURES))
    y = np.sin(6 * x[:, 0]) + x[:, 1] + 0.3 * rng.normal(size=240)
    path = tmp_path / "run.db"
    _, result = ZUN.fit(x[:40], y[:40], 60, n_trees=N_TREES, n_iter=6, verbosity=0, alpha=1.0, x_valid=x[40:],
                        y_valid=y[40:], n_iter_no_change=3, visualdb=str(path))
    con = sqlite3.connect(path)
    try:
        tested = con.execute("SELECT epoch, err FROM training_errors WHERE variant = 'test' AND tree_id IS NULL "
                             "ORDER BY epoch").fetchall()
        notes = con.execute("SELECT notes, params_json FROM runs").fetchone()
    finally:
        con.close()
    assert [epoch for epoch, _ in tested] == list(range(len(result.validation_errors)))
    assert [err for _, err in tested] == list(result.validation_errors)
    assert notes[0] == f"stopped early: no improvement on the validation rows for 3 epochs; best epoch {result.best_epoch}"
    assert json.loads(notes[1])["early_stopping"] == {"n_iter_no_change": 3, "tol": 0.0}


def test_a_medoid_choice_marks_one_best_candidate(data, tmp_path):
    x, y = data
    path = str(tmp_path / "run.db")
    fit(x, y, n_trees=5, similarity_threshold=0.5, visualdb=path)
    db = sqlite3.connect(path)
    for e, best, candidates_json in rows(db, "SELECT epoch, best_index, candidates_json FROM combination_choices"):
        candidates = json.loads(candidates_json)
        assert len(candidates) == 3 and candidates[0] == {"score": 0.0, "tree_id": best}
        assert [c["score"] for c in candidates] == sorted(c["score"] for c in candidates)
        marked = rows(db, "SELECT tree_id FROM combination_candidates WHERE epoch=? AND is_best=1", e)
        assert marked == [(best,)]
    db.close()


def test_model_and_result_are_identical_without_a_log(logged, data, max_bins, tmp_path):
    path, _, model, result = logged
    x, y = data
    plain_model, plain_result = fit(x, y, max_bins=max_bins)
    model.save(str(tmp_path / "a.zun"))
    plain_model.save(str(tmp_path / "b.zun"))
    assert (tmp_path / "a.zun").read_bytes() == (tmp_path / "b.zun").read_bytes()
    assert result.err == plain_result.err
    np.testing.assert_array_equal(result.residuals, plain_result.residuals)
    np.testing.assert_array_equal(result.y_hat, plain_result.y_hat)


def test_a_second_fit_into_the_same_file_is_run_two(data, tmp_path):
    x, y = data
    path = str(tmp_path / "run.db")
    fit(x, y, visualdb=path)
    fit(x, y, visualdb=path)
    db = sqlite3.connect(path)
    assert rows(db, "SELECT id FROM runs ORDER BY id") == [(1,), (2,)]
    per_run = rows(db, "SELECT run_id, COUNT(*) FROM events GROUP BY run_id")
    assert len(per_run) == 2 and per_run[0][1] == per_run[1][1]
    db.close()


NOTES = "plain text, long enough to be read as a database header: 0123456789abcdef"


@pytest.mark.parametrize("where, path, message", [
    ("a directory", "", "Failed to open sqlite database for logging: Is a directory"),
    ("a missing parent", "missing/run.db", "Failed to open sqlite database for logging: No such file or directory"),
    ("a file that is not a database", "notes.txt", "Failed to apply pragmas: file is not a database"),
    ("a path under a regular file", "notes.txt/run.db", "Failed to open sqlite database for logging: Not a directory"),
])
def test_an_unusable_path_is_an_os_error_and_changes_nothing(data, tmp_path, where, path, message):
    # These were PanicException, which `except Exception` does not catch.
    x, y = data
    (tmp_path / "notes.txt").write_text(NOTES)
    bad = str(tmp_path / path)
    with pytest.raises(OSError) as error:
        fit(x, y, visualdb=bad)
    assert str(error.value) == f"{message} (path '{bad}')"
    assert [p.name for p in tmp_path.iterdir()] == ["notes.txt"]
    assert (tmp_path / "notes.txt").read_text() == NOTES
    # The next fit, logged or not, is unaffected.
    fit(x, y)
    fit(x, y, visualdb=str(tmp_path / "ok.db"))


def test_a_failed_flush_keeps_the_model_and_a_consistent_database(tmp_path):
    # A file size limit lets the schema and run row be written (about 0.3 MB
    # of write-ahead log) but not the events of this fit (about 0.7 MB more);
    # the fit must still return its model.
    path = tmp_path / "run.db"
    script = textwrap.dedent(f"""
        import resource, signal
        import numpy as np
        from _zunmerak import ZUN
        rng = np.random.default_rng(3)
        x = rng.uniform(size=(4000, 4)); y = x[:, 0] + rng.normal(size=4000)
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        _, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
        resource.setrlimit(resource.RLIMIT_FSIZE, (600_000, hard))
        model, result = ZUN.fit(x, y, 3, n_trees=4, n_iter=10, verbosity=1, visualdb={str(path)!r})
        resource.setrlimit(resource.RLIMIT_FSIZE, (hard, hard))
        assert np.isfinite(result.err) and len(model.stage_predictors) == 3
        print("MODEL OK")
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "MODEL OK" in done.stdout
    assert "[zun::forest::fitter] [WARN] Failed to flush events to database: " in done.stdout
    assert "Successfully saved split events" not in done.stdout
    db = sqlite3.connect(path)
    assert rows(db, "PRAGMA integrity_check") == [("ok",)]
    assert rows(db, "SELECT COUNT(*) FROM runs") == [(1,)]
    assert rows(db, "SELECT COUNT(*) FROM events") == [(0,)]
    db.close()
