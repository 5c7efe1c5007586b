"""Golden hashes of what a fitted model computes after fitting: predictions of
the model reloaded from its file, partial dependence, first-order functions,
ICE curves and the three feature importances, for a table of boosted fits.

Like test_golden.py, the expected hashes in golden_analysis_hashes.json are
written once from a known-good build:

    python tests/test_golden_analysis.py --write

and never rewritten to make a change pass.
"""
import json
import pathlib
import sys

import numpy as np
import pytest

from _zunmerak import ZUN
from test_golden import BASE, digest, floats, make_data

GOLDEN_FILE = pathlib.Path(__file__).with_name("golden_analysis_hashes.json")

# (id, data arguments, fit keyword arguments)
CASES = [
    ("mixed", dict(rows=300, cols=5, seed=31), dict(epochs=3, alpha=1.0, n_trees=5, colsample_bytree=0.6)),
    ("positive", dict(rows=300, cols=5, seed=32, target="positive"), dict(epochs=3, alpha=1.0)),
    ("tilt-huber", dict(rows=300, cols=4, seed=33), dict(epochs=2, alpha=2.0, tilt_rho=0.5, refinement_strategy="huber")),
    ("ties-decay", dict(rows=600, cols=6, seed=34, ties=True), dict(epochs=4, alpha=1.0, decay=0.5, n_iter=12)),
]


def query(cols, seed):
    """Points inside and outside the training range, from additions and
    multiplications only."""
    q, _ = make_data(rows=40, cols=max(cols, 4), seed=seed)
    q = q[:, :cols] * 1.5 - 0.25
    q[0, :] = 0.5
    return np.ascontiguousarray(q)


def constants_bytes(constants):
    return floats([value for pair in constants for value in pair])


def analysis_hashes(data, kwargs, tmp_path):
    x, y = make_data(**data)
    arguments = dict(BASE)
    arguments.update(kwargs)
    epochs = arguments.pop("epochs")
    fitted, _ = ZUN.fit(x, y, epochs, **arguments)
    path = tmp_path / "model.zun"
    fitted.save(str(path))
    model = ZUN.load(str(path))
    cols = x.shape[1]
    q = query(cols, data["seed"] + 100)
    data_x = x[:150]

    hashes = {"predict": digest(floats(model.predict(q)))}
    constants, values = model.compute_partial_dependence_function([0, 2], q[:, [0, 2]], data_x)
    hashes["partial_dependence"] = digest(constants_bytes(constants), floats(values))
    constants, values = model.compute_partial_dependence_function([], q[:, :0], data_x)
    hashes["partial_dependence_none_fixed"] = digest(constants_bytes(constants), floats(values))
    parts = []
    for constants, values in model.compute_first_order_partial_dependence_functions(q, data_x):
        parts += [constants_bytes(constants), floats(values)]
    hashes["first_order"] = digest(*parts)
    x_range = np.linspace(-0.5, 1.5, 17)
    hashes["ice"] = digest(floats(model.compute_ice_curves(q[:10], 1, x_range, data_x)))
    hashes["per_stage_importance"] = digest(*map(floats, model.compute_per_stage_feature_importance(q)))
    hashes["aggregated_importance"] = digest(*map(floats, model.compute_aggregated_feature_importance(q)))
    hashes["combined_importance"] = digest(*map(floats, model.compute_combined_feature_importance(q, 0.5)))
    return hashes


@pytest.fixture(scope="module")
def golden():
    return json.loads(GOLDEN_FILE.read_text())


@pytest.mark.parametrize("case_id, data, kwargs", CASES, ids=[c[0] for c in CASES])
def test_predictions_and_explanations_are_unchanged(golden, tmp_path, case_id, data, kwargs):
    assert analysis_hashes(data, kwargs, tmp_path) == golden[case_id]


if __name__ == "__main__":
    import tempfile

    if sys.argv[1:] != ["--write"]:
        sys.exit("usage: python tests/test_golden_analysis.py --write")
    with tempfile.TemporaryDirectory() as directory:
        result = {case_id: analysis_hashes(data, kwargs, pathlib.Path(directory)) for case_id, data, kwargs in CASES}
    GOLDEN_FILE.write_text(json.dumps(result, indent=1, sort_keys=True) + "\n")
    print(f"wrote {len(result)} cases to {GOLDEN_FILE}")
