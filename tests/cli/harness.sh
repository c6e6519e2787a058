# shellcheck shell=bash
# What the shell suites of the programs share: a private work directory
# removed on exit with the processes the suite started, the checks and their
# counters, and the verdict.
#
# Sourced after setting `name` (the suite's) and `bin` (where the programs
# are). A suite of the Windows build sets `wine` too: the programs then run
# under it, from the work directory, and their CR LF line ends are taken off
# what they print. Linux suites call private_devices to get a device
# directory and an access lock of their own.
#
# Every check counts as passed or failed; `finish` prints
# "N passed, M failed" (and the skips, if any) last and exits 1 on any failure.

: "${name:?set name before sourcing the harness}" "${bin:=}"
work=$(mktemp -d "${TMPDIR:-/tmp}/tessaline-$name.XXXXXX")
unset TESSALINE_FAX_DEVICE TESSALINE_EWS_DEVICE TESSALINE_DIAGNOSTICS TESSALINE_GHOSTSCRIPT PAPERSIZE TESSALINE_JOURNAL
passed=0 failed=0 skipped=0
simd=  # the device of start_device
job=   # a suite's background job of the moment
private_lock=

# private_devices: a device directory, an access lock and a state directory
# that no other test run shares.
private_devices() {
  export TESSALINE_DEVICE_DIR=$work/devices
  export TESSALINE_LOCK_NAME=tessaline-$name-test-$$
  private_lock=/dev/shm/$TESSALINE_LOCK_NAME  # where a process killed holding it leaves it
  export XDG_STATE_HOME=$work/state
}

# On exit, the device and the job are ended and the work directory goes; a
# suite with more to end defines suite_cleanup, which runs first.
cleanup() {
  if declare -F suite_cleanup >/dev/null; then suite_cleanup; fi
  end_process "$job"
  if [ -n "$simd" ]; then stop_device; fi
  rm -rf "$work"
  if [ -n "$private_lock" ]; then rm -f "$private_lock"; fi
}
trap cleanup EXIT

# end_process PID: ends a background process of the suite, if it still runs.
end_process() { if [ -n "$1" ] && kill "$1" 2>/dev/null; then wait "$1" 2>/dev/null; fi; return 0; }

ok() { passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
skip() { echo "SKIP: $*"; skipped=$((skipped + 1)); }

# finish: the suite's verdict, last line and exit status.
finish() {
  local summary="$passed passed, $failed failed"
  [ "$skipped" -eq 0 ] || summary+=", $skipped skipped"
  echo "$summary"
  [ "$failed" -eq 0 ] || exit 1
  exit 0
}
# fail_now MESSAGE: a failure the suite cannot go on after.
fail_now() { fail "$@"; finish; }

# output FILE: what a program wrote there, without the CR of CR LF line ends
# under Wine (a Linux program's output is taken as it is).
output() { if [ -n "${wine:-}" ]; then tr -d '\r' <"$1"; else cat "$1"; fi; }

# The programs under test, as the suite's platform runs them.
tessaline() {
  if [ -n "${wine:-}" ]; then
    (cd "$work" && timeout 60 "$wine" "$bin/tessaline.exe" "$@")
  else
    "$bin/tessaline" "$@"
  fi
}
# The simulated device's program is a command, not a function, so that the
# process start_device puts in the background is the device itself.
if [ -n "${wine:-}" ]; then simd_program=("$wine" "$bin/tessaline-simd.exe"); else simd_program=("$bin/tessaline-simd"); fi

# run EXPECTED_STATUS ARGS...: runs tessaline with standard input from
# $stdin_file (or nothing), keeps stdout in $out and stderr in $err, and
# checks the exit status.
run() {
  local expected=$1 rc
  shift
  tessaline "$@" >"$work/out" 2>"$work/err" <"${stdin_file:-/dev/null}"
  rc=$?
  out=$(output "$work/out") err=$(output "$work/err")
  if [ "$rc" -eq "$expected" ]; then ok; else fail "tessaline $* exited $rc, expected $expected (stderr: $err)"; fi
}

# contains TEXT PART [WHAT]: TEXT (WHAT names it in the message) has PART.
contains() { if [[ "$1" == *"$2"* ]]; then ok; else fail "${3:-output} lacks '$2': $1"; fi; }

# json FILTER: the last run's stdout is exactly one JSON value and FILTER
# holds on it.
json() {
  if jq -e "$1" "$work/out" >/dev/null 2>&1 && [ "$(jq -s length "$work/out" 2>/dev/null)" = 1 ]; then ok
  else fail "JSON check '$1' on: $out"; fi
}

# start_device ARGS...: the simulated device with ARGS in the background,
# once it says it is ready (its output in $work/simd.out); the suite ends
# if it does not start.
start_device() {
  : >"$work/simd.out"
  "${simd_program[@]}" "$@" >"$work/simd.out" 2>&1 &
  simd=$!
  for _ in $(seq 600); do
    grep -q '^ready' "$work/simd.out" 2>/dev/null && return 0
    kill -0 "$simd" 2>/dev/null || break
    sleep 0.1
  done
  fail_now "tessaline-simd did not start: $(output "$work/simd.out")"
}
# stop_device: ends the device start_device started (a suite may redefine it).
stop_device() { end_process "$simd"; simd=; }
