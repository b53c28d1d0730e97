#!/usr/bin/env bash
# tavfit -batch on 100,000 generated 12-point T1 curves, side by side with the
# GSL batch driver (peers/gsl_batch.c), and one table of the results.
#   bench/batch_bench.sh [BUILD_DIR] [--memory]     (default: build)
#   TAVFIT=/path/to/tavfit  times another build's program; CURVES and ROUNDS
#   change the table's size (100000) and the rounds (3).
# Each round runs every configuration once, one after another (A B C ... A B
# C ...): a shared machine drifts, and interleaving spreads the drift over all
# of them.  Medians of the rounds are reported.  --memory then pipes 1,000,000
# curves through `tavfit -batch /dev/stdin` and reports its peak resident
# memory (a minute or two, most of it Python writing the table).
set -euo pipefail

build_dir=build memory=0
for arg; do
  case $arg in
    --memory) memory=1 ;;
    *) build_dir=$arg ;;
  esac
done
bench_dir=$(cd "$(dirname "$0")" && pwd)
tavfit=${TAVFIT:-$build_dir/tavfit}
gsl=$build_dir/bench/gsl_batch
curves=${CURVES:-100000} rounds=${ROUNDS:-3}
# make_batch.py sits next to this script in the build tree, in peers/ beside it
# in the source tree.
make_batch=$bench_dir/make_batch.py
[ -f "$make_batch" ] || make_batch=$bench_dir/peers/make_batch.py

if [ ! -x "$gsl" ]; then
  echo "batch_bench.sh: $gsl not built (it needs libgsl-dev): no batch comparison"
  exit 0
fi
for need in "$tavfit" /usr/bin/time; do
  [ -x "$need" ] || { echo "batch_bench.sh: $need not found" >&2; exit 1; }
done
command -v python3 > /dev/null || { echo "batch_bench.sh: python3 not found" >&2; exit 1; }

tmp=$(mktemp -d /tmp/tavfit-batch-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
start=1000:1.9:1
batch=(-columns curve=curve,x=delay,y=intensity -fit T1_RELAX -parms "$start")

# run NAME STDOUT COMMAND...: one timed whole process, appended to $tmp/times
# as "NAME wall user system maxrss_kb".  tavfit ends with status 1 when a
# curve failed, which is a result, not a broken run; the row count below
# tells a broken run.
run() {
  local name=$1 out=$2 rc=0
  shift 2
  /usr/bin/time -f "$name %e %U %S %M" -o "$tmp/time" "$@" > "$out" 2> "$tmp/stderr" || rc=$?
  if [ "$rc" -gt 1 ]; then
    echo "batch_bench.sh: $name: exit status $rc" >&2
    cat "$tmp/stderr" >&2
    exit 1
  fi
  tail -n 1 "$tmp/time" >> "$tmp/times"
}

python3 "$make_batch" "$curves" > "$tmp/table.tsv"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
configs=(gsl)
for threads in 2 1; do
  for method in tavrin levmar ceres; do configs+=("$method-t$threads"); done
done
for ((round = 1; round <= rounds; round++)); do
  for name in "${configs[@]}"; do
    if [ "$name" = gsl ]; then
      run gsl "$tmp/gsl.tsv" "$gsl" T1_RELAX "$tmp/table.tsv" "$start"
    else
      method=${name%-t*} threads=${name#*-t}
      rm -f "$tmp/$name.tsv"
      run "$name" "$tmp/stdout" "$tavfit" -batch "$tmp/table.tsv" "${batch[@]}" \
        "-$method" -threads "$threads" -results "$tmp/$name.tsv"
      [ -s "$tmp/$name.tsv" ] || {
        echo "batch_bench.sh: $name wrote no results:" >&2
        cat "$tmp/stdout" "$tmp/stderr" >&2
        exit 1
      }
    fi
  done
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

cpu=$(grep -m1 'model name' /proc/cpuinfo 2>/dev/null | sed 's/.*: //' || true)
echo "tavfit -batch: $curves 12-point T1_RELAX curves from $start; $(nproc) cores${cpu:+, $cpu}"
echo "medians of $rounds interleaved rounds; load average before $load_before, after $load_after"
# The table: medians, rates against GSL's, and the answers against GSL's.
# tavfit's results file names its columns (curve, status, message, each
# parameter and its _sd, ..., check: "ok" at the minimum); gsl_batch's has no
# header: curve, status, the values, their standard errors, SSE, iterations.
python3 - "$tmp" "$curves" "${configs[@]}" <<'EOF'
import math, statistics, sys
tmp, curves, configs = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
times = {}
for line in open(f"{tmp}/times"):
    name, wall, user, system, rss = line.split()
    times.setdefault(name, []).append((float(wall), float(user) + float(system), int(rss)))

def rows(path, header):
    lines = [line.rstrip("\n").split("\t") for line in open(path)]
    return [dict(zip(lines[0], row)) for row in lines[1:]] if header else lines

gsl = {row[0]: row for row in rows(f"{tmp}/gsl.tsv", False)}
if len(gsl) != curves:
    sys.exit(f"batch_bench.sh: gsl_batch wrote {len(gsl)} curves of {curves}")
# time's resolution is 10 ms: a tiny CURVES must not divide by zero.
def median_wall(name):
    return max(0.01, statistics.median(t[0] for t in times[name]))
gsl_rate = curves / median_wall("gsl")
# gsl_batch says "ok" whenever GSL's driver returns success, which it also does
# after a step to T1 < 0 where the model overflows: such an answer (SSE not
# finite) is no fit and is counted as failed.
def gsl_ok(row):
    return row[1] == "ok" and math.isfinite(float(row[-2]))
diverged = sum(row[1] == "ok" and not gsl_ok(row) for row in gsl.values())

print(f"{'run':<26}{'wall s':>8}{'cpu s':>8}{'curves/s':>10}{'x GSL':>7}{'peak MB':>9}"
      f"{'ok':>8}{'check ok':>10}  largest |value - GSL| / SD")
names = None
for name in configs:
    wall = median_wall(name)
    cpu = statistics.median(t[1] for t in times[name])
    mb = max(t[2] for t in times[name]) / 1024
    rate = curves / wall
    if name == "gsl":
        ok = sum(gsl_ok(row) for row in gsl.values())
        label, at_min, agree = "gsl_batch", "-", ""
    else:
        res = rows(f"{tmp}/{name}.tsv", True)
        if len(res) != curves:
            sys.exit(f"batch_bench.sh: {name} wrote {len(res)} curves of {curves}")
        cols = list(res[0].keys())
        names = [c for c in cols[cols.index("message") + 1:cols.index("n")]
                 if not c.endswith("_sd")]
        ok = sum(r["status"] == "ok" for r in res)
        at_min = sum(r["check"] == "ok" for r in res)
        worst = [0.0] * len(names)
        for r in res:
            g = gsl[r["curve"]]
            if r["status"] != "ok" or not gsl_ok(g):
                continue
            for k, p in enumerate(names):
                sd = float(r[p + "_sd"])
                if sd > 0 and math.isfinite(sd):
                    worst[k] = max(worst[k], abs(float(r[p]) - float(g[2 + k])) / sd)
        method, threads = name.split("-t")
        label = f"tavfit -{method} -threads {threads}"
        agree = "  ".join(f"{p} {w:.2g}" for p, w in zip(names, worst))
    print(f"{label:<26}{wall:8.2f}{cpu:8.2f}{rate:10.0f}{rate / gsl_rate:7.2f}{mb:9.1f}"
          f"{ok:8d}{str(at_min):>10}  {agree}")
if diverged:
    print(f"gsl_batch: {diverged} curves reported ok with an SSE that is not finite, counted failed")
EOF
# -threads must not change a byte of the results.
for method in tavrin levmar ceres; do
  cmp -s "$tmp/$method-t1.tsv" "$tmp/$method-t2.tsv" ||
    echo "-$method: the results of -threads 1 and -threads 2 differ"
done

# Only tavfit is timed, so the peak is its own, not the generator's.
if [ "$memory" = 1 ]; then
  rc=0
  python3 "$make_batch" 1000000 | /usr/bin/time -f "%e %M" -o "$tmp/time" "$tavfit" \
    -batch /dev/stdin "${batch[@]}" -levmar -threads 2 -results "$tmp/memory.tsv" \
    > /dev/null 2>&1 || rc=$?
  [ "$rc" -le 1 ] || { echo "batch_bench.sh: the 1,000,000-curve run: exit status $rc" >&2; exit 1; }
  read -r wall rss < <(tail -n 1 "$tmp/time")
  echo "1,000,000 curves piped through tavfit -batch /dev/stdin -levmar -threads 2:" \
    "peak resident memory $((rss / 1024)) MB, $(($(wc -l < "$tmp/memory.tsv") - 1)) results," \
    "$wall s (the generator's pace)"
fi
