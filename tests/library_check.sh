#!/usr/bin/env bash
# The installed library serves its users.  Installed into a scratch prefix,
# it builds examples/library/t1_fit.cpp with CMake (find_package) and with
# pkg-config, and both run; and a user's fits give the values and standard
# deviations of the program's JSON file, to the last bit, for every method.
# Nothing is installed on the machine.
#   tests/library_check.sh BUILD_DIR TAVFIT CXX LIBDIR [LINK_FLAGS]   (a ctest test)
# LINK_FLAGS: what the build links with besides libraries (the sanitizers).
set -euo pipefail
build=$1 tavfit=$2 cxx=$3 libdir=$4 link_flags=${5:-}
source=$(cd "$(dirname "$0")/.." && pwd)

skip() { echo "skipped: $*"; exit 77; }
case $libdir in
  /*) skip "the library directory $libdir is absolute, so no scratch prefix holds it" ;;
esac
command -v pkg-config > /dev/null || skip "pkg-config not found (Debian: pkg-config)"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
log=$scratch/log
run() { "$@" >> "$log" 2>&1 || { cat "$log" >&2; echo "failed: $*" >&2; exit 1; }; }

run cmake --install "$build" --prefix "$prefix"
# The package and the pkg-config file find the library from where they are.
if grep -rlF -e "$(cd "$build" && pwd)" -e "$source" "$prefix/$libdir/cmake" \
     "$prefix/$libdir/pkgconfig" >&2; then
  echo "these installed files name the build or source tree" >&2
  exit 1
fi

run cmake -S "$source/examples/library" -B "$scratch/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_EXE_LINKER_FLAGS="$link_flags"
run cmake --build "$scratch/cmake"
run "$scratch/cmake/t1_fit"
echo "CMake: t1_fit builds and fits"

export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
read -ra flags <<< "$(pkg-config --cflags --libs tavfit) $link_flags"
run "$cxx" "$source/examples/library/t1_fit.cpp" "${flags[@]}" -o "$scratch/t1_fit"
run "$scratch/t1_fit"
echo "pkg-config: t1_fit builds and fits"

# The Ceres method finds the module next to the executable.
run "$cxx" "$source/tests/library_values.cpp" "${flags[@]}" -o "$scratch/values"
methods="tavrin levmar"
module=$prefix/$libdir/tavfit/tavfit_ceres.so
if [ -f "$module" ]; then
  cp "$module" "$scratch/"
  methods+=" ceres"
fi
for method in $methods; do
  option=-$method
  [ "$method" = tavrin ] && option=
  run "$tavfit" -d "$source/examples/t1_relax.dat" -fit T1_RELAX -parms 900:2:1 $option \
    -o /dev/null -short /dev/null -json "$scratch/$method.json"
  # The JSON file's shortest forms, read back and printed as the user prints.
  grep -Eo '"(value|sd)": [^,]*' "$scratch/$method.json" |
    awk '{ printf "%.17g%s", $2 + 0, (NR % 2 ? " " : "\n") }' > "$scratch/$method.program"
  "$scratch/values" "$method" > "$scratch/$method.library" 2>> "$log" ||
    { cat "$log" >&2; echo "the library's $method fit failed" >&2; exit 1; }
  if ! diff "$scratch/$method.program" "$scratch/$method.library" >&2 ||
     [ ! -s "$scratch/$method.library" ]; then
    echo "$method: the library's values and SDs (right) differ from the program's (left)" >&2
    exit 1
  fi
  echo "$method: $(wc -l < "$scratch/$method.library") values and SDs as in the program's JSON"
done
