#!/usr/bin/env bash
# Builds the Python package's wheel, makes it a manylinux wheel with auditwheel and tries it:
#   scripts/wheel.sh [pip wheel options...]     e.g. -C cmake.define.KIVO_BUILD_CUDA=OFF for the simulation only
# 1. pip wheel .: a py3-none-linux_<arch> wheel (CMake and Ninja come from the package index where this
#    machine has none recent enough), built in build/wheel/tree so that a second run is incremental.
# 2. auditwheel repair: the manylinux tag of the oldest glibc the libraries allow, in build/wheel/dist. The
#    libraries bring their own C++ runtime, and the GPU library loads the driver's libcuda at run time, so
#    nothing may need grafting into the wheel: a library that would is an error here.
# 3. A fresh virtual environment with the repaired wheel (and NumPy from the index) computes SSIM of two NumPy
#    arrays against a float64 reference.
# pip and auditwheel run from a virtual environment of their own (build/wheel/tools, made once); auditwheel
# needs patchelf, which scripts/deps.sh wheel checks for.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh wheel
out=build/wheel
tools=$out/tools
if [ ! -x "$tools/bin/auditwheel" ]; then
  python3 -m venv "$tools"
  "$tools/bin/python" -m pip install -q --disable-pip-version-check auditwheel
fi
auditwheel=$tools/bin/auditwheel

rm -rf "$out/raw" "$out/dist" "$out/venv"
mkdir -p "$out/raw" "$out/dist"
"$tools/bin/python" -m pip wheel -q --no-deps --disable-pip-version-check . -w "$out/raw" -C build-dir="$out/tree" "$@"
raw=$(ls "$out"/raw/kivo-*.whl)

"$auditwheel" repair -w "$out/dist" "$raw"
wheel=$(ls "$out"/dist/kivo-*.whl)
case "${wheel##*/}" in
  *-manylinux_*) ;;
  *) echo "auditwheel gave no manylinux wheel: $wheel" >&2; exit 1 ;;
esac
grafted=$("$tools/bin/python" -m zipfile -l "$wheel" | awk '$1 ~ /\.libs\// {print $1}')
if [ -n "$grafted" ]; then
  echo "the wheel needs system libraries beyond the manylinux ones; auditwheel grafted:" >&2
  echo "$grafted" >&2
  exit 1
fi
"$auditwheel" show "$wheel"

python3 -m venv "$out/venv"
"$out/venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel"
(cd "$out" && venv/bin/python "$OLDPWD/tests/package/wheel_smoke.py")
echo "manylinux wheel: $wheel"
