#!/usr/bin/env bash
# Builds Tessaline for speed (Release, in build-bench/) and runs the
# benchmarks: the library's fax operations against a raw client of the device
# channel, on a simulated device of their own. Prints one table of the
# figures, the raw baseline beside each, and whether each goal is met.
# Arguments go to tessaline-bench: --quick, --spread, --only FIGURE,...
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build-bench

echo "== building (Release) in $dir" >&2
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSALINE_TESTS=OFF &&
       cmake --build "$dir" --target tessaline-bench -j "$(nproc)"; } >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi

echo "== running $dir/bench/tessaline-bench $*" >&2
"$dir/bench/tessaline-bench" "$@"
