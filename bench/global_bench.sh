#!/usr/bin/env bash
# One global fit of 300 titrations of 12 points (tests/data/csp_300.csv: a
# Shift per residue, one Dconst, 301 unknowns) with each method, as whole
# processes, beside lmfit's multi-data-set fit of the same table when a
# python with lmfit is found (PYTHON, python3, /usr/bin/python3).  Each process also fits every curve alone for the F-test, and
# that time is shown apart, from the same fit without sharing (-batch alone).
#   bench/global_bench.sh [BUILD_DIR]      (default: build; ROUNDS=3)
set -euo pipefail

build_dir=${1:-build}
bench_dir=$(cd "$(dirname "$0")" && pwd)
tavfit=${TAVFIT:-$build_dir/tavfit}
table=$bench_dir/../tests/data/csp_300.csv
rounds=${ROUNDS:-3}
[ -x "$tavfit" ] || { echo "global_bench.sh: $tavfit not found" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "global_bench.sh: /usr/bin/time not found" >&2; exit 1; }

tmp=$(mktemp -d /tmp/tavfit-global-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
fit=(-batch "$table" -columns curve=residue,x=ligand,y=shift,x2=protein -fit XY1
     -parms 0.1:1e-4)

configs=(tavrin levmar ceres)
# The first python with lmfit (PYTHON, python3, the system's own).
python=
for candidate in ${PYTHON:-} python3 /usr/bin/python3; do
  if "$candidate" -c 'import lmfit' 2> /dev/null; then
    python=$candidate
    configs+=(lmfit)
    break
  fi
done

# run NAME COMMAND...: appends "NAME seconds" to $tmp/times.  Curves fitted
# alone may fail (status 1: levmar steps Dconst below 0 on some), which is a
# result, not a broken run.
run() {
  local name=$1 rc=0
  shift
  /usr/bin/time -f "$name %e" -o "$tmp/time" "$@" > "$tmp/out" 2> "$tmp/err" || rc=$?
  if [ "$rc" -gt 1 ] || { [ "$rc" = 1 ] && [ "${name%-alone}" = "$name" ]; }; then
    echo "global_bench.sh: $name failed" >&2
    cat "$tmp/out" "$tmp/err" >&2
    exit 1
  fi
  tail -n 1 "$tmp/time" >> "$tmp/times"
}

for ((round = 0; round < rounds; round++)); do
  for config in "${configs[@]}"; do
    case $config in
      lmfit) run lmfit "$python" "$bench_dir/peers/lmfit_global.py" "$table" ;;
      *)
        run "$config" "$tavfit" "${fit[@]}" -share Dconst -results "$tmp/r.tsv" "-$config"
        run "$config-alone" "$tavfit" "${fit[@]}" -results "$tmp/r.tsv" -threads 1 "-$config"
        ;;
    esac
  done
done

printf '%-10s %12s %16s\n' "method" "global (s)" "curves alone (s)"
for config in "${configs[@]}"; do
  median() { awk -v n="$1" '$1 == n { print $2 }' "$tmp/times" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
  if [ "$config" = lmfit ]; then
    printf '%-10s %12s %16s\n' "$config" "$(median lmfit)" "-"
  else
    printf '%-10s %12s %16s\n' "$config" "$(median "$config")" "$(median "$config-alone")"
  fi
done
