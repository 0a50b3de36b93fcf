#!/usr/bin/env bash
# Builds everything this machine can build: the product for every architecture (when nvcc is present)
# with the simulation beside it, and the simulation under the sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."

presets=(sanitize)
if command -v nvcc >/dev/null 2>&1; then presets=(default "${presets[@]}"); else presets=(sim "${presets[@]}"); fi
for preset in "${presets[@]}"; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
# The command-line tool of the first preset, at a path that does not depend on the machine.
ln -sfn "${presets[0]}/tools/kivo-compare" build/kivo-compare
