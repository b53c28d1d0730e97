#!/usr/bin/env bash
# quickstart.sh installs for each verb what it needs: demo what the build
# needs, test also what the tests and CI run; the README says which.
#   tests/quickstart_check.sh QUICKSTART README
set -euo pipefail
# The lists as the script defines them, without running it.
eval "$(awk '/^[A-Z_]*PACKAGES=\(/ { on = 1 } on { print } on && /\)$/ { on = 0 }' "$1")"
readme=$(tr -s '\n ' '  ' < "$2")
fails=0
fail() { echo "$*" >&2; fails=$((fails + 1)); }
has() {  # has PACKAGE LIST...
  local want=$1 pkg
  shift
  for pkg; do [ "$pkg" = "$want" ] && return 0; done
  return 1
}

# Compilers and tools that only CI's sanitizer and fuzz builds or the tests use.
for pkg in clang libclang-rt-14-dev groff-base dpkg-dev gnuplot-nox pkg-config slurm-wlm munge; do
  has "$pkg" "${DEMO_PACKAGES[@]}" && fail "demo installs $pkg, which it does not use"
  has "$pkg" "${TEST_PACKAGES[@]}" || fail "test does not install $pkg, which CI or a test uses"
done
for pkg in "${DEMO_PACKAGES[@]}"; do
  has "$pkg" "${TEST_PACKAGES[@]}" || fail "test does not install $pkg, which the build needs"
done

# The README's Quick start names the same packages.
said() { sed -n "s/.*$1 \`\\([^\`]*\\)\`.*/\\1/p" <<< "$readme"; }
[ "$(said 'demo` first installs any of')" = "${DEMO_PACKAGES[*]}" ] ||
  fail "the README's list for demo is not DEMO_PACKAGES: ${DEMO_PACKAGES[*]}"
extra=("${TEST_PACKAGES[@]:${#DEMO_PACKAGES[@]}}")
[ "$(said 'test` also installs any of')" = "${extra[*]}" ] ||
  fail "the README's list for test is not TEST_PACKAGES beyond demo's: ${extra[*]}"
[ "$fails" -eq 0 ] && echo "package lists: demo, test and the README agree"
[ "$fails" -eq 0 ]
