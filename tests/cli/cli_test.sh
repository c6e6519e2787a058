#!/usr/bin/env bash
# The tessaline command against tessaline-simd started as a separate process:
# every command, in both output forms, with its exit status.
#
#   cli_test.sh BUILD_DIR
set -uo pipefail

bin=$1
name=cli
# shellcheck source=tests/cli/harness.sh
source "$(dirname "$0")/harness.sh"
private_devices
simd2='' holder=''  # a second device, and a process holding the access lock
suite_cleanup() { end_process "$simd2"; end_process "$holder"; }

"$bin/tessaline-mktiff" "$work/fax.tif" 3 || fail "mktiff"

# No device yet: status 7, the advice names where discovery looked, and the
# library's discovery message stays off standard output.
run 7 count
[[ "$err" == *"FAXSTATUS_NO_DEVICE (7)"*"$TESSALINE_DEVICE_DIR"* ]] || fail "no-device advice: $err"
[ -z "$out" ] || fail "output on failure: $out"
[[ "$err" == *SetupDi* ]] && fail "the library's discovery message shown without --verbose: $err"
run 7 --verbose count
[[ "$err" == *"SetupDiEnumDeviceInterfaces failed"*"FAXSTATUS_NO_DEVICE (7)"* ]] || fail "--verbose: $err"
run 7 --json count
json '.status == 7 and .status_name == "FAXSTATUS_NO_DEVICE" and (.error | contains("devices"))'
[ -z "$err" ] || fail "--json count wrote to standard error: $err"
# A failed call's object names the cause and holds nothing it did not obtain.
json '.cause == "no_device" and .exit_status == 7 and (has("count") | not)'
mkdir "$work/empty"
run 7 receive --once "$work/empty"
[[ "$err" == *"FAXSTATUS_NO_DEVICE (7): no device found"* ]] || fail "receive --once without a device: $err"
run 7 devices
# The listing is the answer: the failure line does not send the reader to
# the very command that printed it.
[[ "$err" == *"no device is present"* && "$err" != *"Run 'tessaline devices'"* ]] || fail "devices without a device: $err"
run 5 cancel

# What the command can check itself is checked before the device is
# asked, and the message names the path and the system's reason.
run 66 send "$work/missing.tif" 5550100
[[ "$err" == *"cannot read $work/missing.tif: No such file or directory"* ]] || fail "missing file: $err"
mkdir "$work/adir"
run 66 send "$work/adir" 5550100
[[ "$err" == *"cannot read $work/adir: it is a directory"* ]] || fail "directory: $err"
ln -s nowhere "$work/dangling.tif"
run 66 --json send "$work/dangling.tif" 5550100
json '.exit_status == 66 and .path == "'"$work/dangling.tif"'" and (.error | contains("symbolic link to a file that does not exist"))'
if [ "$(id -u)" -ne 0 ]; then
  cp "$work/fax.tif" "$work/unreadable.tif" && chmod 0 "$work/unreadable.tif"
  run 66 send "$work/unreadable.tif" 5550100
  [[ "$err" == *"Permission denied"* ]] || fail "unreadable file: $err"
fi
run 64 send "$work/fax.tif" 5550100 ""
[[ "$err" == *"NUMBER 2 is empty"* ]] || fail "empty number: $err"
# A number no dialler takes is refused before the device, named; one that
# names a file is probably a second document.
: >"$work/note.txt"
run 64 send "$work/fax.tif" "$work/note.txt" 5550100
[[ "$err" == *"NUMBER '$work/note.txt' has '/', which no dialler takes; it names a file: did you mean to send it?"* ]] ||
  fail "a file given as a number: $err"
run 64 --json send "$work/fax.tif" 5550100 abc
json '.exit_status == 64 and (.error | contains("NUMBER '"'abc'"' has '"'a'"'"))'
run 64 send --prefix=x9 "$work/fax.tif" 5550100
[[ "$err" == *"the prefix 'x9' has 'x'"* ]] || fail "prefix: $err"
# The device's clock is set in the form it shows, and nothing else.
run 64 settings set DeviceDateTime=garbage
[[ "$err" == *"DeviceDateTime takes the form YYYY-MM-DD HH:MM:SS"*"'garbage'"* ]] || fail "device time: $err"
run 64 --json settings set "DeviceDateTime=2026-02-30 10:00:00"
json '.exit_status == 64 and (.error | contains("YYYY-MM-DD HH:MM:SS"))'
run 66 get fax0001.tif -o "$work/no/such/dir/x.tif"
[[ "$err" == *"cannot write $work/no/such/dir/x.tif: $work/no/such/dir: No such file or directory"* ]] ||
  fail "missing output directory: $err"
run 66 get fax0001.tif --output="$work/adir"
[[ "$err" == *"$work/adir is a directory"* ]] || fail "output is a directory: $err"

# Usage errors and help: each tool points to the help of the command, in the
# same words; under --json a usage error is one JSON object too.
run 64
run 64 frobnicate
[[ "$err" == *"Run 'tessaline --help' for usage."* ]] || fail "unknown command: $err"
run 64 get
[[ "$err" == "tessaline get: get takes one fax name"$'\n'"Run 'tessaline get --help' for usage." ]] || fail "get usage: $err"
run 64 send --prefix
[[ "$err" == *"--prefix needs a value"*"Run 'tessaline send --help' for usage." ]] || fail "send usage: $err"
run 64 count --bogus
run 64 send --resolution=coarse "$work/fax.tif" 5550100
[[ "$err" == *"--resolution takes fine or normal"*"Run 'tessaline send --help' for usage." ]] || fail "send --resolution: $err"
run 64 --json receive --retry-max=0 "$work"
json '.command == "receive" and .exit_status == 64 and .help == "tessaline receive --help" and (.error | contains("--retry-max"))'
run 64 get fax0001.tif --json -o -
run 64 list --timeout=
run 66 --json receive "$work/no/such/dir"
json '.exit_status == 66 and .path == "'"$work/no/such/dir"'" and (has("status") | not)'
run 64 --json get
json '.command == "get" and .exit_status == 64 and .help == "tessaline get --help" and (has("status") | not)'
run 64 frobnicate --json
json '.exit_status == 64 and (.error | contains("frobnicate"))'
for tool in tessaline-simd tessaline-mktiff; do
  "$bin/$tool" --bogus >/dev/null 2>"$work/err"; rc=$?
  [ "$(tail -1 "$work/err")" = "Run '$tool --help' for usage." ] || fail "$tool usage error: $(cat "$work/err")"
  [ "$rc" -ne 0 ] || fail "$tool --bogus exited 0"
done
for tool in tessaline tessaline-simd tessaline-mktiff; do
  [[ "$("$bin/$tool" --version)" == "$tool "[0-9]* ]] || fail "$tool --version"
done
run 64 settings set NoSuchField=1
run 64 settings set FaxNumber="$(printf '%040d' 0)"
run 64 send "$work/fax.tif"
run 0 --help
contains "$out" "Usage: tessaline"
for status in "12     password check" "64     a usage error" "65     a file refused" "66     a local file" \
  "69     a converter" "73     a file of the command's own" "75     receive --once" "124    the time limit"; do
  contains "$out" "$status"
done
for c in send count list get rm log settings password receive-settings wait receive cancel ews web devices history; do
  run 0 "$c" --help
  contains "$out" "Usage: tessaline [--json] $c"
done
for args in "web --port 65536" "web --device-timeout 0" "web --listen" "web extra"; do
  # shellcheck disable=SC2086
  run 64 $args
done
run 69 web --port 0 --listen 127.0.0.1 --listen not-an-address
[[ "$err" == *"not-an-address is not a numeric IPv4 or IPv6 address"* ]] || fail "web --listen not-an-address: $err"

start_device --loopback --fax-number 5550100

run 0 list
[ -z "$out" ] || fail "list of an empty device printed: $out"
run 0 --json list
json '.faxes == []'

run 0 send "$work/fax.tif" 5550100 "+1 (555) 019-9,P#"
contains "$out" "3 page(s)"; contains "$out" "2 recipient(s)"
run 0 wait
contains "$out" "e_ReceivedFaxAvailable (1)"
run 0 send --prefix=9 "$work/fax.tif" 5550100
run 0 --json wait
json '.event == 1 and .event_name == "e_ReceivedFaxAvailable"'

run 0 count
[ "$out" = 2 ] || fail "count: $out"
run 0 count --json
json '.count == 2 and .more_may_exist == false and .status == 0 and .status_name == "FAXSTATUS_OK"'
run 0 list
[ "$out" = $'fax0001.tif\nfax0002.tif' ] || fail "list: $out"

(cd "$work" && "$bin/tessaline" get fax0001.tif >/dev/null) || fail "get into the current directory"
cmp -s "$work/fax.tif" "$work/fax0001.tif" || fail "downloaded fax differs"
run 0 --json get fax0002.tif -o "$work/second.tif"
json ".bytes == $(stat -c %s "$work/fax.tif")"
cmp -s "$work/fax.tif" "$work/second.tif" || fail "second download differs"
# Standard output, a pipe here, gets the fax and nothing else.
"$bin/tessaline" get fax0002.tif -o /dev/stdout 2>/dev/null | cmp -s - "$work/fax.tif" || fail "get -o /dev/stdout"
[ -L /dev/stdout ] || fail "get -o /dev/stdout replaced /dev/stdout"
# Several faxes at once: --all into a directory, several names, and
# --no-clobber keeping what is there (73, naming it).
mkdir "$work/all" "$work/two"
run 0 get --all -d "$work/all"
[ "$(ls "$work/all")" = $'fax0001.tif\nfax0002.tif' ] || fail "get --all stored: $(ls "$work/all")"
cmp -s "$work/fax.tif" "$work/all/fax0002.tif" || fail "get --all: wrong fax"
run 73 --json get --all -d "$work/all" --no-clobber
json '.exit_status == 73 and (.faxes | length == 2 and all(.cause == "exists")) and
      (.faxes[0].error | contains("'"$work/all/fax0001.tif"' is there already"))'
run 73 get fax0001.tif -o "$work/second.tif" --no-clobber
[[ "$err" == *"$work/second.tif is there already (--no-clobber)"* ]] || fail "get --no-clobber: $err"
run 0 --json get fax0001.tif fax0002.tif -d "$work/two"
json '(.faxes | map(.exit_status) == [0, 0]) and .faxes[1].path == "'"$work/two/fax0002.tif"'"'
cmp -s "$work/fax.tif" "$work/two/fax0001.tif" || fail "get of several names: wrong fax"
run 8 get fax0001.tif nosuch.tif -d "$work/two"
[[ "$err" == *"nosuch.tif: the device lists no fax named 'nosuch.tif'"* ]] || fail "get of several with an unknown name: $err"
run 64 get --all fax0001.tif
run 64 get fax0001.tif fax0002.tif -o "$work/x.tif"
# send -: the document on standard input.
stdin_file=$work/fax.tif run 0 --json send - 5550199
json '.status == 0 and .file == "-" and .pages == 3 and .converted == false'
printf 'plain text\n' >"$work/text.txt"
stdin_file=$work/text.txt run 0 send - 5550199
contains "$out" "of standard input (a plain text file, converted)"

# The journal: each send and each fax stored, one JSON line each, in the
# user's state directory; history shows it.
journal=$XDG_STATE_HOME/tessaline/journal.jsonl
jq -se '(map(select(.event == "send")) | .[0] | .numbers == ["5550100", "+1 (555) 019-9,P#"] and .pages == 3 and
         .exit_status == 0 and .file == "'"$work/fax.tif"'") and
        (map(select(.event == "send" and .file == "-")) | length == 2) and
        (map(select(.event == "get" and .path == "'"$work/all/fax0002.tif"'")) | length == 1)' "$journal" >/dev/null ||
  fail "journal: $(cat "$journal")"
[ "$(stat -c %a "$journal")" = 600 ] || fail "journal mode $(stat -c %a "$journal")"
printf 'not a journal line\n' >>"$journal"
run 0 --json history --last 2
json '(.entries | length) == 2 and .entries[1].event == "send" and .entries[1].pages == 1 and .journal == "'"$journal"'"'
run 0 history
contains "$out" "send     "; contains "$out" "fax0001.tif as $work/two/fax0001.tif"
lines=$(wc -l <"$journal")
TESSALINE_JOURNAL=none run 0 get fax0001.tif -o "$work/unjournalled.tif"
[ "$(wc -l <"$journal")" -eq "$lines" ] || fail "TESSALINE_JOURNAL=none wrote the journal"
TESSALINE_JOURNAL=/proc/no/journal.jsonl run 0 get fax0001.tif -o "$work/unjournalled.tif"
[[ "$err" == *"the journal /proc/no/journal.jsonl is not written"* ]] || fail "an unwritable journal: $err"
TESSALINE_JOURNAL=$work/other.jsonl run 0 get fax0001.tif -o "$work/unjournalled.tif"
jq -e '.event == "get" and .name == "fax0001.tif"' "$work/other.jsonl" >/dev/null || fail "TESSALINE_JOURNAL: $(cat "$work/other.jsonl")"

# A name the device does not list is told apart from a device fault, and a
# failed call's object leaves out what it did not obtain.
run 8 --json get nosuch.tif -o "$work/nosuch.tif"
json '.cause == "unknown_name" and (has("bytes") | not) and .name == "nosuch.tif"'
run 8 log nosuch.tif
[[ "$err" == *"the device lists no fax named 'nosuch.tif'"* ]] || fail "unknown name: $err"
run 8 --json log nosuch.tif
json '.cause == "unknown_name" and (has("Duration") | not) and (has("SendTime") | not)'

run 0 log fax0001.tif
contains "$out" "FileName    fax0001.tif"
run 0 --json log fax0001.tif
json ".FileName == \"fax0001.tif\" and .Pages == 3 and .SendTime.year == $((10#$(date +%y))) and (.Duration | type) == \"number\""

run 0 settings
contains "$out" "FaxNumber           5550100"
run 0 --json settings
json '.FaxNumber == "5550100" and .PasswordSet == false and (has("Password") | not)'
run 0 settings set FaxName="Front desk" RingPattern=triple AutoAnswer=7
contains "$out" "RingPattern         3 (e_FaxRingTriple)"
[[ "$err" == *"warning: AutoAnswer=7 is none of the declared values (0 to 3); the device gets it unchanged"* ]] ||
  fail "no warning for an undeclared value: $err"
run 0 --json settings set PulseDialing=1
json '.FaxName == "Front desk" and .RingPattern == 3 and .AutoAnswer == 7 and .PulseDialing == 1'
# Field names in any case, and the value names the command shows.
for pair in "e_FaxRingDouble 2" "FAXRINGSINGLE 1" "All 0" "double-and-triple 4"; do
  run 0 --json settings set ringpattern="${pair% *}" AUTOANSWER=Auto
  json ".RingPattern == ${pair#* } and .AutoAnswer == 1 and (has(\"warnings\") | not)"
done
run 0 --json settings set "DeviceDateTime=2030-01-02 03:04:05"
json '.DeviceDateTime | startswith("2030-01-02 03:04")'
run 0 settings set "DeviceDateTime=$(date '+%Y-%m-%d %H:%M:%S')"
run 0 --json settings set autoanswer=e_FaxTel bthumbfirst=true
json '.AutoAnswer == 2 and .bThumbFirst == 1'
run 64 settings set RingPattern=quadruple
# Settings text travels the same way: UTF-8 as it is, other bytes as hex:.
run 0 --json settings set FaxName="Ünïcödé"
json '.FaxName == "Ünïcödé"'
run 0 --json settings set FaxName=hex:ff41
json '.FaxName == "hex:ff41"'
run 0 settings
contains "$out" "FaxName             "$'\xff'"A"
run 0 settings set FaxName="Front desk"

run 0 password is-set
contains "$out" "no fax password"
printf 'open sesame\n' >"$work/pw"
stdin_file=$work/pw run 0 settings set Password=-
run 0 --json password is-set
json '.set == true'
stdin_file=$work/pw run 0 password check
contains "$out" "correct"
printf 'open sesame\r\n' >"$work/pw-crlf"
stdin_file=$work/pw-crlf run 0 --json password check
json '.passed == true'
printf 'wrong\n' >"$work/pw-wrong"
stdin_file=$work/pw-wrong run 12 --json password check
json '.passed == false and .status == 0 and .exit_status == 12'
stdin_file=$work/pw-wrong run 12 password check
contains "$out" "the password is wrong"
# On a terminal: a prompt, and the password typed is not echoed.
if [ -x "$bin/tests/pty_run" ]; then
  "$bin/tests/pty_run" "Fax password: " "open sesame" "$bin/tessaline" password check >"$work/pty" 2>&1
  rc=$?
  [ "$rc" -eq 0 ] || fail "password check on a terminal exited $rc: $(cat "$work/pty")"
  grep -q "Fax password: " "$work/pty" || fail "no prompt on a terminal: $(cat "$work/pty")"
  grep -q "open sesame" "$work/pty" && fail "the password was echoed: $(cat "$work/pty")"
  grep -q "the password is correct" "$work/pty" || fail "terminal check: $(cat "$work/pty")"
else
  fail "no pty_run helper in $bin/tests"
fi
run 0 --json settings --show-password
json '.Password == "open sesame"'

run 0 receive-settings
contains "$out" "0 (0x00000000)"
run 0 --json receive-settings
json '.value == 0'

printf 'GET /status.json HTTP/1.1\r\n\r\n' >"$work/request"
run 0 ews --write="$work/request" --read=15
[ "$out" = "HTTP/1.1 200 OK" ] || fail "ews: $out"
stdin_file=$work/request run 0 --json ews --write - --read 15
json '.written == 29 and .read == 15 and (.data_base64 | @base64d) == "HTTP/1.1 200 OK"'
# A read longer than the reply keeps what arrived when the time runs out
# (the EWS channel cannot be cancelled: the process ends 3 s later), in one
# object under --json.
run 124 --json --timeout=0.3 ews --write="$work/request" --read=5000
json '.exit_status == 124 and .timed_out == true and .written == 29 and .read > 15 and
      ((.data_base64 | @base64d) | startswith("HTTP/1.1 200 OK"))'
run 124 --timeout=0.3 ews --write="$work/request" --read=5000
[[ "$out" == "HTTP/1.1 200 OK"* ]] || fail "ews kept nothing of a reply shorter than the read: $out"

run 0 devices
contains "$out" "an operation would use: $TESSALINE_DEVICE_DIR"
run 0 --json devices
json '.channels | length == 2 and all(.would_use != null)'

# A channel directory that other users can write is not searched: the
# operation finds no device and says why, and 'devices' shows it.
fax_class="$TESSALINE_DEVICE_DIR/{783E1D39-8E60-4E98-A947-E2DE688F1771}"
chmod 0777 "$fax_class"
run 7 --json count
json '.cause == "not_searched" and (.error | contains("does not search '"$fax_class"': writable by other users"))'
run 7 -v count
[[ "$err" == *"libtessaline: not searching $fax_class: writable by other users"* ]] || fail "untrusted directory: $err"
run 0 devices
contains "$out" "fax channel: $fax_class (not searched: $fax_class: writable by other users)"
contains "$out" "an operation would use: none"
run 0 --json devices
json '.channels[0].listing == "untrusted" and .channels[0].would_use == null and .channels[1].listing == "ok"'
chmod 0755 "$fax_class"
run 0 count

run 8 --json rm fax0001.tif nosuch.tif
json '.exit_status == 8 and .faxes[0].exit_status == 0 and .faxes[1].cause == "unknown_name"'
run 0 --json rm fax0002.tif
json '.name == "fax0002.tif"'
run 0 count
[ "$out" = 0 ] || fail "count after removal: $out"
run 8 rm fax0001.tif
[[ "$err" == *"lists no fax named 'fax0001.tif'"* ]] || fail "rm of an unknown name: $err"

# Another program holding the access lock is told apart from no device.
if [ -x "$bin/tests/lock_holder" ]; then
  "$bin/tests/lock_holder" hold 8000 >"$work/holder" &
  holder=$!
  for _ in $(seq 100); do grep -q locked "$work/holder" && break; sleep 0.05; done
  run 7 --json count
  json '.cause == "lock_held" and (.error | contains("access lock"))'
  wait "$holder"; holder=
  # A program that ended holding the lock: the next call fails at once, and
  # the one after runs.
  "$bin/tests/lock_holder" abandon >/dev/null
  run 7 --json count
  json '.cause == "lock_abandoned" and (.error | contains("free again"))'
  run 0 count
  # --retry waits both out, one line each time; receive does by itself.
  "$bin/tests/lock_holder" abandon >/dev/null
  run 0 --json --retry 5 count
  json '.count == 0'
  [[ "$err" == "tessaline count: the device's access lock was left abandoned, trying again in 1 s" ]] ||
    fail "--retry on an abandoned lock: $err"
  for waiting in "--retry=20 count" "receive --once $work/empty"; do
    "$bin/tests/lock_holder" hold 6500 >"$work/holder" &
    holder=$!
    for _ in $(seq 100); do grep -q locked "$work/holder" && break; sleep 0.05; done
    # shellcheck disable=SC2086
    run 0 $waiting
    [[ "$err" == *"another program holds the device's access lock, trying again in 1 s"* ]] ||
      fail "tessaline $waiting did not wait for the lock: $err"
    wait "$holder"; holder=
  done
else
  fail "no lock_holder helper in $bin/tests"
fi

# A device socket this user may not open is told apart from no device, in
# the message and in the listing.
sock=$(ls "$fax_class"/* | head -1)
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  chmod 0755 "$work"
  as_other() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
else
  chmod 0 "$sock"
  as_other() { "$@"; }
fi
as_other "$bin/tessaline" --json count >"$work/out" 2>"$work/err"
out=$(cat "$work/out")
json '.cause == "not_permitted" and (.error | contains("'"$sock"'")) and (.error | contains("--socket-group"))'
as_other "$bin/tessaline" devices >"$work/out" 2>"$work/err"
out=$(cat "$work/out")
contains "$out" "$sock  not permitted (mode 0"
chmod 0700 "$work"; chmod 0600 "$sock"

# Device text in JSON: valid UTF-8 as it is, other bytes (and text that
# starts with the marker) in the hex: form; every listed name works as the
# input of get, log and rm.
folder=$work/inbox
mkdir "$folder"
cp "$work/fax.tif" "$folder/Ünïcödé.tif"
cp "$work/fax.tif" "$folder/$(printf 'caf\xe9.tif')"
cp "$work/fax.tif" "$folder/hex:41.tif"
cp "$work/fax.tif" "$folder/z\\..\\..\\back.tif"
mkdir "$work/devices2"
"$bin/tessaline-simd" --dir "$work/devices2" --faxes "$folder" >"$work/simd2.out" 2>&1 &
simd2=$!
for _ in $(seq 100); do grep -q '^ready' "$work/simd2.out" 2>/dev/null && break; sleep 0.05; done
TESSALINE_DEVICE_DIR=$work/devices2 run 0 --json list
json '.faxes == ["hex:636166e92e746966", "hex:6865783a34312e746966", "z\\..\\..\\back.tif", "Ünïcödé.tif"]'
# A default download name is the fax name's last component after either
# separator: a backslash, which leads elsewhere on Windows, too.
mkdir "$work/here"
(cd "$work/here" && TESSALINE_DEVICE_DIR=$work/devices2 "$bin/tessaline" get 'z\..\..\back.tif' >/dev/null 2>&1) ||
  fail "get z\\..\\..\\back.tif failed"
cmp -s "$work/fax.tif" "$work/here/back.tif" || fail "get z\\..\\..\\back.tif: not stored as back.tif: $(ls "$work/here")"
[ "$(ls "$work/here")" = back.tif ] || fail "get z\\..\\..\\back.tif kept the backslash: $(ls "$work/here")"
jq -r '.faxes[]' "$work/out" >"$work/names"
while IFS= read -r listed; do
  TESSALINE_DEVICE_DIR=$work/devices2 run 0 --json get "$listed" -o "$work/by-name.tif"
  cmp -s "$work/fax.tif" "$work/by-name.tif" || fail "get $listed: wrong fax"
  TESSALINE_DEVICE_DIR=$work/devices2 run 0 --json log "$listed"
  jq -e --arg n "$listed" '.name == $n' "$work/out" >/dev/null || fail "log $listed: $out"
  TESSALINE_DEVICE_DIR=$work/devices2 run 0 rm "$listed"
done <"$work/names"
TESSALINE_DEVICE_DIR=$work/devices2 run 0 count
[ "$out" = 0 ] || fail "names from list --json did not all work: $out left"
kill "$simd2"; wait "$simd2" 2>/dev/null; simd2=

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

finish
