#!/usr/bin/env bash
# The main job on a fresh or prepared machine: set up, then fit a boosted
# model on the diabetes data set shipped with scikit-learn and print results.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build/demo
.venv/bin/python -m pip install -q --disable-pip-version-check -r examples/requirements.txt
.venv/bin/python examples/quickstart.py
