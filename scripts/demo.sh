#!/usr/bin/env bash
# The main job on a fresh or prepared machine: set up, then fit ZunRegressor on
# diabetes and diamonds, print the test RMSE beside scikit-learn and write
# plots into demo-output/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --build-only
.venv/bin/python -m pip install -q --disable-pip-version-check -r examples/requirements.txt
.venv/bin/python examples/quickstart.py --output-dir demo-output
