#!/usr/bin/env bash
# The unattended receive job and the time limits, against tessaline-simd in
# loopback, restarted under the job's feet.
#
#   receive_test.sh BUILD_DIR
set -uo pipefail

bin=$1
name=receive
# shellcheck source=tests/cli/harness.sh
source "$(dirname "$0")/harness.sh"
private_devices
device() { start_device --loopback --fax-number 5550100 --state "$work/state" --faxes "$work/incoming"; }

# eventually COMMAND...: true once COMMAND holds, within 20 seconds.
eventually() {
  for _ in $(seq 200); do "$@" && return 0; sleep 0.1; done
  return 1
}
listing() { (cd "$1" && ls -A | tr '\n' ' '); }

# A device holding two faxes that arrived through loopback and one presented
# from a folder that is no fax image.
mkdir -p "$work/incoming" "$work/d1" "$work/d2" "$work/d3" "$work/d4"
printf 'not a fax image' >"$work/incoming/odd.tif"
"$bin/tessaline-mktiff" "$work/fax.tif" 2
device
tessaline send "$work/fax.tif" 5550100 >/dev/null && tessaline wait >/dev/null || fail "first fax"
tessaline send "$work/fax.tif" 5550100 >/dev/null && tessaline wait >/dev/null || fail "second fax"

# --once fetches exactly the faxes present, one log line each, and a second
# run finds nothing new. odd.tif is stored as the device sent it.
tessaline receive --once "$work/d1" >"$work/once.out" 2>"$work/once.err" || fail "receive --once: $(cat "$work/once.err")"
[ "$(listing "$work/d1")" = "fax0001.tif fax0002.tif odd.tif " ] || fail "receive --once stored: $(listing "$work/d1")"
[ "$(wc -l <"$work/once.out")" -eq 3 ] || fail "not one line per fax: $(cat "$work/once.out")"
cmp -s "$work/fax.tif" "$work/d1/fax0001.tif" || fail "a stored fax differs from what was sent"
tessaline receive --once "$work/d1" >"$work/again.out" || fail "second receive --once"
[ -s "$work/again.out" ] && fail "a second run stored again: $(cat "$work/again.out")"
[ "$(tessaline count)" = 3 ] || fail "receive without --remove removed faxes"

# --remove removes only what was stored and reads as a fax image; the hook
# sees each file with its log entry; --pdf adds a PDF of each fax image.
hook='printf "%s %s %s\n" "$1" "$TESSALINE_FAX_PAGES" "$TESSALINE_FAX_SENDER" >>"$HOOK_LOG"'
HOOK_LOG=$work/hook.log tessaline --json receive --once --remove --pdf --exec "$hook" "$work/d2" >"$work/remove.out"
rc=$?
[ "$rc" -eq 75 ] || fail "receive --remove with a fax it cannot remove exited $rc"
[ "$(listing "$work/d2")" = "fax0001.pdf fax0001.tif fax0002.pdf fax0002.tif odd.tif " ] ||
  fail "receive --remove --pdf stored: $(listing "$work/d2")"
[ "$(tessaline list)" = odd.tif ] || fail "left on the device: $(tessaline list)"
# --once under --json: one object holding every fax, and the exit status.
jq -se 'length == 1 and .[0].exit_status == 75 and (.[0].faxes | length == 3 and
        ([.[] | select(.removed)] | length) == 2 and
        (.[] | select(.name == "fax0001.tif") | .pages == 2 and .hook_status == 0 and .Pages == 2))' \
  "$work/remove.out" >/dev/null || fail "receive --once --json: $(cat "$work/remove.out")"
tessaline --json receive --once "$work/d2" >"$work/nothing.out"
jq -se 'length == 1 and .[0].faxes == [] and .[0].exit_status == 0 and .[0].more_may_exist == false' \
  "$work/nothing.out" >/dev/null || fail "receive --once --json with nothing new: $(cat "$work/nothing.out")"
[ "$(grep -c "^$work/d2/fax000[12].tif 2 +1 555 0100\$" "$work/hook.log")" -eq 2 ] ||
  fail "the hook's view: $(cat "$work/hook.log")"
grep -q "^$work/d2/odd.tif " "$work/hook.log" || fail "the hook did not see odd.tif"

# The job keeps going while the device goes away and comes back, and stops
# cleanly on SIGTERM. Starting, it drains what is there.
lines() { [ "$(wc -l <"$work/run.out")" -ge "$1" ]; }
"$bin/tessaline" receive --retry-max 2 "$work/d3" >"$work/run.out" 2>"$work/run.err" &
job=$!
eventually test -f "$work/d3/odd.tif" || fail "the job did not drain the device at start"
tessaline send "$work/fax.tif" 5550100 >/dev/null || fail "send while the job waits"
eventually lines 2 || fail "the job did not store a fax that arrived: $(cat "$work/run.out")"
stop_device
eventually grep -q 'the device cannot be reached' "$work/run.err" || fail "the device's absence went unreported"
device
tessaline send "$work/fax.tif" 5550100 >/dev/null || fail "send after the restart"
eventually lines 3 ||
  fail "the job did not store a fax after the device came back: $(cat "$work/run.out" "$work/run.err")"
[ "$(ls "$work/d3" | wc -l)" -eq 3 ] || fail "the job stored: $(listing "$work/d3")"
kill -TERM "$job"
start=$(date +%s%N)
wait "$job"; rc=$?
job=
elapsed=$((($(date +%s%N) - start) / 1000000))
[ "$rc" -eq 0 ] || fail "SIGTERM: the job exited $rc"
[ "$elapsed" -lt 5000 ] || fail "the job took $elapsed ms to stop"
ls -A "$work/d3" | grep -q '^\.' && fail "temporary files left in the folder: $(ls -A "$work/d3")"
grep -q 'the device is back' "$work/run.err" || fail "the device's return went unreported: $(cat "$work/run.err")"

# A failing hook is told as such, with its own status; the fax stays stored
# and is not fetched again. A hook that hangs is ended by --exec-timeout, and
# by --timeout. Files are made with the mode the umask gives.
mkdir -p "$work/d7" "$work/d8" "$work/d9"
(umask 002 && "$bin/tessaline" receive --once --exec 'exit 3' "$work/d7" >"$work/hook.out" 2>&1)
rc=$?
[ "$rc" -eq 76 ] || fail "receive --once with a failing hook exited $rc: $(cat "$work/hook.out")"
grep -q "stored as $work/d7/fax0003.tif.*but the hook exited with 3" "$work/hook.out" || fail "hook failure: $(cat "$work/hook.out")"
[ "$(stat -c %a "$work/d7/fax0003.tif")" = 664 ] || fail "receive under umask 002 made $(stat -c %a "$work/d7/fax0003.tif")"
tessaline receive --once --exec 'exit 3' "$work/d7" >"$work/hook.out" 2>&1 || fail "a fax whose hook failed was fetched again: $(cat "$work/hook.out")"
[ -s "$work/hook.out" ] && fail "a second run handled faxes again: $(cat "$work/hook.out")"
start=$(date +%s%N)
(umask 022 && "$bin/tessaline" --json receive --once --exec 'sleep 20' --exec-timeout 0.3 "$work/d8" >"$work/hook.out")
rc=$?
elapsed=$((($(date +%s%N) - start) / 1000000))
[ "$rc" -eq 76 ] || fail "receive --exec-timeout exited $rc: $(cat "$work/hook.out")"
[ "$elapsed" -lt 15000 ] || fail "receive --exec-timeout took $elapsed ms"
jq -e '.exit_status == 76 and .cause == "hook_failed" and
       (.faxes | length > 0 and all(.hook_error | contains("--exec-timeout")))' "$work/hook.out" >/dev/null ||
  fail "receive --exec-timeout in JSON: $(cat "$work/hook.out")"
[ "$(stat -c %a "$work/d8/fax0003.tif")" = 644 ] || fail "receive under umask 022 made $(stat -c %a "$work/d8/fax0003.tif")"
(umask 002 && cd "$work/d9" && "$bin/tessaline" get --pdf fax0003.tif >/dev/null) || fail "get --pdf"
[ "$(stat -c %a "$work/d9/fax0003.pdf")" = 664 ] || fail "get --pdf under umask 002 made $(stat -c %a "$work/d9/fax0003.pdf")"
start=$(date +%s%N)
tessaline --timeout=1 receive --once --exec 'sleep 20' "$work/d9" >/dev/null 2>&1
rc=$?
elapsed=$((($(date +%s%N) - start) / 1000000))
[ "$rc" -eq 124 ] || fail "receive --timeout with a hanging hook exited $rc"
[ "$elapsed" -lt 6000 ] || fail "receive --timeout=1 with a hanging hook took $elapsed ms"

# Time limits: a wait, and any command, released within about a second,
# with their own status.
for args in "wait --timeout=1" "--timeout 1 wait" "--json --timeout 0.5 receive $work/d4"; do
  start=$(date +%s%N)
  tessaline $args >"$work/timeout.out" 2>"$work/timeout.err"
  rc=$?
  elapsed=$((($(date +%s%N) - start) / 1000000))
  [ "$rc" -eq 124 ] || fail "tessaline $args exited $rc: $(cat "$work/timeout.err")"
  [ "$elapsed" -lt 4000 ] || fail "tessaline $args took $elapsed ms"
done
# The unattended job under --json: one object per fax, and a last one with
# the exit status when a signal stops it (its clean stop, status 0).
"$bin/tessaline" --json receive "$work/d3" >"$work/stream.out" 2>/dev/null &
job=$!
eventually grep -q . "$work/stream.out" || sleep 1
kill -TERM "$job"; wait "$job"; rc=$?; job=
[ "$rc" -eq 0 ] || fail "receive --json stopped by SIGTERM exited $rc"
tail -1 "$work/stream.out" | jq -e '.stopped_by == "SIGTERM" and .exit_status == 0 and (has("faxes") | not)' >/dev/null ||
  fail "receive --json's last object: $(cat "$work/stream.out")"
# Any other command stopped by a signal: its call released, one object,
# 130 for SIGINT and 143 for SIGTERM.
for sig in INT TERM; do
  "$bin/tessaline" --json wait >"$work/signal.out" 2>"$work/signal.err" &
  waiter=$!
  sleep 0.5
  kill -"$sig" "$waiter"; wait "$waiter"; rc=$?
  expected=$([ "$sig" = INT ] && echo 130 || echo 143)
  [ "$rc" -eq "$expected" ] || fail "wait stopped by SIG$sig exited $rc: $(cat "$work/signal.err")"
  jq -se 'length == 1 and .[0].cause == "interrupted" and .[0].signal == "SIG'"$sig"'" and .[0].exit_status == '"$expected" \
    "$work/signal.out" >/dev/null || fail "wait stopped by SIG$sig: $(cat "$work/signal.out")"
done
tessaline --json wait --timeout 0.3 >"$work/timeout.out"
jq -e '.timed_out == true and .cause == "timed_out" and .exit_status == 124' "$work/timeout.out" >/dev/null || fail "wait --timeout in JSON: $(cat "$work/timeout.out")"
for bad in "wait --timeout 0" "wait --timeout -1" "wait --timeout 1x" "--timeout nan count"; do
  tessaline $bad >/dev/null 2>&1
  rc=$?
  [ "$rc" -eq 64 ] || fail "tessaline $bad exited $rc, expected 64"
done

# A fax of more pages than the log entry's byte counts: the log says "255
# or more", and JSON names the file's count and the log's byte apart.
"$bin/tessaline-mktiff" "$work/hundred.tif" 100
tiffcp "$work/hundred.tif" "$work/hundred.tif" "$work/hundred.tif" "$work/long.tif" || fail "tiffcp"
tessaline send "$work/long.tif" 5550100 >/dev/null && tessaline wait >/dev/null || fail "sending 300 pages"
long=$(tessaline list | tail -1)
tessaline list -l | grep -q "^$long .* 255 or more " || fail "list -l of 300 pages: $(tessaline list -l)"
tessaline log "$long" | grep -qx "Pages       255 or more" || fail "log of 300 pages: $(tessaline log "$long")"
tessaline --json log "$long" | jq -e '.Pages == 255 and .log_pages == 255 and .log_pages_capped == true' >/dev/null ||
  fail "log --json of 300 pages: $(tessaline --json log "$long")"
mkdir -p "$work/d10"
tessaline --json receive --once --exec 'printf %s "$TESSALINE_FAX_PAGES" >"$1.pages"' "$work/d10" >"$work/long.out"
jq -e --arg n "$long" '.faxes[] | select(.name == $n) | .file_pages == 300 and .log_pages == 255 and
                       .log_pages_capped == true' "$work/long.out" >/dev/null || fail "receive --json of 300 pages: $(cat "$work/long.out")"
[ "$(cat "$work/d10/$long.pages")" = 300 ] || fail "the hook's TESSALINE_FAX_PAGES: $(cat "$work/d10/$long.pages")"

# A device holding more faxes than its list names (46; the list holds 40):
# count, list and receive say so, and receive --remove drains in rounds.
stop_device
mkdir -p "$work/many" "$work/d5" "$work/d6"
for i in $(seq -w 1 46); do cp "$work/fax.tif" "$work/many/m$i.tif"; done
start_device --faxes "$work/many"
tessaline count >"$work/many.out" 2>"$work/many.err"
[ "$(cat "$work/many.out")" = 40 ] || fail "count of a full list: $(cat "$work/many.out")"
grep -q "lists at most 40 faxes and may hold more" "$work/many.err" || fail "count: nothing said: $(cat "$work/many.err")"
tessaline --json count | jq -e '.count == 40 and .more_may_exist == true' >/dev/null || fail "count --json of a full list"
tessaline --json list | jq -e '(.faxes | length) == 40 and .more_may_exist == true' >/dev/null || fail "list --json of a full list"
tessaline list 2>"$work/many.err" | wc -l | grep -qx 40 || fail "list of a full list"
grep -q "may hold more" "$work/many.err" || fail "list: nothing said: $(cat "$work/many.err")"
tessaline receive --once "$work/d5" >/dev/null 2>"$work/many.err" || fail "receive --once of a full list"
[ "$(ls "$work/d5" | wc -l)" -eq 40 ] || fail "receive --once stored $(ls "$work/d5" | wc -l)"
grep -q "may hold more" "$work/many.err" || fail "receive: nothing said: $(cat "$work/many.err")"
tessaline receive --once --remove "$work/d6" >/dev/null 2>"$work/many.err" || fail "receive --once --remove: $(cat "$work/many.err")"
[ "$(ls "$work/d6" | wc -l)" -eq 46 ] || fail "receive --remove stored $(ls "$work/d6" | wc -l) of 46"
[ "$(tessaline count)" = 0 ] || fail "receive --remove left $(tessaline count) on the device"
grep -q "may hold more" "$work/many.err" && fail "receive --remove said more may exist after draining"

finish
