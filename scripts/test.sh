#!/usr/bin/env bash
# Builds (incrementally) everything this machine can build and runs every test: the simulation under the
# sanitizers, then the product's and the simulation's test executables. Tests that need a GPU skip themselves
# without one; the machine-code tests need cuobjdump (KIVO_CUOBJDUMP or the PATH when the build is configured).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh --all
status=0
ctest --preset sanitize || status=1
if command -v nvcc >/dev/null 2>&1; then ctest --preset default || status=1; else ctest --preset sim || status=1; fi
exit $status
