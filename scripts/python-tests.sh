#!/usr/bin/env bash
# The Python package's tests: a virtual environment with what they need from the package index (made once, in
# build/venv unless KIVO_VENV names another), the package installed from an already built tree (the build
# directory given, build/default by default, so that nothing is compiled twice), then pytest with host arrays
# on each host library.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build/default}
venv=${KIVO_VENV:-build/venv}
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
python=$venv/bin/python
"$python" -m pip install -q --disable-pip-version-check -r tests/python/requirements.txt
# The package's build configures the tree afresh; it keeps the tree's own choices (tests, benchmarks,
# architectures), so that a later build of the tree from its preset finds them unchanged.
choices=()
if [ -f "$build_dir/CMakeCache.txt" ]; then
  while IFS= read -r entry; do
    choices+=(-C "cmake.define.${entry%%:*}=${entry#*=}")
  done < <(grep -E '^KIVO_[A-Z_]+:(BOOL|STRING)=' "$build_dir/CMakeCache.txt")
fi
"$python" -m pip install -q --disable-pip-version-check --no-deps . -C build-dir="$build_dir" "${choices[@]}"
# Once per host library that CPU arrays can go to (KIVO_CPU_BACKEND): the CPU library and the simulation.
status=0
for backend in cpu sim; do
  echo "pytest, host arrays on KIVO_CPU_BACKEND=$backend"
  KIVO_CPU_BACKEND=$backend "$python" -m pytest tests/python -q -p no:cacheprovider || status=1
done
exit $status
