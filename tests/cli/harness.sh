# What the command's shell tests share: a private work directory, device
# directory and lock name, a simulated device process, and the checks.
# Sourced after setting `bin` (the build directory) and `name` (the test's).

work=$(mktemp -d "/tmp/tessaline-$name-XXXXXX")
export TESSALINE_DEVICE_DIR=$work/devices
export TESSALINE_LOCK_NAME=tessaline-$name-test-$$
unset TESSALINE_FAX_DEVICE TESSALINE_EWS_DEVICE TESSALINE_DIAGNOSTICS TESSALINE_GHOSTSCRIPT PAPERSIZE TESSALINE_JOURNAL
export XDG_STATE_HOME=$work/state
failures=0
simd=
job=

cleanup() {
  [ -n "$job" ] && kill "$job" 2>/dev/null && wait "$job" 2>/dev/null
  [ -n "$simd" ] && kill "$simd" 2>/dev/null && wait "$simd" 2>/dev/null
  rm -rf "$work" "/dev/shm/$TESSALINE_LOCK_NAME"
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# run EXPECTED_STATUS ARGS...: runs tessaline, keeps stdout in $out and
# stderr in $err, and checks the exit status.
run() {
  local expected=$1; shift
  "$bin/tessaline" "$@" >"$work/out" 2>"$work/err" </dev/null
  local rc=$?
  out=$(cat "$work/out"); err=$(cat "$work/err")
  [ "$rc" -eq "$expected" ] || fail "tessaline $* exited $rc, expected $expected (stderr: $err)"
}
json() { jq -e "$1" "$work/out" >/dev/null 2>&1 || fail "JSON check '$1' on: $out"; }
contains() { [[ "$1" == *"$2"* ]] || fail "'$2' missing from: $1"; }

# start_device ARGS...: tessaline-simd with ARGS, serving once it says so.
start_device() {
  : >"$work/simd.out"
  "$bin/tessaline-simd" "$@" >"$work/simd.out" 2>&1 &
  simd=$!
  for _ in $(seq 100); do grep -q '^ready' "$work/simd.out" 2>/dev/null && return 0; sleep 0.05; done
  fail "tessaline-simd did not start: $(cat "$work/simd.out")"
  exit 1
}
stop_device() { kill "$simd"; wait "$simd" 2>/dev/null; simd=; }

# finish: the test's verdict and exit status.
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
  fi
  echo "all $name checks passed"
}
