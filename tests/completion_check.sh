#!/usr/bin/env bash
# The bash completion offers the options, the model keywords after -fit and
# -describe, file names after options that take a FILE, nothing after -itmax.
#   tests/completion_check.sh TAVFIT_BINARY COMPLETION_SCRIPT
set -euo pipefail
tavfit=$1
source "$2"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
touch curve.dat
fails=0
expect() {  # expect "WANTED" WORD...
  local want=$1
  shift
  COMP_WORDS=("$tavfit" "$@")
  COMP_CWORD=$#
  COMPREPLY=()
  _tavfit
  local got="${COMPREPLY[*]}"
  if [ "$got" != "$want" ]; then
    echo "completing '$*': got '$got', want '$want'" >&2
    fails=$((fails + 1))
  fi
}
expect "--help" --he
expect "-debug -describe" -de
expect "Z_CP_MONOMER Z_CP_DIM Z_CP_TRIMER" -fit Z_CP
expect "T1_RELAX" -d x.dat -describe T1
expect "curve.dat" -o cu
expect "" -itmax ""
rm -f curve.dat
echo "$((6 - fails)) passed, $fails failed"
[ "$fails" -eq 0 ]
