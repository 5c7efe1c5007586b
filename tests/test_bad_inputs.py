"""Arguments that can only be mistakes, for every public method.

Each case runs in a child process, so a crash or an abort fails that case
instead of ending the test run; the child reports the exception's type and
message through a pipe and its parent the wait status. The children are
forked from a case server, a fresh interpreter that never runs the worker
pool itself (the pool's threads would not survive a fork into the child), so
each case starts cheaply from an initialised interpreter.

Every case names the outcome it expects: an exception type with a fragment
of its message, or "ok" for odd values that have a defined meaning and must
stay accepted.
"""
import json
import os
import pathlib
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from _zunmerak import ZUN

# Names every case's code can use; built once in each child by `_namespace`.
SETUP = """
import os, pathlib
import numpy as np
from _zunmerak import ZUN, GridTensor, StagePredictor, FitResult
rng = np.random.default_rng(0)
x = rng.uniform(size=(40, 3))
y = x[:, 0] + x[:, 1] * x[:, 2]
model = ZUN.load(MODEL)
empty = ZUN.load(EMPTY)
stage = model.stage_predictors[0]
grid = stage.combined_grid_tensor
huge = np.broadcast_to(x[:1], (2**40, 3))
huge_y = np.broadcast_to(y[:1], (2**40,))
"""

FIT = "ZUN.fit(x, y, 1, n_trees=2, n_iter=3, verbosity=0, alpha=1.0, "
GT_FIT = "GridTensor.fit(x, y, 3, 5, 1.0, "

OK = ("ok", "")
TYPE = "TypeError"
VALUE = "ValueError"
OVERFLOW = "OverflowError"
MEMORY = "MemoryError"
OS = "OSError"
PANIC = "PanicException"


def rejects(kind, fragment=""):
    return (kind, fragment)


# (id, code, expected): the code runs with the SETUP names; `tmp` is a fresh
# directory of the case.
CASES = [
    # --- construction and binding, shared by every method
    ("construct ZUN", "ZUN()", rejects(TYPE, "cannot create 'ZUN' instances")),
    ("construct GridTensor", "GridTensor()", rejects(TYPE, "cannot create")),
    ("construct StagePredictor", "StagePredictor()", rejects(TYPE, "cannot create")),
    ("construct FitResult", "FitResult()", rejects(TYPE, "cannot create")),
    ("ZUN.fit missing epochs", "ZUN.fit(x, y)", rejects(TYPE, "ZUN.fit() missing required argument 'epochs'")),
    ("ZUN.fit unknown keyword", "ZUN.fit(x, y, 1, trees=3)", rejects(TYPE, "unexpected keyword argument 'trees'")),
    ("ZUN.fit twice given", "ZUN.fit(x, y, 1, x=x)", rejects(TYPE, "multiple values for argument 'x'")),
    ("ZUN.fit too many", "ZUN.fit(x, y, *range(34))", rejects(TYPE, "takes at most 35 arguments")),
    ("ZUN.predict wrong self", "ZUN.predict(grid, x)", rejects(TYPE, "doesn't apply to a 'builtins.GridTensor' object")),
    ("GridTensor.predict wrong self", "GridTensor.predict(model, x)", rejects(TYPE, "doesn't apply to a 'builtins.ZUN' object")),
    ("StagePredictor.predict wrong self", "StagePredictor.predict(model, x)", rejects(TYPE, "doesn't apply to a 'builtins.ZUN' object")),
    ("ZUN.save wrong self", "ZUN.save(grid, str(tmp / 'm.zun'))", rejects(TYPE, "doesn't apply to a 'builtins.GridTensor' object")),
    ("analysis wrong self", "ZUN.compute_per_stage_feature_importance(grid, x)", rejects(TYPE, "doesn't apply to a 'builtins.GridTensor' object")),

    # --- ZUN.fit: arrays
    ("fit x list", "ZUN.fit(x.tolist(), y, 1)", rejects(TYPE, "x: expected a 2-D numpy.ndarray of float64, got list")),
    ("fit x int64", "ZUN.fit(x.astype(np.int64), y, 1)", rejects(TYPE, "x: expected a 2-D numpy.ndarray of float64, got dtype int64")),
    ("fit x float32", "ZUN.fit(x.astype(np.float32), y, 1)", rejects(TYPE, "dtype float32")),
    ("fit x 1-D", "ZUN.fit(y, y, 1)", rejects(TYPE, "x: expected a 2-D numpy.ndarray of float64, got an array with 1 dimensions")),
    ("fit x 3-D", "ZUN.fit(x[None], y, 1)", rejects(TYPE, "with 3 dimensions")),
    ("fit x None", "ZUN.fit(None, y, 1)", rejects(TYPE, "got NoneType")),
    ("fit y 2-D", "ZUN.fit(x, x, 1)", rejects(TYPE, "y: expected a 1-D numpy.ndarray")),
    ("fit y complex", "ZUN.fit(x, y.astype(complex), 1)", rejects(TYPE, "y: expected a 1-D numpy.ndarray of float64, got dtype complex128")),
    ("fit rows differ", "ZUN.fit(x, y[:-1], 1)", rejects(VALUE, "x has 40 rows but y has 39 entries")),
    ("fit no rows", "ZUN.fit(x[:0], y[:0], 1)", rejects(VALUE, "x and y have no rows")),
    ("fit NaN in x", "x[3, 1] = np.nan; ZUN.fit(x, y, 1)", rejects(VALUE, "x has NaN in column 1 (row 3)")),
    ("fit inf in y", "y[5] = np.inf; ZUN.fit(x, y, 1)", rejects(VALUE, "y has a non-finite value inf at index 5")),
    ("fit NaN in y", "y[0] = np.nan; ZUN.fit(x, y, 1)", rejects(VALUE, "y has a non-finite value nan at index 0")),
    ("fit rows beyond memory", "ZUN.fit(huge, huge_y, 1)", rejects(MEMORY)),

    # --- ZUN.fit: counts
    ("fit epochs negative", "ZUN.fit(x, y, -1)", rejects(OVERFLOW)),
    ("fit epochs 2**64", "ZUN.fit(x, y, 2**64)", rejects(OVERFLOW)),
    ("fit epochs float", "ZUN.fit(x, y, 1.0)", rejects(TYPE, "epochs")),
    ("fit epochs str", "ZUN.fit(x, y, '1')", rejects(TYPE, "epochs")),
    ("fit epochs 2**63", "ZUN.fit(x, y, 2**63)", rejects(MEMORY, "cannot allocate the design matrix (rows x 2 x epochs): 40 x 2 x 9223372036854775808")),
    ("fit epochs 2**61+1", "ZUN.fit(x, y, 2**61 + 1)", rejects(MEMORY, "cannot allocate the design matrix")),
    ("fit epochs 2**64-1", "ZUN.fit(x, y, 2**64 - 1)", rejects(MEMORY, "cannot allocate the design matrix")),
    ("fit n_trees 0", FIT.replace("n_trees=2, ", "") + "n_trees=0)", rejects(VALUE, "n_trees must be at least 1, got 0")),
    ("fit n_trees 2**64-1", "ZUN.fit(x, y, 1, n_trees=2**64 - 1, verbosity=0)", rejects(MEMORY, "cannot allocate the tree seeds")),
    ("fit n_trees 2**61", "ZUN.fit(x, y, 1, n_trees=2**61, verbosity=0)", rejects(MEMORY)),
    ("fit n_trees negative", "ZUN.fit(x, y, 1, n_trees=-2)", rejects(OVERFLOW)),
    ("fit n_iter 2**64", "ZUN.fit(x, y, 1, n_iter=2**64)", rejects(OVERFLOW)),
    ("fit n_iter numpy float", "ZUN.fit(x, y, 1, n_iter=np.float64(3))", rejects(TYPE, "n_iter")),
    ("fit split_try None", "ZUN.fit(x, y, 1, split_try=None)", rejects(TYPE, "split_try")),
    ("fit top_k negative", "ZUN.fit(x, y, 1, top_k=-1)", rejects(OVERFLOW)),
    ("fit min_interval_samples float", "ZUN.fit(x, y, 1, min_interval_samples=1.5)", rejects(TYPE, "min_interval_samples")),
    ("fit seed negative", "ZUN.fit(x, y, 1, seed=-1)", rejects(OVERFLOW)),
    ("fit seed 2**64", "ZUN.fit(x, y, 1, seed=2**64)", rejects(OVERFLOW)),
    ("fit verbosity 256", "ZUN.fit(x, y, 1, verbosity=256)", rejects(OVERFLOW, "verbosity: 256 is out of range")),
    ("fit verbosity -1", "ZUN.fit(x, y, 1, verbosity=-1)", rejects(OVERFLOW)),
    ("fit bagged 1", "ZUN.fit(x, y, 1, bagged=1)", rejects(TYPE, "bagged: expected bool")),
    ("fit must_fill_all_k None", "ZUN.fit(x, y, 1, must_fill_all_k=None)", rejects(TYPE, "must_fill_all_k")),

    # --- ZUN.fit: floats that can only be mistakes
    *[(f"fit {name} {text}", FIT.replace("alpha=1.0, ", "") + f"{name}={value})",
       rejects(VALUE, f"{name} must be a finite number >= 0, got {text}"))
      for name in ("alpha", "tilt_tau", "tilt_rho")
      for value, text in (("float('nan')", "NaN"), ("float('inf')", "inf"), ("-float('inf')", "-inf"), ("-0.5", "-0.5"))],
    ("fit min_split_loss NaN", FIT + "min_split_loss=float('nan'))", rejects(VALUE, "min_split_loss must be a number (any value but NaN), got NaN")),
    ("fit similarity_threshold NaN", FIT + "similarity_threshold=float('nan'))", rejects(VALUE, "similarity_threshold must be a number below 1, got NaN")),
    ("fit similarity_threshold 1", FIT + "similarity_threshold=1.0)", rejects(VALUE, "similarity_threshold must be a number below 1, got 1.0")),
    ("fit similarity_threshold inf", FIT + "similarity_threshold=float('inf'))", rejects(VALUE, "got inf")),
    ("fit alpha str", FIT.replace("alpha=1.0, ", "") + "alpha='1')", rejects(TYPE, "alpha")),
    ("fit decay None", FIT + "decay=None)", rejects(TYPE, "decay")),
    ("fit gamma-like complex", FIT + "tilt_tau=1j)", rejects(TYPE, "tilt_tau")),

    # --- ZUN.fit: values with a defined meaning stay accepted
    ("fit colsample NaN", FIT + "colsample_bytree=float('nan'))", OK),
    ("fit colsample 0", FIT + "colsample_bytree=0.0)", OK),
    ("fit colsample negative", FIT + "colsample_bytree=-1.0)", OK),
    ("fit decay NaN", "ZUN.fit(x, y, 2, n_trees=2, n_iter=3, verbosity=0, alpha=1.0, decay=float('nan'))", OK),
    ("fit decay negative", "ZUN.fit(x, y, 2, n_trees=2, n_iter=3, verbosity=0, alpha=1.0, decay=-2.0)", OK),
    ("fit verbosity 255", "ZUN.fit(x, y, 1, n_trees=2, n_iter=3, alpha=1.0, verbosity=255)", OK),
    ("fit min_split_loss negative", FIT + "min_split_loss=-1.0)", OK),
    ("fit min_split_loss -inf", FIT + "min_split_loss=-float('inf'))", OK),
    ("fit complexity_penalty NaN", FIT + "complexity_penalty=float('nan'))", OK),
    ("fit prior_sample_size inf", FIT + "prior_sample_size=float('inf'))", OK),
    ("fit update_clamp NaN", FIT + "update_clamp=float('nan'))", OK),
    ("fit similarity_threshold negative", FIT + "similarity_threshold=-3.0)", OK),
    ("fit epochs 0", "ZUN.fit(x, y, 0)", OK),

    # --- ZUN.fit: strategy names and the run log path
    ("fit split_strategy unknown", FIT + "split_strategy='Random')", rejects(VALUE, "Unknown split_strategy: 'Random'. Valid: 'random', 'best_split', 'top_k'")),
    ("fit split_strategy with NUL", FIT + "split_strategy='random\\x00x')", rejects(VALUE, "Unknown split_strategy: 'random\\x00x'. Valid")),
    ("fit refinement_strategy with NUL", FIT + "refinement_strategy='l2\\x00')", rejects(VALUE, "Unknown refinement_strategy: 'l2\\x00'. Valid: 'l2', 'huber'")),
    ("fit split_strategy bytes", FIT + "split_strategy=b'random')", rejects(TYPE, "split_strategy: expected str, got bytes")),
    ("fit split_strategy Path", FIT + "split_strategy=pathlib.Path('random'))", rejects(TYPE, "split_strategy: expected str")),
    ("fit visualdb NUL", FIT + "visualdb=str(tmp / 'run.db') + '\\x00.txt')", rejects(VALUE, "visualdb: embedded null byte")),
    ("fit visualdb bytes", FIT + "visualdb=b'run.db')", rejects(TYPE, "visualdb: expected str or os.PathLike, got bytes")),
    ("fit visualdb int", FIT + "visualdb=3)", rejects(TYPE, "visualdb")),
    ("fit visualdb in missing directory", FIT + "visualdb=str(tmp / 'missing' / 'run.db'))", rejects(OS, "Failed to open sqlite database for logging: No such file or directory (path ")),
    ("fit visualdb Path", FIT + "visualdb=tmp / 'run.db')", OK),
    # --- max_bins of both fits: None (exact) or 2 to 65536 bins, anything else named
    *[(f"{name} max_bins {value}", prefix + f"max_bins={value})", expected)
      for name, prefix in [("fit", FIT), ("gt fit", GT_FIT)]
      for value, expected in [
          ("0", rejects(VALUE, "max_bins must be an integer from 2 to 65536 or None, got 0")),
          ("1", rejects(VALUE, "max_bins must be an integer from 2 to 65536 or None, got 1")),
          ("True", rejects(VALUE, "max_bins must be an integer from 2 to 65536 or None, got 1")),
          ("65537", rejects(VALUE, "got 65537")),
          ("-1", rejects(VALUE, "got -1")),
          ("2**64 + 2", rejects(VALUE, "got 18446744073709551618")),
          ("-2**70", rejects(VALUE, "got -1180591620717411303424")),
          ("16.0", rejects(TYPE, "max_bins")),
          ("'16'", rejects(TYPE, "max_bins")),
          ("2", OK),
          ("65536", OK),
          ("np.uint16(300)", OK),
          ("None", OK),
      ]],

    # --- GridTensor.fit
    ("gt fit rows differ", "GridTensor.fit(x, y[:3], 3, 5, 1.0)", rejects(VALUE, "x has 40 rows but y has 3 entries")),
    ("gt fit no rows", "GridTensor.fit(x[:0], y[:0], 3, 5, 1.0)", rejects(VALUE, "no rows")),
    ("gt fit NaN in x", "x[0, 0] = np.nan; GridTensor.fit(x, y, 3, 5, 1.0)", rejects(VALUE, "x has NaN in column 0 (row 0)")),
    ("gt fit -inf in y", "y[1] = -np.inf; GridTensor.fit(x, y, 3, 5, 1.0)", rejects(VALUE, "non-finite value -inf at index 1")),
    ("gt fit rows beyond memory", "GridTensor.fit(huge, huge_y, 3, 5, 1.0)", rejects(MEMORY)),
    ("gt fit missing colsample", "GridTensor.fit(x, y, 3, 5)", rejects(TYPE, "missing required argument 'colsample_bytree'")),
    ("gt fit n_iter negative", "GridTensor.fit(x, y, -3, 5, 1.0)", rejects(OVERFLOW)),
    ("gt fit split_try float", "GridTensor.fit(x, y, 3, 5.0, 1.0)", rejects(TYPE, "split_try")),
    ("gt fit seed 2**64", GT_FIT + "seed=2**64)", rejects(OVERFLOW)),
    ("gt fit x list", "GridTensor.fit(x.tolist(), y, 3, 5, 1.0)", rejects(TYPE, "x: expected")),
    ("gt fit n_iter 2**64-1", "GridTensor.fit(x, y, 2**64 - 1, 5, 1.0)", OK),
    ("gt fit split_try 2**64-1", "GridTensor.fit(x, y, 3, 2**64 - 1, 1.0)", OK),
    ("gt fit colsample NaN", "GridTensor.fit(x, y, 3, 5, float('nan'))", OK),

    # --- predict
    ("ZUN.predict fewer columns", "model.predict(x[:, :2])", rejects(VALUE, "x has 2 columns but the model has 3 features")),
    ("ZUN.predict more columns", "model.predict(np.hstack([x, x]))", rejects(VALUE, "x has 6 columns but the model has 3 features")),
    ("ZUN.predict no columns", "model.predict(x[:, :0])", rejects(VALUE, "x has 0 columns but the model has 3 features")),
    ("ZUN.predict 1-D", "model.predict(y)", rejects(TYPE, "x: expected a 2-D")),
    ("ZUN.predict int", "model.predict(x.astype(int))", rejects(TYPE, "dtype int64")),
    ("ZUN.predict rows beyond memory", "model.predict(huge)", rejects(MEMORY)),
    ("ZUN.predict no stages any width", "empty.predict(x[:, :1])", OK),
    ("GridTensor.predict more columns", "grid.predict(np.hstack([x, x]))", rejects(VALUE, "x has 6 columns but the model has 3 features")),
    ("GridTensor.predict leading features", "grid.predict(x[:, :2])", OK),
    ("StagePredictor.predict more columns", "stage.predict(np.hstack([x, x]))", rejects(VALUE, "x has 6 columns")),
    ("StagePredictor.predict leading features", "stage.predict(x[:, :1])", OK),
    ("StagePredictor.predict list", "stage.predict([[1.0]])", rejects(TYPE, "x: expected")),

    # --- save
    ("save NUL in path", "model.save(str(tmp / 'm.zun') + '\\x00.txt')", rejects(VALUE, "path: embedded null byte")),
    ("save bytes path", "model.save(str(tmp / 'm.zun').encode())", rejects(TYPE, "path: expected str or os.PathLike, got bytes")),
    ("save int path", "model.save(3)", rejects(TYPE, "path")),
    ("save None path", "model.save(None)", rejects(TYPE, "path")),
    ("save no path", "model.save()", rejects(TYPE, "missing required argument 'path'")),
    ("save into missing directory", "model.save(str(tmp / 'missing' / 'm.zun'))", rejects(OS, "Failed to write to file")),
    ("save onto a directory", "model.save(str(tmp))", rejects(OS, "Is a directory")),
    ("save Path", "model.save(tmp / 'm.zun')", OK),
    ("save 250-character name", "model.save(tmp / ('m' * 250))", OK),

    # --- load
    ("load NUL in path", "ZUN.load(MODEL + '\\x00')", rejects(VALUE, "path: embedded null byte")),
    ("load bytes path", "ZUN.load(MODEL.encode())", rejects(TYPE, "path: expected str or os.PathLike, got bytes")),
    ("load float path", "ZUN.load(1.5)", rejects(TYPE, "path")),
    ("load missing file", "ZUN.load(str(tmp / 'missing.zun'))", rejects(OS, "Failed to read from file")),
    ("load directory", "ZUN.load(str(tmp))", rejects(OS, "Is a directory")),
    ("load empty file", "(tmp / 'e.zun').write_bytes(b''); ZUN.load(tmp / 'e.zun')", rejects(VALUE, "Failed to deserialize ZUN model: io error: unexpected end of file")),
    ("load /dev/zero", "ZUN.load('/dev/zero')", rejects(VALUE, "the input goes on after the model's 8 bytes")),
    ("load /dev/null", "ZUN.load('/dev/null')", rejects(VALUE, "unexpected end of file")),
    ("load Path", "ZUN.load(pathlib.Path(MODEL))", OK),

    # --- partial dependence
    ("pd fixed_indices str", "model.compute_partial_dependence_function('0', x[:, :1], x)", rejects(TYPE, "fixed_indices")),
    ("pd fixed_indices negative", "model.compute_partial_dependence_function([-1], x[:, :1], x)", rejects(OVERFLOW)),
    ("pd fixed_indices floats", "model.compute_partial_dependence_function([0.0], x[:, :1], x)", rejects(TYPE, "fixed_indices")),
    ("pd columns", "model.compute_partial_dependence_function([0, 1], x[:, :1], x)", rejects(VALUE, "fixed_values must have 2 columns (one per fixed_indices), got 1")),
    ("pd duplicates", "model.compute_partial_dependence_function([1, 1], x[:, :2], x)", rejects(VALUE, "fixed_indices must contain unique values")),
    ("pd index out of bounds", "model.compute_partial_dependence_function([3], x[:, :1], x)", rejects(VALUE, "Feature index 3 out of bounds (n_features=3)")),
    ("pd index 2**64-1", "model.compute_partial_dependence_function([2**64 - 1], x[:, :1], x)", rejects(VALUE, "Feature index 18446744073709551615 out of bounds")),
    ("pd narrow data", "model.compute_partial_dependence_function([0], x[:, :1], x[:, :2])", rejects(VALUE, "Feature count mismatch: data_x has 2 columns but the grid of stage 0 has 3")),
    ("pd data 1-D", "model.compute_partial_dependence_function([0], x[:, :1], y)", rejects(TYPE, "data_x")),
    ("pd rows beyond memory", "model.compute_partial_dependence_function([0], huge[:, :1], x)", rejects(MEMORY)),

    # --- first-order partial dependence
    ("first order no data rows", "model.compute_first_order_partial_dependence_functions(x, x[:0])", rejects(VALUE, "data_x must contain at least one sample")),
    ("first order columns differ", "model.compute_first_order_partial_dependence_functions(x[:, :2], x)", rejects(VALUE, "values_x and data_x must have the same number of columns, got 2 and 3")),
    ("first order narrow", "model.compute_first_order_partial_dependence_functions(x[:, :2], x[:, :2])", rejects(VALUE, "Feature count mismatch: values_x has 2 columns but grid has 3")),
    ("first order values list", "model.compute_first_order_partial_dependence_functions([[0.0]], x)", rejects(TYPE, "values_x")),
    ("first order rows beyond memory", "model.compute_first_order_partial_dependence_functions(huge, x)", rejects(MEMORY)),

    # --- ICE curves
    ("ice feature out of bounds", "model.compute_ice_curves(x, 3, y, x)", rejects(VALUE, "feature_index 3 out of bounds (n_features=3)")),
    ("ice feature negative", "model.compute_ice_curves(x, -1, y, x)", rejects(OVERFLOW)),
    ("ice feature 2**64", "model.compute_ice_curves(x, 2**64, y, x)", rejects(OVERFLOW)),
    ("ice feature float", "model.compute_ice_curves(x, 1.0, y, x)", rejects(TYPE, "feature_index")),
    ("ice columns differ", "model.compute_ice_curves(x, 0, y, x[:, :2])", rejects(VALUE, "observations and data_x must have the same number of columns, got 3 and 2")),
    ("ice empty range", "model.compute_ice_curves(x, 0, y[:0], x)", rejects(VALUE, "x_range must contain at least one value")),
    ("ice narrow", "model.compute_ice_curves(x[:, :2], 0, y, x[:, :2])", rejects(VALUE, "Feature count mismatch: observations has 2 columns but grid has 3")),
    ("ice range 2-D", "model.compute_ice_curves(x, 0, x, x)", rejects(TYPE, "x_range")),
    ("ice output beyond the address space", "model.compute_ice_curves(x, 0, np.broadcast_to(y[:1], (2**59,)), x)", rejects(MEMORY)),
    ("ice observations beyond memory", "model.compute_ice_curves(np.broadcast_to(x[:1], (2**33, 3)), 0, y, x)", rejects(MEMORY)),

    # --- feature importance
    ("per-stage wide data", "model.compute_per_stage_feature_importance(np.hstack([x, x]))", rejects(VALUE, "Feature dimension mismatch: data has 6 features, but model has 3")),
    ("per-stage narrow data", "model.compute_per_stage_feature_importance(x[:, :2])", rejects(VALUE, "Feature dimension mismatch: data has 2 features, but model has 3")),
    ("per-stage list", "model.compute_per_stage_feature_importance([[1.0, 2.0, 3.0]])", rejects(TYPE, "data_x")),
    ("aggregated no stages", "empty.compute_aggregated_feature_importance(x)", rejects(VALUE, "Model has no stages")),
    ("aggregated narrow data", "model.compute_aggregated_feature_importance(x[:, :1])", rejects(VALUE, "Feature dimension mismatch")),
    ("aggregated rows beyond memory", "model.compute_aggregated_feature_importance(huge)", rejects(MEMORY)),
    ("combined no stages", "empty.compute_combined_feature_importance(x, 1.0)", rejects(VALUE, "Model has no stages")),
    ("combined gamma str", "model.compute_combined_feature_importance(x, 'one')", rejects(TYPE, "gamma")),
    ("combined gamma list", "model.compute_combined_feature_importance(x, [1.0])", rejects(TYPE, "gamma")),
    ("combined unknown keyword", "model.compute_combined_feature_importance(x, weight=1.0)", rejects(TYPE, "unexpected keyword argument 'weight'")),
    ("combined narrow data", "model.compute_combined_feature_importance(x[:, :2])", rejects(VALUE, "Feature dimension mismatch")),

    # --- getters take nothing and set nothing
    ("getter set", "model.stage_predictors = []", rejects("AttributeError")),
    ("getter call", "grid.splits()", rejects(TYPE, "not callable")),
]


def serve(model_path, empty_path):
    """The case server: a fresh interpreter that never runs the worker pool
    itself, builds the names once and forks one child per case read from
    stdin. Each line back is JSON: the outcome and the child's wait status."""
    names = {"MODEL": model_path, "EMPTY": empty_path}
    exec(SETUP, names)
    for line in sys.stdin:
        request = json.loads(line)
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(read_end)
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, 1)  # the fit's console log must not reach the protocol
            names["tmp"] = pathlib.Path(request["tmp"])
            try:
                exec(request["code"], names)
                outcome = ["ok", ""]
            except BaseException as error:  # PanicException derives from BaseException
                outcome = [type(error).__name__, str(error)]
            os.write(write_end, json.dumps(outcome).encode())
            os._exit(0)
        os.close(write_end)
        status = wait_with_deadline(pid, request["timeout"])
        with os.fdopen(read_end, "rb") as report:
            data = report.read()
        outcome = json.loads(data) if data else None
        print(json.dumps({"outcome": outcome, "status": status}), flush=True)


def wait_with_deadline(pid, timeout):
    deadline = time.monotonic() + timeout
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return status
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            return os.waitpid(pid, 0)[1]
        time.sleep(0.005)


class CaseServer:
    def __init__(self, model_files):
        self.process = subprocess.Popen([sys.executable, __file__, "--serve", *model_files], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)

    def run(self, code, tmp_path, timeout=120):
        self.process.stdin.write(json.dumps({"code": code, "tmp": str(tmp_path), "timeout": timeout}) + "\n")
        self.process.stdin.flush()
        reply = json.loads(self.process.stdout.readline())
        status = reply["status"]
        assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, (
            f"the child did not exit cleanly: {describe(status)}")
        assert reply["outcome"] is not None, "the child reported nothing"
        return tuple(reply["outcome"])

    def close(self):
        self.process.stdin.close()
        self.process.wait()
        self.process.stdout.close()


def describe(status):
    if os.WIFSIGNALED(status):
        return f"killed by signal {os.WTERMSIG(status)} ({signal.Signals(os.WTERMSIG(status)).name})"
    return f"exit status {os.WEXITSTATUS(status)}"


@pytest.fixture(scope="module")
def model_files(tmp_path_factory):
    directory = tmp_path_factory.mktemp("models")
    rng = np.random.default_rng(1)
    x = rng.uniform(size=(60, 3))
    y = np.sin(3 * x[:, 0]) + x[:, 1] * x[:, 2]
    model, _ = ZUN.fit(x, y, 2, n_trees=2, n_iter=4, alpha=1.0, verbosity=0)
    model.save(str(directory / "model.zun"))
    (directory / "empty.zun").write_bytes(bytes(8))
    return str(directory / "model.zun"), str(directory / "empty.zun")


@pytest.fixture(scope="module")
def server(model_files):
    case_server = CaseServer(model_files)
    yield case_server
    case_server.close()


@pytest.mark.parametrize("code, expected", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_bad_input_is_a_clean_error(server, tmp_path, code, expected):
    kind, message = server.run(code, tmp_path)
    expected_kind, fragment = expected
    assert kind == expected_kind, message
    assert fragment in message


def test_a_crash_fails_its_case(server, tmp_path):
    """The isolation itself: a child killed by a signal is reported, not lost."""
    with pytest.raises(AssertionError, match="killed by signal 11"):
        server.run("import os, signal; os.kill(os.getpid(), signal.SIGSEGV)", tmp_path)
    assert server.run("1", tmp_path) == ("ok", "")


def test_load_from_a_pipe(model_files):
    """A pipe that ends where the model ends loads; one that goes on is refused.

    The writer is another process: a load holds the interpreter lock while it
    reads, so a writer thread of this process could never run."""
    model = model_files[0]
    expected = ZUN.load(model).predict(np.full((2, 3), 0.5))
    size = pathlib.Path(model).stat().st_size
    writers = {"ends with the model": ["cat", model],
               "goes on": ["sh", "-c", f'cat "{model}"; head -c 100000 /dev/zero']}
    for name, command in writers.items():
        with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL) as writer:
            path = f"/dev/fd/{writer.stdout.fileno()}"
            try:
                if name == "goes on":
                    with pytest.raises(ValueError, match=f"the input goes on after the model's {size} bytes"):
                        ZUN.load(path)
                else:
                    np.testing.assert_array_equal(ZUN.load(path).predict(np.full((2, 3), 0.5)), expected)
            finally:
                writer.stdout.close()  # a writer that still has bytes stops on the broken pipe

if __name__ == "__main__" and sys.argv[1:2] == ["--serve"]:
    serve(*sys.argv[2:4])
