#!/usr/bin/env bash
# The README's model section, written from the program's own catalogue
# (tavfit -list and tavfit -describe), so that it says what the program says.
#
#   scripts/readme-models.sh TAVFIT [README]          rewrite the section in place
#   scripts/readme-models.sh --check TAVFIT [README]  exit 1, with a diff, when the
#                                                     section is out of date
#
# The section lies between the two marker lines below; everything else in the
# README is left alone.  To change a model's text, edit its catalogue row in
# src/init.cpp, build, and run this script.
set -euo pipefail

check=0
if [ "${1:-}" = --check ]; then
  check=1
  shift
fi
tavfit=${1:?usage: $0 [--check] TAVFIT [README]}
readme=${2:-$(dirname "$0")/../README.md}
begin='<!-- BEGIN generated models: scripts/readme-models.sh writes this section from tavfit -list and -describe; edit src/init.cpp, not this text -->'
end='<!-- END generated models -->'

section() {
  echo "$begin"
  echo
  echo "| Keyword | Parameters, in \`-parms\` order | X2 column | Label |"
  echo "|---|---|---|---|"
  # Columns start where the header's titles start.
  "$tavfit" -list | awk '
    function trim(s) { sub(/ +$/, "", s); return s }
    NR == 1 { n = index($0, " N "); p = index($0, "Parameters"); x = index($0, "X2 ")
              l = index($0, "Label"); next }
    { printf "| `%s` | %s | %s | %s |\n", trim(substr($0, 1, n)), trim(substr($0, p, x - p)),
             (trim(substr($0, x, l - x)) == "yes" ? "needed" : ""), substr($0, l) }'
  echo
  echo "Each model in full, as \`tavfit -describe KEYWORD\` prints it:"
  "$tavfit" -list | awk 'NR > 1 { print $1 }' | while read -r keyword; do
    local describe
    describe=$("$tavfit" -describe "$keyword")
    echo
    echo "<details>"
    echo "<summary><code>$keyword</code>: $(printf '%s\n' "$describe" | head -n 1 | sed 's/^[^:]*: //')</summary>"
    echo
    echo '```text'
    printf '%s\n' "$describe"
    echo '```'
    echo
    echo "</details>"
  done
  echo
  echo "$end"
}

if ! grep -qxF "$begin" "$readme" || ! grep -qxF "$end" "$readme"; then
  echo "$readme has no generated model section (marker lines missing)" >&2
  exit 1
fi
wanted=$(mktemp)
trap 'rm -f "$wanted" "$wanted.readme"' EXIT
section > "$wanted"

if [ "$check" = 1 ]; then
  current=$(awk -v b="$begin" -v e="$end" '$0 == b { on = 1 } on { print } $0 == e { on = 0 }' "$readme")
  if ! diff -u <(printf '%s\n' "$current") "$wanted"; then
    echo "The model section of $readme is out of date: run scripts/readme-models.sh $tavfit" >&2
    exit 1
  fi
  echo "$readme: the model section is up to date"
  exit 0
fi

awk -v b="$begin" -v e="$end" -v gen="$wanted" '
  $0 == b { while ((getline line < gen) > 0) print line; skip = 1; next }
  $0 == e { skip = 0; next }
  !skip { print }' "$readme" > "$wanted.readme"
cat "$wanted.readme" > "$readme"
