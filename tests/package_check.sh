#!/usr/bin/env bash
# The manual page renders without warnings, and the Debian packages (tavfit,
# tavfit-ceres and tavfit-dev) build, unpack and run.  Nothing is installed on
# the machine.
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

rm -f "$build"/tavfit_*.deb "$build"/tavfit-ceres_*.deb "$build"/tavfit-dev_*.deb
(cd "$build" && cpack -G DEB > cpack.log 2>&1) || { cat "$build/cpack.log" >&2; exit 1; }
with_ceres=$(grep -c '^TAVFIT_WITH_CERES:BOOL=ON' "$build/CMakeCache.txt" || true)
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")

# tavfit: the program alone needs nothing but the C library (the static
# LAPACK/BLAS and C++ runtime of the default build).
deb=$(ls "$build"/tavfit_*.deb)
version=$(dpkg-deb -f "$deb" Version)
depends=$(dpkg-deb -f "$deb" Depends)
echo "$(basename "$deb"): Depends: $depends"
if ! [[ $depends =~ ^libc6(\ \([^,]*\))?$ ]]; then
  echo "tavfit should depend on libc6 alone, as computed from the binary" >&2
  exit 1
fi

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
for file in usr/bin/tavfit usr/share/man/man1/tavfit.1.gz \
            usr/share/bash-completion/completions/tavfit usr/share/doc/tavfit/README.md.gz \
            usr/share/doc/tavfit/copyright; do
  [ -f "$unpacked/$file" ] || { echo "missing from the package: $file" >&2; exit 1; }
done
if dpkg-deb -c "$deb" | grep -E 'libtavfit|/include/|/cmake/|/pkgconfig/|tavfit_ceres' >&2; then
  echo "the library's files belong in tavfit-dev, the module in tavfit-ceres, not in tavfit" >&2
  exit 1
fi
# The manual page sends its readers to the README.
zcat "$unpacked/usr/share/man/man1/tavfit.1.gz" | grep -q 'share/doc/tavfit/README.md.gz' ||
  { echo "the manual page does not say where the README is" >&2; exit 1; }
# Debian's machine-readable format, whose every package names its license.
copyright=$unpacked/usr/share/doc/tavfit/copyright
head -n 1 "$copyright" |
  grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' &&
  grep -q '^Files: \*$' "$copyright" && grep -q '^License: ' "$copyright" ||
  { echo "the copyright file is not in Debian's machine-readable format" >&2; exit 1; }

# tavfit-ceres: the module, for this very tavfit, with the Ceres libraries.
if [ "$with_ceres" -gt 0 ]; then
  ceres=$(ls "$build"/tavfit-ceres_*.deb)
  ceres_depends=$(dpkg-deb -f "$ceres" Depends)
  echo "$(basename "$ceres"): Depends: $ceres_depends"
  case $ceres_depends in
    "tavfit (= $version), "*libc6*libgoogle-glog*) ;;
    *) echo "tavfit-ceres does not depend on this tavfit and on what the module links" >&2
       exit 1 ;;
  esac
  dpkg-deb -x "$ceres" "$unpacked"
  for file in "usr/$libdir/tavfit/tavfit_ceres.so" usr/share/doc/tavfit-ceres/copyright; do
    [ -f "$unpacked/$file" ] || { echo "missing from tavfit-ceres: $file" >&2; exit 1; }
  done
fi

# tavfit-dev: the library, its header, CMake package and pkg-config file, and
# the packages of what it links.
dev=$(ls "$build"/tavfit-dev_*.deb)
dev_depends=$(dpkg-deb -f "$dev" Depends)
echo "$(basename "$dev"): Depends: $dev_depends"
case $dev_depends in
  *liblapack-dev*) ;;
  *) echo "tavfit-dev does not depend on LAPACK" >&2; exit 1 ;;
esac
dpkg-deb -x "$dev" "$unpacked/dev"
[ -f "$unpacked/dev/usr/share/doc/tavfit-dev/copyright" ] ||
  { echo "missing from tavfit-dev: its copyright file" >&2; exit 1; }
for file in include/tavfit/tavfit.h libtavfit.a tavfitConfig.cmake tavfitConfigVersion.cmake \
            tavfitTargets.cmake tavfit.pc; do
  [ -n "$(find "$unpacked/dev/usr" -path "*/$file")" ] ||
    { echo "missing from tavfit-dev: $file" >&2; exit 1; }
done

printed=$("$unpacked/usr/bin/tavfit" --version)
echo "$printed"
case $printed in
  "tavfit "[0-9]*.[0-9]*.[0-9]*) ;;
  *) echo "the packaged binary does not print its version" >&2; exit 1 ;;
esac

# The Ceres module, as packaged and as "cmake --install --strip" installs it,
# must be the file the program was stamped with, and where the program looks
# for it: a -ceres fit of the two packages unpacked together proves it.
ceres_fit() {
  printf '0 100\n1 50\n2 25\n3 12\n' > "$unpacked/t2.dat"
  "$1" -d "$unpacked/t2.dat" -fit T2_RELAX -parms 900:1 -ceres -o /dev/null -short /dev/null
}
if [ "$with_ceres" -gt 0 ]; then
  out=$(ceres_fit "$unpacked/usr/bin/tavfit") ||
    { echo "the packaged program cannot fit with -ceres:" >&2; echo "$out" >&2; exit 1; }
  echo "packaged module: $(echo "$out" | grep -o 'returned [A-Z_]*')"
  cmake --install "$build" --prefix "$unpacked/strip" --strip > /dev/null
  out=$(ceres_fit "$unpacked/strip/bin/tavfit") ||
    { echo "the program installed with --strip cannot fit with -ceres:" >&2; echo "$out" >&2; exit 1; }
  echo "module installed with --strip: $(echo "$out" | grep -o 'returned [A-Z_]*')"
fi
