#!/usr/bin/env bash
# The tessaline command against tessaline-simd started as a separate process:
# every command, in both output forms, with its exit status.
#
#   cli_test.sh BUILD_DIR
set -uo pipefail

bin=$1
work=$(mktemp -d /tmp/tessaline-cli-XXXXXX)
export TESSALINE_DEVICE_DIR=$work/devices
export TESSALINE_LOCK_NAME=tessaline-cli-test-$$
unset TESSALINE_FAX_DEVICE TESSALINE_EWS_DEVICE TESSALINE_DIAGNOSTICS
failures=0
simd=

cleanup() {
  [ -n "$simd" ] && kill "$simd" 2>/dev/null && wait "$simd" 2>/dev/null
  rm -rf "$work" "/dev/shm/$TESSALINE_LOCK_NAME"
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# run EXPECTED_STATUS ARGS...: runs tessaline, keeps stdout in $out and
# stderr in $err, and checks the exit status.
run() {
  local expected=$1; shift
  "$bin/tessaline" "$@" >"$work/out" 2>"$work/err" <"${stdin_file:-/dev/null}"
  local rc=$?
  out=$(cat "$work/out"); err=$(cat "$work/err")
  [ "$rc" -eq "$expected" ] || fail "tessaline $* exited $rc, expected $expected (stderr: $err)"
}

# json FILTER: checks that stdout is one JSON object and FILTER holds on it.
json() {
  jq -e "$1" "$work/out" >/dev/null 2>&1 || fail "JSON check '$1' on: $out"
  [ "$(jq -s length "$work/out" 2>/dev/null)" = 1 ] || fail "not exactly one JSON object: $out"
}

contains() { [[ "$out" == *"$1"* ]] || fail "output lacks '$1': $out"; }

start_device() {
  "$bin/tessaline-simd" --loopback --fax-number 5550100 >"$work/simd.out" 2>&1 &
  simd=$!
  for _ in $(seq 100); do grep -q '^ready' "$work/simd.out" 2>/dev/null && return 0; sleep 0.05; done
  fail "tessaline-simd did not start: $(cat "$work/simd.out")"
  exit 1
}

"$bin/tessaline-mktiff" "$work/fax.tif" 3 || fail "mktiff"

# No device yet: status 7, the advice names where discovery looked, and the
# library's discovery message stays off standard output.
run 7 count
contains ""; [[ "$err" == *"FAXSTATUS_NO_DEVICE (7)"*"$TESSALINE_DEVICE_DIR"* ]] || fail "no-device advice: $err"
[ -z "$out" ] || fail "output on failure: $out"
run 7 --json count
json '.status == 7 and .status_name == "FAXSTATUS_NO_DEVICE" and (.error | contains("devices"))'
run 7 devices
run 5 cancel

# Usage errors and help.
run 64
run 64 frobnicate
run 64 get
run 64 settings set NoSuchField=1
run 64 settings set FaxNumber="$(printf '%040d' 0)"
run 64 send "$work/fax.tif"
run 0 --help
contains "Usage: tessaline"
for c in send count list get rm log settings password receive-settings wait receive cancel ews devices; do
  run 0 "$c" --help
  contains "Usage: tessaline [--json] $c"
done

start_device

run 0 list
[ -z "$out" ] || fail "list of an empty device printed: $out"
run 0 --json list
json '.faxes == []'

run 0 send "$work/fax.tif" 5550100 ""
contains "3 page(s)"; contains "1 recipient(s)"  # the device skips a recipient without a number
run 0 wait
contains "e_ReceivedFaxAvailable (1)"
run 0 send --prefix 9 "$work/fax.tif" 5550100
run 0 --json wait
json '.event == 1 and .event_name == "e_ReceivedFaxAvailable"'

run 0 count
[ "$out" = 2 ] || fail "count: $out"
run 0 count --json
json '.count == 2 and .status == 0 and .status_name == "FAXSTATUS_OK"'
run 0 list
[ "$out" = $'fax0001.tif\nfax0002.tif' ] || fail "list: $out"

(cd "$work" && "$bin/tessaline" get fax0001.tif >/dev/null) || fail "get into the current directory"
cmp -s "$work/fax.tif" "$work/fax0001.tif" || fail "downloaded fax differs"
run 0 --json get fax0002.tif -o "$work/second.tif"
json ".bytes == $(stat -c %s "$work/fax.tif")"
cmp -s "$work/fax.tif" "$work/second.tif" || fail "second download differs"
run 2 get fax0002.tif -o "$work/no/such/dir/x.tif"
[[ "$err" == *"local file"* ]] || fail "advice for an unwritable file: $err"

run 0 log fax0001.tif
contains "FileName    fax0001.tif"
run 0 --json log fax0001.tif
json ".FileName == \"fax0001.tif\" and .Pages == 3 and .SendTime.year == $((10#$(date +%y))) and (.Duration | type) == \"number\""

run 0 settings
contains "FaxNumber           5550100"
run 0 --json settings
json '.FaxNumber == "5550100" and .PasswordSet == false and (has("Password") | not)'
run 0 settings set FaxName="Front desk" RingPattern=triple AutoAnswer=7
contains "RingPattern         3 (e_FaxRingTriple)"
run 0 --json settings set PulseDialing=1
json '.FaxName == "Front desk" and .RingPattern == 3 and .AutoAnswer == 7 and .PulseDialing == 1'

run 0 password is-set
contains "no fax password"
printf 'open sesame\n' >"$work/pw"
stdin_file=$work/pw run 0 settings set Password=-
run 0 --json password is-set
json '.set == true'
stdin_file=$work/pw run 0 password check
contains "correct"
printf 'open sesame\r\n' >"$work/pw-crlf"
stdin_file=$work/pw-crlf run 0 --json password check
json '.passed == true'
printf 'wrong\n' >"$work/pw-wrong"
stdin_file=$work/pw-wrong run 0 --json password check
json '.passed == false and .status == 0'
run 0 --json settings --show-password
json '.Password == "open sesame"'

run 0 receive-settings
contains "0 (0x00000000)"
run 0 --json receive-settings
json '.value == 0'

printf 'GET /status.json HTTP/1.1\r\n\r\n' >"$work/request"
run 0 ews --write "$work/request" --read 15
[ "$out" = "HTTP/1.1 200 OK" ] || fail "ews: $out"
stdin_file=$work/request run 0 --json ews --write - --read 15
json '.written == 29 and .read == 15 and (.data_base64 | @base64d) == "HTTP/1.1 200 OK"'

run 0 devices
contains "an operation would use: $TESSALINE_DEVICE_DIR"
run 0 --json devices
json '.channels | length == 2 and all(.would_use != null)'

# A channel directory that other users can write is not searched: the
# operation finds no device and says why, and 'devices' shows it.
fax_class="$TESSALINE_DEVICE_DIR/{783E1D39-8E60-4E98-A947-E2DE688F1771}"
chmod 0777 "$fax_class"
run 7 count
[[ "$err" == *"tessaline: not searching $fax_class: writable by other users"* ]] || fail "untrusted directory: $err"
run 0 devices
contains "fax channel: $fax_class (not searched: $fax_class: writable by other users)"
contains "an operation would use: none"
run 0 --json devices
json '.channels[0].listing == "untrusted" and .channels[0].would_use == null and .channels[1].listing == "ok"'
chmod 0755 "$fax_class"
run 0 count

run 0 rm fax0001.tif
run 0 --json rm fax0002.tif
json '.name == "fax0002.tif"'
run 0 count
[ "$out" = 0 ] || fail "count after removal: $out"
run 8 rm fax0001.tif

# A wait released by a cancel from another process.
"$bin/tessaline" --json wait >"$work/wait.out" 2>/dev/null &
waiter=$!
for _ in $(seq 100); do
  run 0 cancel
  kill -0 "$waiter" 2>/dev/null || break
  sleep 0.05
done
wait "$waiter"; rc=$?
[ "$rc" -eq 2 ] || fail "cancelled wait exited $rc"
jq -e '.status == 2' "$work/wait.out" >/dev/null || fail "cancelled wait: $(cat "$work/wait.out")"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "all CLI checks passed"
