#!/usr/bin/env bash
# Runs every test on a fresh or prepared machine: the core tests (GoogleTest
# through CTest), the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the module tests (pytest, python -X dev),
# and last the same module tests against the repaired wheel, installed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build/module-tests

cmake=.venv/bin/cmake
ctest=.venv/bin/ctest
jobs=2

run_core_tests() {
    local build_dir=$1
    shift
    "$cmake" -S . -B "$build_dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
        -DZUN_BUILD_MODULE=OFF -DZUN_BUILD_TESTS=ON "$@" >/dev/null
    "$cmake" --build "$build_dir" -j "$jobs"
    "$ctest" --test-dir "$build_dir" --output-on-failure -j "$jobs"
}

echo "== core tests"
run_core_tests build/core-tests -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== core tests under sanitizers"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_core_tests build/core-tests-sanitized -DCMAKE_BUILD_TYPE=Debug -DZUN_SANITIZE=ON
echo "== module tests"
.venv/bin/python -X dev -m pytest -q tests
echo "== wheel"
scripts/wheel.sh
scripts/test_wheel.sh
