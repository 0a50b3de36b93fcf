#!/usr/bin/env bash
# The GPU check, for a machine with a CUDA device: build the product for this GPU, run its tests, run them
# again under each compute-sanitizer tool, run the benchmarks (the fused loss step's too), and print a summary table last. The full log
# goes to $OUT/gpu-check.log when OUT is set.
#
# Before and after, on the same card in the same run: given an earlier version of the library's sources,
# KIVO_BASELINE_SRC=<directory>, or in a git checkout KIVO_BASELINE_COMMIT=<commit> (default 1ef35d6, the last
# commit before the SSIM kernels' instruction-count rework), it also builds that version's libkivo_cuda.so for
# this GPU, runs this version's benchmarks against it (the C interface is the same) and prints every timed
# row before and after with their ratio. Without either, that part is left out. A source tree for a machine
# without the repository's history: git archive 1ef35d6 | tar -x -C build/baseline-src
set -uo pipefail
cd "$(dirname "$0")/.."

out_dir=${OUT:-build/gpu-check}
mkdir -p "$out_dir"
log="$out_dir/gpu-check.log"
: >"$log"
declare -a rows=()
overall=0

step() {  # step NAME COMMAND...: runs a command, logs it, records a row of the summary
  local name=$1
  shift
  local start=$SECONDS
  echo "=== $name: $*" >>"$log"
  if "$@" >>"$log" 2>&1; then rows+=("$(printf '%-28s %-6s %5ss' "$name" ok $((SECONDS - start)))")
  else rows+=("$(printf '%-28s %-6s %5ss' "$name" FAILED $((SECONDS - start)))"); overall=1; return 1; fi
}

# compare BEFORE AFTER: the rows of a benchmark's tables (the same program, so the same lines) with the time
# of each, before and after, and after / before.
compare() {
  awk -F'|' '
    FNR == NR { before[FNR] = $0; next }
    !/^\|/ { col = 0; print; next }
    /time ms/ {
      for (i = 2; i < NF; i++) if ($i ~ /time ms/) col = i
      label = ""; for (i = 2; i < col; i++) label = label "|" $i
      print label "| before ms | after ms | after / before |"; next
    }
    /^\|---/ { line = ""; for (i = 2; i < col; i++) line = line "|---"; print line "|---|---|---|"; next }
    col > 0 {
      split(before[FNR], b, "|")
      label = ""; for (i = 2; i < col; i++) label = label "|" $i
      printf "%s| %.3f | %.3f | %.2f |\n", label, b[col], $col, (b[col] > 0 ? $col / b[col] : 0)
    }' "$1" "$2"
}

nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv,noheader >>"$log" 2>&1
gpu=$(nvidia-smi --query-gpu=name --format=csv,noheader 2>/dev/null | head -n 1)

step configure cmake --preset native -DKIVO_BUILD_SIM=OFF
step build cmake --build --preset native -j "$(nproc)"
tests=build/native/tests/kivo_tests_cuda
step tests "$tests" --gtest_brief=1

sanitizer=$(command -v compute-sanitizer || echo /usr/local/cuda/bin/compute-sanitizer)
if [ -x "$sanitizer" ]; then
  for tool in memcheck racecheck synccheck initcheck; do
    step "sanitizer $tool" "$sanitizer" --tool "$tool" --error-exitcode 1 "$tests" --gtest_brief=1 \
      --gtest_filter='*OnDevice.*'
  done
else
  rows+=("$(printf '%-28s %-6s' compute-sanitizer missing)")
  overall=1
fi

# The earlier version's library, built for this GPU.
baseline_src=${KIVO_BASELINE_SRC:-}
baseline_commit=${KIVO_BASELINE_COMMIT:-1ef35d6}
baseline_build=build/gpu-check-baseline
if [ -z "$baseline_src" ] && git rev-parse -q --verify "$baseline_commit^{commit}" >/dev/null 2>&1; then
  baseline_src=$baseline_build/src
  rm -rf "$baseline_src"
  mkdir -p "$baseline_src"
  git archive "$baseline_commit" | tar -x -C "$baseline_src" || baseline_src=
fi
baseline_lib=
if [ -n "$baseline_src" ] &&
   step "baseline configure" cmake -S "$baseline_src" -B "$baseline_build/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
     -DKIVO_CUDA_ARCHITECTURES=native -DKIVO_BUILD_SIM=OFF -DKIVO_BUILD_TESTS=OFF -DKIVO_BUILD_BENCH=OFF \
     -DKIVO_BUILD_TOOLS=OFF &&
   step "baseline build" cmake --build "$baseline_build/build" --target kivo_cuda -j "$(nproc)"; then
  baseline_lib=$(cd "$baseline_build/build/src" && pwd)
fi

# Every benchmark prints its own table; each goes to the log and to $out_dir/<benchmark>.txt, and against the
# earlier library to $out_dir/<benchmark>.baseline.txt.
for bench in build/native/bench/kivo_bench_*; do
  [ -x "$bench" ] || continue
  name=$(basename "$bench")
  step "$name" bash -c '"$1" | tee "$2"' _ "$bench" "$out_dir/$name.txt"
  if [ -n "$baseline_lib" ]; then
    LD_LIBRARY_PATH=$baseline_lib ldd "$bench" | grep kivo_cuda >>"$log"
    step "$name baseline" bash -c 'LD_LIBRARY_PATH="$3" "$1" | tee "$2"' _ "$bench" "$out_dir/$name.baseline.txt" \
      "$baseline_lib"
  fi
done

# The fused loss step against the unfused path and plain PyTorch, where this machine's Python has torch with CUDA.
if python3 -c 'import sys, torch; sys.exit(not torch.cuda.is_available())' 2>/dev/null; then
  step "loss step benchmark" bash -c 'KIVO_LIBRARY_DIR=build/native/src PYTHONPATH=python python3 bench/loss_step.py \
    --device cuda | tee "$1"' _ "$out_dir/loss_step.txt"
else
  rows+=("$(printf '%-28s %-6s' 'loss step benchmark' 'no torch with CUDA')")
fi

echo "GPU: ${gpu:-unknown}"
[ -f "$out_dir/loss_step.txt" ] && cat "$out_dir/loss_step.txt"
for f in "$out_dir"/kivo_bench_*.txt; do
  case "$f" in *.baseline.txt) continue ;; esac
  [ -f "$f" ] && grep -E '^(\||[a-z_]+ .* on )' "$f"
  base=${f%.txt}.baseline.txt
  if [ -f "$base" ]; then
    echo
    echo "before ($baseline_src) and after, $(basename "${f%.txt}"):"
    compare "$base" "$f" | grep -E '^\|' | tee "${f%.txt}.compare.txt"
  fi
done
printf '%-28s %-6s %6s\n' step result time
printf '%s\n' "${rows[@]}"
exit $overall
