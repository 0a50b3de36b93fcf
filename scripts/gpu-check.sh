#!/usr/bin/env bash
# The GPU check, for a machine with a CUDA device: build the product for this GPU, run its tests, run them
# again under each compute-sanitizer tool, run the benchmarks, and print a summary table last. The full log
# goes to $OUT/gpu-check.log when OUT is set.
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
  else rows+=("$(printf '%-28s %-6s %5ss' "$name" FAILED $((SECONDS - start)))"); overall=1; fi
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

# Every benchmark prints its own table; each goes to the log and to $out_dir/<benchmark>.txt.
for bench in build/native/bench/kivo_bench_*; do
  [ -x "$bench" ] || continue
  name=$(basename "$bench")
  step "$name" bash -c '"$1" | tee "$2"' _ "$bench" "$out_dir/$name.txt"
done

echo "GPU: ${gpu:-unknown}"
for f in "$out_dir"/kivo_bench_*.txt; do [ -f "$f" ] && grep -E '^(\||[a-z_]+ .* on )' "$f"; done
printf '%-28s %-6s %6s\n' step result time
printf '%s\n' "${rows[@]}"
exit $overall
