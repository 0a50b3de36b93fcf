#!/usr/bin/env bash
# Builds (incrementally) and runs every test: the simulation under the sanitizers, then the product's and the
# simulation's test executables, then the Python package's tests on the simulation (and on the GPU where there
# is one). Tests that need a GPU skip themselves without one.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh
status=0
ctest --preset sanitize || status=1
if command -v nvcc >/dev/null 2>&1; then preset=default; else preset=sim; fi
ctest --preset "$preset" || status=1
scripts/python-tests.sh "build/$preset" || status=1
exit $status
