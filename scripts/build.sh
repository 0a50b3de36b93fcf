#!/usr/bin/env bash
# Builds what this machine can run, and nothing more: with an NVIDIA GPU (nvidia-smi lists one) and nvcc, the
# product for that GPU and the command-line tool (preset native, without the simulation); otherwise the
# simulation and the tool (preset sim). Then links build/kivo-compare to that tool.
#
# scripts/build.sh --all builds every preset this machine can build, with every test and benchmark: the
# product for every architecture with the simulation beside it (preset default; sim without nvcc) and the
# simulation under the sanitizers. That is what scripts/test.sh and CI build.
#
# Either first checks that the tools and libraries it needs are installed (scripts/deps.sh: installs them
# with apt-get as root on Debian or Ubuntu, otherwise names the command and exits 2).
set -euo pipefail
cd "$(dirname "$0")/.."

have_nvcc() { command -v nvcc >/dev/null 2>&1; }
have_gpu() { command -v nvidia-smi >/dev/null 2>&1 && nvidia-smi -L 2>/dev/null | grep -q '^GPU '; }

case "${1:-}" in
  --all)
    scripts/deps.sh all
    presets=(sanitize)
    if have_nvcc; then presets=(default "${presets[@]}"); else presets=(sim "${presets[@]}"); fi
    for preset in "${presets[@]}"; do
      cmake --preset "$preset" >/dev/null
      cmake --build --preset "$preset"
    done
    tool_preset=${presets[0]}
    ;;
  "")
    scripts/deps.sh build
    if have_gpu && have_nvcc; then
      tool_preset=native
      cmake --preset native -DKIVO_BUILD_SIM=OFF >/dev/null
    else
      tool_preset=sim
      cmake --preset sim >/dev/null
    fi
    cmake --build --preset "$tool_preset" --target kivo-compare
    ;;
  *)
    echo "usage: scripts/build.sh [--all]" >&2
    exit 2
    ;;
esac
# The command-line tool, at a path that does not depend on the machine.
ln -sfn "$tool_preset/tools/kivo-compare" build/kivo-compare
