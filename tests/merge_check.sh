#!/usr/bin/env bash
# dist/slurm/tavfit-merge.sh, which joins the results of tavfit -batch -shard
# K/N into those of one run, without a cluster:
#   tests/merge_check.sh TAVFIT CASE   (ctest tests, one a case)
# CASE: one-run (for each format, the merged shards are the results file of
# the same run without -shard, also when a shard has no curve), missing (a
# missing shard file is named, and nothing is written), cut-short (a shard
# with a row too few is refused), other-run (shards with different headers
# are refused).
set -euo pipefail
tavfit=$(realpath "$1")
merge=$(cd "$(dirname "$0")/../dist/slurm" && pwd)/tavfit-merge.sh
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

# Seven curves of T1_RELAX, Y = Mo*(1 - W*exp(-X/T1)).
awk 'BEGIN {
  print "curve\tdelay\tsignal"
  n = split("0.01 0.1 0.35 0.75 1.5 3.5 6", x, " ")
  for (c = 1; c <= 7; c++)
    for (i = 1; i <= n; i++)
      printf "c%d\t%s\t%.6g\n", c, x[i], (900 + 20 * c) * (1 - 1.9 * exp(-x[i] / (0.5 + 0.2 * c))) + 3 * sin(c + 5 * i)
}' > curves.tsv
fit() {  # fit RESULTS [-shard K/N]
  local results=$1
  shift
  "$tavfit" -batch curves.tsv -columns curve=curve,x=delay,y=signal -fit T1_RELAX \
    -parms 900:2:1 -results "$results" -threads 1 "$@" > /dev/null
}
shards() {  # shards PREFIX N EXT: the shard results of the run
  local k
  for ((k = 1; k <= $2; k++)); do fit "$1.$k.$3" -shard "$k/$2"; done
}
refused() {  # refused MESSAGE: the merge into out.tsv fails with MESSAGE, writing nothing
  local status=0
  "$merge" part 3 out.tsv 2> err || status=$?
  [ "$status" -eq 1 ] || { echo "the merge ended with status $status, not 1" >&2; exit 1; }
  [ "$(cat err)" = "$1" ] || { echo "the merge said: $(cat err)"$'\n'"not: $1" >&2; exit 1; }
  if [ -e out.tsv ] || [ -e out.tsv.part ]; then echo "the refused merge wrote a file" >&2; exit 1; fi
}

case $2 in
  one-run)
    for ext in tsv csv jsonl; do
      fit "one.$ext"
      for n in 3 8; do  # 3, 2 and 2 curves; one curve each, and one shard without
        shards "part$n" "$n" "$ext"
        "$merge" "part$n" "$n" "merged$n.$ext"
        cmp "one.$ext" "merged$n.$ext"
      done
    done
    echo "merged shards of 3 and 8: the results of one run, in tsv, csv and jsonl" ;;
  missing)
    shards part 3 tsv
    rm part.2.tsv
    refused "tavfit-merge.sh: part.2.tsv is missing: shard 2 of 3 has not run or did not finish"
    echo "a missing shard: refused" ;;
  cut-short)
    shards part 3 tsv
    sed -i '$d' part.2.tsv  # 1 row, where shard 3 has 2
    refused "tavfit-merge.sh: part.3.tsv has more rows than part.2.tsv"
    echo "a shard cut short: refused" ;;
  other-run)
    shards part 3 tsv
    sed -i '1s/$/\tmore/' part.3.tsv  # as a run with one more column would write
    refused "tavfit-merge.sh: part.3.tsv has another header than part.1.tsv"
    echo "a shard of another run: refused" ;;
  *) echo "unknown case $2" >&2; exit 2 ;;
esac
