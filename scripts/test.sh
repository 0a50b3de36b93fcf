#!/usr/bin/env bash
# Builds (incrementally) and runs every test: the simulation under the sanitizers, then the product's and the
# simulation's test executables. Tests that need a GPU skip themselves without one.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh
status=0
ctest --preset sanitize || status=1
if command -v nvcc >/dev/null 2>&1; then ctest --preset default || status=1; else ctest --preset sim || status=1; fi
exit $status
