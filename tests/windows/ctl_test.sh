#!/usr/bin/env bash
# tessaline-simd.exe ctl under Wine: a device served behind named pipes or
# through its driver, driven through its control pipe while tessaline.exe, a
# host of the registered Tessaline.dll, sees what a host program would.
#
#   ctl_test.sh WINE_LOADER BIN_DIR pipes|driver
# (in a prefix where Tessaline.dll is registered and, for driver, the
# simulated device's driver installed). Prints one line per failure and
# "N passed, M failed" last (tests/cli/harness.sh).
set -uo pipefail
wine=$1 bin=$2 mode=$3
name=ctl$$
# shellcheck source=tests/cli/harness.sh
source "$(dirname "$0")/../cli/harness.sh"
if [ "$mode" = driver ]; then
  device=(--driver)
else
  device=(--name "$name")
  export TESSALINE_FAX_DEVICE='\\.\pipe\tessaline-'"$name"'-fax' TESSALINE_EWS_DEVICE='\\.\pipe\tessaline-'"$name"'-ews'
fi
# The device stops on its own --stop, which ends its service too; it is
# ended if it has not within 10 s.
stop_device() {
  timeout 60 "$wine" "$bin/tessaline-simd.exe" "${device[@]}" --stop > /dev/null 2>&1
  for _ in $(seq 100); do kill -0 "$simd" 2>/dev/null || break; sleep 0.1; done
  end_process "$simd"
  simd=
}

# ctl EXPECTED ARGS...: tessaline-simd.exe ctl with stdout in $out and stderr
# in $err (CR LF taken off), its exit status checked.
ctl() {
  local expected=$1
  shift
  (cd "$work" && timeout 60 "$wine" "$bin/tessaline-simd.exe" "${device[@]}" ctl "$@") > "$work/out" 2> "$work/err"
  local rc=$?
  out=$(output "$work/out") err=$(output "$work/err")
  if [ "$rc" = "$expected" ]; then ok; else fail "ctl $* exited $rc, expected $expected (stderr: $err)"; fi
}
# host ARGS...: tessaline.exe --json ARGS, its output in $work/out.
host() {
  tessaline --json "$@" > "$work/out" 2> "$work/err"
  host_rc=$?
  out=$(output "$work/out")
}
now_ms() { date +%s%3N; }

start_device "${device[@]}" && ok

ctl 0 --json status
json '.open_connections == 0 and .armed_rules == 0 and .received_faxes == []'

# A fax from someone else: a TIFF of three (empty) pages and noise.
{ printf 'II*\0\010\0\0\0\0\0\016\0\0\0\0\0\024\0\0\0\0\0\0\0\0\0'; head -c 3000 /dev/urandom; } > "$work/in.tif"
if [ "$mode" = driver ]; then
  # It releases a host's pending wait.
  tessaline --json wait > "$work/wait.out" 2>&1 &
  waiter=$!
  for _ in $(seq 300); do
    ctl 0 status --json
    jq -e '.open_connections >= 1' "$work/out" > /dev/null 2>&1 && break
    sleep 0.1
  done
  kill -0 "$waiter" 2>/dev/null && ok || fail "the wait ended before a fax came: $(cat "$work/wait.out")"
fi
ctl 0 receive in.tif --from 5551234 --json
json '.name == "fax0001.tif"'
if [ "$mode" = driver ]; then
  wait "$waiter"
  rc=$?
  [ $rc = 0 ] && ok || fail "the wait ended with $rc: $(cat "$work/wait.out")"
fi
host list
json '.faxes == ["fax0001.tif"]'
host get fax0001.tif -o got.tif
cmp -s "$work/in.tif" "$work/got.tif" && ok || fail "the fetched fax differs from the one received"
host log fax0001.tif
json '.CIS == "5551234" and .Pages == 3'
printf 'hello' > "$work/notes.txt"
ctl 1 receive notes.txt
contains "$err" "not a fax" "stderr"

# Each action, once: what a real device's answer gives the host.
for rule in "reply-status busy:1" "reply-status 6:11" "drop:8"; do
  action=${rule%:*} status=${rule##*:}
  # shellcheck disable=SC2086
  ctl 0 fault add receive-settings $action --times 1
  host receive-settings
  json ".status == $status"
  host receive-settings
  json '.status == 0'
done
ctl 0 fault add receive-settings delay 1500 --times 1
t0=$(now_ms)
host receive-settings
elapsed=$(($(now_ms) - t0))
json '.status == 0'
[ "$elapsed" -ge 1500 ] && ok || fail "a 1500 ms delay took $elapsed ms"
# --times counts; the rules are listed and cleared.
ctl 0 fault add receive-settings reply-status busy --times 2 --json
json '.id >= 1'
host receive-settings
json '.status == 1'
ctl 0 fault list --json
json '.rules[0].times == 1 and .rules[0].rule == "receive-settings reply-status 2"'
host receive-settings
json '.status == 1'
host receive-settings
json '.status == 0'
ctl 0 fault list
[ -z "$out" ] && ok || fail "rules left: $out"
ctl 2 fault add list explode
contains "$err" "unknown action 'explode'" "stderr"

if [ "$mode" = driver ]; then
  # A stalled wait is released by CancelIO (tessaline.exe's time limit uses
  # it), and the device answers its control pipe meanwhile.
  ctl 0 fault add wait stall --times 1
  t0=$(now_ms)
  tessaline --timeout 2 wait > "$work/wait.out" 2>&1
  rc=$?
  [ $rc = 124 ] && ok || fail "tessaline.exe --timeout 2 wait on a stalled wait: exit $rc: $(cat "$work/wait.out")"
  ctl 0 --json status
  json '.armed_rules == 0'
  host count
  json '.status == 0 and .count == 1'
fi

# What a host sent: recipients, bytes, pages; the job's bytes; the traffic.
# A fax image of two pages, which the command checks before it sends.
cp "$(dirname "$0")/fax-2pages.tif" "$work/out.tif"
size=$(stat -c %s "$work/out.tif")
host send --prefix 9 out.tif 5551111
json '.status == 0'
ctl 0 jobs --json
json ".jobs | length == 1 and .[0].recipients == [{\"prefix\":\"9\",\"number\":\"5551111\"}] and .[0].bytes == $size and .[0].pages == 2 and .[0].status == 0"
ctl 0 job 1 -o job.tif
cmp -s "$work/out.tif" "$work/job.tif" && ok || fail "ctl job 1 wrote other bytes than were sent"
ctl 0 traffic --last 1 --json
json '.conversations[0].channel == "fax" and ([.conversations[0].requests[].command] | index(0) != null and index(1) != null)'

ctl 0 reset --json
json '.reset == true'
ctl 0 status --json
json '.received_faxes == [] and .sent_jobs == 0 and .armed_rules == 0'

# No device of that name: exit 1, saying where it looked.
if [ "$mode" = pipes ]; then
  (cd "$work" && timeout 60 "$wine" "$bin/tessaline-simd.exe" --name "none$$" ctl status) > "$work/out" 2> "$work/err"
  rc=$?
  [ $rc = 1 ] && ok || fail "ctl of a device that is not there exited $rc"
  contains "$(tr -d '\r' < "$work/err")" 'tessaline-none'"$$"'-ctl' "stderr"
fi

finish
