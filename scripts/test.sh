#!/usr/bin/env bash
# Builds Tessaline and runs every test: the plain build, then the same suite
# under AddressSanitizer and UndefinedBehaviorSanitizer, the fuzz targets and
# the Windows build. Every build treats a compiler warning as an error.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
export TESSALINE_WERROR=ON  # read by the builds of fuzz.sh and test-windows.sh too

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DTESSALINE_WERROR=ON "$@"
  cmake --build "$dir" -j "$jobs"
  # The tests mostly wait on each other's processes and the simulated
  # device, so more of them run at once than there are cores.
  ctest --test-dir "$dir" -j $((jobs * 4)) --output-on-failure
}

echo "== plain build"
run_suite build
echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DTESSALINE_SANITIZE=ON
echo "== Fuzzing, 30 s per target (scripts/fuzz.sh SECONDS for a longer run)"
bash scripts/fuzz.sh 30
echo "== Windows build under Wine"
bash scripts/test-windows.sh
