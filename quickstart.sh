#!/usr/bin/env bash
# Quick start for tavfit on Debian 12.
#   ./quickstart.sh demo   install what is missing, build, fit the example T1 curve
#   ./quickstart.sh test   install what is missing, build, run the whole test suite
#   ./quickstart.sh bench  install what is missing, build, run the benchmarks
set -euo pipefail
cd "$(dirname "$0")"

# What the build needs (the test programs and the manual page are part of it).
DEMO_PACKAGES=(g++ cmake make liblapack-dev libblas-dev libgfortran-12-dev libgtest-dev
               help2man nlohmann-json3-dev libboost-math-dev libceres-dev)
# What the tests also run (groff, dpkg-deb, gnuplot, pkg-config, a one-node
# Slurm cluster with munge), and clang for CI's sanitizer and fuzz builds.
TEST_PACKAGES=("${DEMO_PACKAGES[@]}" groff-base dpkg-dev file gnuplot-nox pkg-config
               clang libclang-rt-14-dev slurm-wlm munge)
# The bench verb also builds the GSL driver, a yardstick in bench/.
BENCH_PACKAGES=("${TEST_PACKAGES[@]}" libgsl-dev)
# bench/batch_bench.sh generates its table with python3 and times the runs
# with time.
BENCH_PACKAGES+=(python3 time)
BUILD_DIR=build

install_missing() {
  local missing=()
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$pkg")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}

build() {
  # TAVFIT_WERROR=ON (as CI sets it) turns warnings into errors.
  cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DTAVFIT_WERROR="${TAVFIT_WERROR:-OFF}"
  cmake --build "$BUILD_DIR" -j "$(nproc)"
}

demo() {
  local data=examples/t1_relax.dat
  echo
  echo "== TAVRIN fit: tavfit -d $data -fit T1_RELAX -parms 900:2:1"
  "$BUILD_DIR"/tavfit -d "$data" -fit T1_RELAX -parms 900:2:1
  echo
  echo "== Levenberg-Marquardt fit: tavfit -d $data -fit T1_RELAX -parms 900:2:1 -levmar"
  "$BUILD_DIR"/tavfit -d "$data" -fit T1_RELAX -parms 900:2:1 -levmar
  echo
  echo "== Ceres fit, exact derivatives: tavfit -d $data -fit T1_RELAX -parms 900:2:1 -ceres"
  "$BUILD_DIR"/tavfit -d "$data" -fit T1_RELAX -parms 900:2:1 -ceres
}

case "${1:-}" in
  demo) install_missing "${DEMO_PACKAGES[@]}"; build; demo ;;
  test) install_missing "${TEST_PACKAGES[@]}"; build
        ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)" ;;
  bench) install_missing "${BENCH_PACKAGES[@]}"; build
         "$BUILD_DIR"/bench/run_bench.sh "$BUILD_DIR" ;;
  *) echo "usage: $0 demo|test|bench" >&2; exit 2 ;;
esac
