#!/usr/bin/env bash
# Tests the wheel that scripts/wheel.sh left in dist/ as a user gets it:
# every shared library it loads is inside it, and the module tests pass
# against it once installed into a fresh virtual environment without system
# site-packages, run from a directory the source tree cannot be imported from.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

wheels=(dist/zunmerak-*.whl)
if [ ${#wheels[@]} -ne 1 ] || [ ! -f "${wheels[0]}" ]; then
    echo "expected one wheel in dist/, found: ${wheels[*]}; run scripts/wheel.sh first" >&2
    exit 1
fi
wheel=$root/${wheels[0]}

echo "== libraries of the wheel"
.venv/bin/python scripts/check_wheel_libraries.py "$wheel"
# The check has to catch a wheel that leans on system libraries: the
# unrepaired one does (SQLite, OpenMP).
if .venv/bin/python scripts/check_wheel_libraries.py build/wheel/unrepaired/zunmerak-*.whl 2>/dev/null; then
    echo "the library check accepted the unrepaired wheel" >&2
    exit 1
fi

# The README promises glibc 2.34 systems (RHEL 9, Ubuntu 22.04): a newer
# symbol of glibc or of GCC 12's libstdc++ raises the tag and would break that.
glibc=$(basename "$wheel" .whl | sed -n 's/.*manylinux_2_\([0-9]*\)_x86_64.*/\1/p')
if [ -z "$glibc" ] || [ "$glibc" -gt 34 ]; then
    echo "the wheel's tag asks for more than glibc 2.34: $(basename "$wheel"); see auditwheel show" >&2
    exit 1
fi

echo "== module tests against the installed wheel"
venv=$root/build/wheel/venv
rm -rf "$venv"
python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel[test]"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
# pytest puts tests/ first on sys.path; the module must still come from the venv.
"$venv/bin/python" - "$root/tests" "$venv" <<'PY'
import pathlib, sys
sys.path.insert(0, sys.argv[1])
import _zunmerak
where = pathlib.Path(_zunmerak.__file__).resolve()
if pathlib.Path(sys.argv[2]).resolve() not in where.parents:
    sys.exit(f"_zunmerak comes from {where}, not from the wheel's environment")
print(f"testing {where}")
PY
"$venv/bin/python" -X dev -m pytest -q -p no:cacheprovider "$root/tests"
