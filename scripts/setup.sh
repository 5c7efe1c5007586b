#!/usr/bin/env bash
# Prepares a fresh machine: system packages, a virtual environment in .venv
# with the Python tools, and the module built and installed into it.
# Usage: scripts/setup.sh [--build-only] [module build directory, default build/module]
#   --build-only  only what building and using the module needs (the demo's
#                 case): no GoogleTest, and none of the test and wheel tools
#                 of requirements-dev.txt
set -euo pipefail
cd "$(dirname "$0")/.."
build_only=0
if [ "${1:-}" = --build-only ]; then
    build_only=1
    shift
fi
module_build_dir=${1:-build/module}

system_packages=(g++ python3-dev libeigen3-dev libfmt-dev nlohmann-json3-dev libsqlite3-dev)
requirements="requirements-build.txt"
if [ "$build_only" = 0 ]; then
    system_packages+=(libgtest-dev)
    requirements="requirements-dev.txt"
fi
missing=()
for package in "${system_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ! python3 -m venv --help >/dev/null 2>&1; then
    missing+=(python3-venv)
fi
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "Installing system packages: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ ! -x .venv/bin/python ]; then
    python3 -m venv .venv
fi
.venv/bin/python -m pip install -q --disable-pip-version-check -r "$requirements"
# No build isolation, and one build directory that the demo, the tests and the
# wheel script share: it is kept between runs, so the module is compiled once
# and a later run compiles only what changed since.
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    --config-settings=build-dir="$module_build_dir" .
