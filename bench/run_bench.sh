#!/usr/bin/env bash
# Runs the benchmarks of a Release build and prints one table.
#   bench/run_bench.sh [BUILD_DIR]      (default: build)
# Speed targets: one T1_RELAX evaluation under 30 ns, and the same model typed
# as a formula within twice the built-in one's times; a whole tavfit process
# fitting 1500 points under 25 ms with TAVRIN and under 10 ms with -levmar
# (medians).  Then bench_peers compares whole processes with the GSL driver
# (built when libgsl-dev is present) and gnuplot's fit (when installed), and
# prints the ratios against their targets.  Last, batch_bench.sh times
# tavfit -batch on 100,000 curves beside the GSL batch driver (a few minutes;
# its --memory step is separate).  A missed target is shown as MISSED; the
# exit status is non-zero only when a benchmark could not run.
set -euo pipefail

build_dir=${1:-build}
bench_dir="$build_dir/bench"
for exe in bench_fnf bench_process bench_peers; do
  if [ ! -x "$bench_dir/$exe" ]; then
    echo "run_bench.sh: $bench_dir/$exe not found; build first:" >&2
    echo "  cmake -S . -B $build_dir -DCMAKE_BUILD_TYPE=Release && cmake --build $build_dir" >&2
    exit 1
  fi
done

cpu=$(grep -m1 'model name' /proc/cpuinfo 2>/dev/null | sed 's/.*: //' || true)
echo "tavfit benchmarks: $(nproc) cores${cpu:+, $cpu}"
echo "data: 1500-point T1_RELAX curve, start values 800:1.52:1.04 (20 % off)"
echo
printf '%-44s %12s %12s %10s  %s\n' benchmark median min target status
status=0
for exe in bench_fnf bench_process; do
  "$bench_dir/$exe" --no-header || {
    echo "run_bench.sh: $exe failed (exit status $?)" >&2
    status=1
  }
done
echo
"$bench_dir/bench_peers" || {
  echo "run_bench.sh: bench_peers failed (exit status $?)" >&2
  status=1
}
echo
"$bench_dir/batch_bench.sh" "$build_dir" || {
  echo "run_bench.sh: batch_bench.sh failed (exit status $?)" >&2
  status=1
}
exit $status
