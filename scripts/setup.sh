#!/usr/bin/env bash
# Prepares a fresh machine: system packages, a virtual environment in .venv
# with the Python tools, and the module built and installed into it.
# Usage: scripts/setup.sh [module build directory, default build/setup]
set -euo pipefail
cd "$(dirname "$0")/.."
module_build_dir=${1:-build/setup}

system_packages=(g++ python3-dev libeigen3-dev libfmt-dev nlohmann-json3-dev libgtest-dev libsqlite3-dev)
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
.venv/bin/python -m pip install -q --disable-pip-version-check -r requirements-dev.txt
# No build isolation: the build directory under build/ is kept between runs,
# so rebuilding after a change compiles only what changed. Each caller has its
# own directory, so one caller's build never forces another's to start over.
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    --config-settings=build-dir="$module_build_dir" .
