#!/usr/bin/env bash
# Builds (incrementally) everything this machine can build and runs every test: the simulation under the
# sanitizers, then the product's and the simulation's test executables, then the Python package's tests (on the
# simulation, and on the GPU where there is one). Tests that need a GPU skip themselves without one; the
# machine-code tests need cuobjdump (KIVO_CUOBJDUMP or the PATH when the build is configured). What the build
# and the tests need is checked (and installed where it can be) first, by scripts/deps.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh test
scripts/build.sh --all
status=0
ctest --preset sanitize || status=1
if command -v nvcc >/dev/null 2>&1; then preset=default; else preset=sim; fi
ctest --preset "$preset" || status=1
scripts/python-tests.sh "build/$preset" || status=1
exit $status
