#!/usr/bin/env bash
# The manual page renders without warnings, and the Debian packages (tavfit
# and tavfit-dev) build, unpack and run.  Nothing is installed on the machine.
#   tests/package_check.sh BUILD_DIR   (a ctest test, so .ci/run runs it)
set -euo pipefail
build=${1:-build}

# groff's warnings (-ww: all of them) go to standard error.
warnings=$(groff -man -Tutf8 -ww -z "$build/tavfit.1" 2>&1)
if [ -n "$warnings" ]; then
  echo "tavfit.1 renders with warnings:" >&2
  echo "$warnings" >&2
  exit 1
fi
echo "manual page: renders without warnings"

rm -f "$build"/tavfit_*.deb "$build"/tavfit-dev_*.deb
(cd "$build" && cpack -G DEB > cpack.log 2>&1) || { cat "$build/cpack.log" >&2; exit 1; }
deb=$(ls "$build"/tavfit_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "$(basename "$deb"): Depends: $depends"
case $depends in
  *libc6*) ;;
  *) echo "the Depends line was not computed from the binary" >&2; exit 1 ;;
esac

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
for file in usr/bin/tavfit usr/share/man/man1/tavfit.1.gz \
            usr/share/bash-completion/completions/tavfit; do
  [ -f "$unpacked/$file" ] || { echo "missing from the package: $file" >&2; exit 1; }
done
if dpkg-deb -c "$deb" | grep -E 'libtavfit|/include/|/cmake/|/pkgconfig/' >&2; then
  echo "the library's files belong in tavfit-dev, not in tavfit" >&2
  exit 1
fi

# tavfit-dev: the library, its header, CMake package and pkg-config file, for
# this very tavfit (whose Ceres module it loads).
dev=$(ls "$build"/tavfit-dev_*.deb)
dev_depends=$(dpkg-deb -f "$dev" Depends)
echo "$(basename "$dev"): Depends: $dev_depends"
case $dev_depends in
  "tavfit (= $(dpkg-deb -f "$deb" Version))"*liblapack-dev*) ;;
  *) echo "tavfit-dev does not depend on this tavfit and on LAPACK" >&2; exit 1 ;;
esac
dpkg-deb -x "$dev" "$unpacked/dev"
for file in include/tavfit/tavfit.h libtavfit.a tavfitConfig.cmake tavfitConfigVersion.cmake \
            tavfitTargets.cmake tavfit.pc; do
  [ -n "$(find "$unpacked/dev/usr" -path "*/$file")" ] ||
    { echo "missing from tavfit-dev: $file" >&2; exit 1; }
done

version=$("$unpacked/usr/bin/tavfit" --version)
echo "$version"
case $version in
  "tavfit "[0-9]*.[0-9]*.[0-9]*) ;;
  *) echo "the packaged binary does not print its version" >&2; exit 1 ;;
esac

# The Ceres module, as packaged and as "cmake --install --strip" installs it,
# must be the file the program was stamped with: a -ceres fit proves it.
ceres_fit() {
  printf '0 100\n1 50\n2 25\n3 12\n' > "$unpacked/t2.dat"
  "$1" -d "$unpacked/t2.dat" -fit T2_RELAX -parms 900:1 -ceres -o /dev/null -short /dev/null
}
if grep -q '^TAVFIT_WITH_CERES:BOOL=ON' "$build/CMakeCache.txt"; then
  out=$(ceres_fit "$unpacked/usr/bin/tavfit") ||
    { echo "the packaged program cannot fit with -ceres:" >&2; echo "$out" >&2; exit 1; }
  echo "packaged module: $(echo "$out" | grep -o 'returned [A-Z_]*')"
  cmake --install "$build" --prefix "$unpacked/strip" --strip > /dev/null
  out=$(ceres_fit "$unpacked/strip/bin/tavfit") ||
    { echo "the program installed with --strip cannot fit with -ceres:" >&2; echo "$out" >&2; exit 1; }
  echo "module installed with --strip: $(echo "$out" | grep -o 'returned [A-Z_]*')"
fi
