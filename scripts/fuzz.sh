#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and fuzzes each for SECONDS_PER_TARGET
# seconds (default 30), starting from its seed corpus in fuzz/corpus:
#
#   fuzz_device_replies  arbitrary device replies to every operation
#   fuzz_caller_records  arbitrary caller records against a well-behaved device
#   fuzz_http_messages   arbitrary HTTP heads and bodies for the web command, and settings forms
#
# Prints one line per target: executions, executions per second, inputs that
# reached new code, and findings. A finding is a crash, a sanitizer report, a
# violated invariant, an input that runs over 10 s, or a leak; it ends that
# target's run, and the input that shows it is kept in
# build-fuzz/fuzz-runs/TARGET/findings/ (replay it with
# build-fuzz/fuzz/fuzz_TARGET FILE). Exits 1 when any target found something.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET]
#
# TESSALINE_FUZZ_BUILD_DIR names another build directory (default build-fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
build=${TESSALINE_FUZZ_BUILD_DIR:-build-fuzz}
targets=(device_replies caller_records http_messages)

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DTESSALINE_FUZZ=ON -DTESSALINE_TESTS=OFF \
  -DTESSALINE_BENCH=OFF -DTESSALINE_WERROR="${TESSALINE_WERROR:-OFF}" >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
rm -f "$build.configure.log"
cmake --build "$build" --target "${targets[@]/#/fuzz_}"

# A device may announce any length, and the library allocates what it
# announces. An allocation over 64 MiB fails here instead of costing the
# sanitizer's bookkeeping of gigabytes, so those inputs run the out-of-memory
# paths and stay fast.
export ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=64:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

final_stat() { sed -n "s/^stat::$1: *//p" "$2" | tail -1; }

failed=0
printf '%-16s %12s %8s %6s %9s\n' target executions exec/s new findings
for target in "${targets[@]}"; do
  work=$build/fuzz-runs/$target
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/findings"
  # New inputs go to the scratch corpus; fuzz/corpus is only read.
  rc=0
  "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/findings/" "$work/corpus" "fuzz/corpus/$target" >"$work/log" 2>&1 || rc=$?
  findings=$(find "$work/findings" -type f | wc -l)
  executions=$(final_stat number_of_executed_units "$work/log")
  if [ -z "$executions" ]; then
    # A run cut short by a finding prints no final statistics: take its last
    # progress line.
    executions=$(grep -o '^#[0-9]*' "$work/log" | tail -1 | tr -d '#')
  fi
  printf '%-16s %12s %8s %6s %9s\n' "$target" "${executions:-?}" "$(final_stat average_exec_per_sec "$work/log")" \
    "$(final_stat new_units_added "$work/log")" "$findings"
  if [ "$rc" -ne 0 ] || [ "$findings" -ne 0 ]; then
    failed=1
    echo "fuzz_$target found something (exit $rc); log: $work/log" >&2
    grep -m1 -E 'ERROR|invariant violated|runtime error' "$work/log" >&2 || tail -20 "$work/log" >&2
    find "$work/findings" -type f -printf '  %p\n' >&2
  fi
done
exit "$failed"
