#!/bin/sh
# tavfit-merge.sh PREFIX N OUT
# Joins the results of tavfit -batch -shard 1/N .. N/N, PREFIX.1.EXT ..
# PREFIX.N.EXT (EXT that of OUT: tsv, csv or jsonl), into OUT, the file that
# the same run without -shard writes: the header line once (tsv, csv), then
# the rows round-robin, row 1 of each shard in turn, then row 2, and so on.
set -eu
if [ $# -ne 3 ]; then
  echo "usage: tavfit-merge.sh PREFIX N OUT" >&2
  exit 2
fi
prefix=$1 n=$2 out=$3
case $n in
  '' | *[!0-9]* | 0*) echo "tavfit-merge.sh: N must be a number from 1: $n" >&2; exit 2 ;;
esac
ext=${out##*.}
case $ext in
  tsv | csv) header=1 ;;
  jsonl) header=0 ;;
  *) echo "tavfit-merge.sh: OUT must end in .tsv, .csv or .jsonl: $out" >&2; exit 2 ;;
esac
k=1
while [ "$k" -le "$n" ]; do
  if [ ! -f "$prefix.$k.$ext" ]; then
    echo "tavfit-merge.sh: $prefix.$k.$ext is missing: shard $k of $n has not run or did not finish" >&2
    exit 1
  fi
  k=$((k + 1))
done

# Shard K holds curves K-1, K-1+N, ..., so the shards have equal row counts
# but for one fewer in the last ones; other counts mean a shard was cut short
# (or the shards come from different runs), and nothing is written.
part="$out.part"
trap 'rm -f "$part"' EXIT
awk -v prefix="$prefix" -v n="$n" -v ext="$ext" -v header="$header" '
  function fail(msg) { print "tavfit-merge.sh: " msg | "cat >&2"; exit 1 }
  BEGIN {
    for (k = 1; k <= n; k++) f[k] = prefix "." k "." ext
    if (header) {
      for (k = 1; k <= n; k++) {
        if ((getline line < f[k]) <= 0) fail(f[k] " has no header line")
        if (k == 1) first = line
        else if (line != first) fail(f[k] " has another header than " f[1])
      }
      print first
    }
    for (row = 1; ; row++) {
      short = 0
      for (k = 1; k <= n; k++) {
        if ((getline line < f[k]) > 0) {
          if (short) fail(f[k] " has more rows than " f[short])
          print line
        } else if (!short) {
          short = k
        }
      }
      if (short) break
    }
    # Past the first shard that ran out, every shard has ended.
    for (k = 1; k <= n; k++)
      if ((getline line < f[k]) > 0) fail(f[k] " has more rows than " f[short])
  }' > "$part"
mv "$part" "$out"
trap - EXIT
