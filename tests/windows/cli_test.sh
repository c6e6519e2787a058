#!/usr/bin/env bash
# tessaline.exe under Wine, a host of the registered Tessaline.dll, against
# tessaline-simd.exe serving named pipes: every command, in both output
# forms, with its exit status; file names and device texts in the ANSI code
# page; the library's discovery messages kept off standard output.
#
#   cli_test.sh WINE_LOADER BIN_DIR   (in a prefix where Tessaline.dll is registered)
# Prints one line per failure and "N passed, M failed" last (tests/cli/harness.sh).
set -uo pipefail
wine=$1 bin=$2
name=cli$$
# shellcheck source=tests/cli/harness.sh
source "$(dirname "$0")/../cli/harness.sh"
fax='\\.\pipe\tessaline-'"$name"'-fax' ews='\\.\pipe\tessaline-'"$name"'-ews'
export TESSALINE_JOURNAL=journal.jsonl  # in the work directory, where every run starts

# Help and usage errors.
run 0 --help
contains "$out" "Usage: tessaline [--json] [--timeout=S] [--retry=S] [--verbose] COMMAND"
contains "$out" "TESSALINE_FAX_DEVICE"
run 0 --version
[[ $out =~ ^tessaline\ [0-9]+\.[0-9]+ ]] && ok || fail "--version: $out"
for c in send count list get rm log settings password receive-settings wait cancel ews web devices history; do
  run 0 "$c" --help
  contains "$out" "Usage: tessaline [--json] $c"
done
for args in "" frobnicate get "settings set NoSuchField=1" "settings set DeviceDateTime=garbage" "send x.tif abc" \
  "ews --read x"; do
  # shellcheck disable=SC2086
  run 64 $args
done
contains "$err" "Run 'tessaline ews --help' for usage." "stderr"
run 64 --json get
json '.exit_status == 64 and .help == "tessaline get --help"'

# What can be checked here is checked before the device is asked: a file to
# send, a download's directory (either separator, a drive's root).
run 66 send missing.tif 5550100
contains "$err" "cannot read missing.tif" "stderr"
mkdir "$work/adir"
run 66 --json send adir 5550100
json '.exit_status == 66 and .path == "adir" and (.error | contains("directory"))'
run 66 get fax0001.tif -o 'C:\no\such\dir\x.tif'
contains "$err" 'cannot write C:\no\such\dir\x.tif: C:\no\such\dir' "stderr"
run 66 get fax0001.tif --output=adir
contains "$err" "adir is a directory" "stderr"

# No device under Wine: discovery finds none, its message goes to standard
# error only, and the advice says where it looked.
run 7 count
[ -z "$out" ] && ok || fail "output on failure: $out"
[[ $err != *SetupDi* ]] && ok || fail "the library's discovery message shown without --verbose: $err"
contains "$err" "FAXSTATUS_NO_DEVICE (7): no device found: looked for a present device interface of class {783E1D39-8E60-4E98-A947-E2DE688F1771}" "stderr"
run 7 --verbose count
contains "$err" "SetupDiEnumDeviceInterfaces failed" "stderr"
run 7 --json count
json '.status == 7 and .cause == "no_device" and .exit_status == 7 and (.error | contains("devices"))'
[ -z "$err" ] && ok || fail "--json count wrote to standard error: $err"
mkdir -p "$work/empty"
run 7 receive --once empty
contains "$err" "FAXSTATUS_NO_DEVICE (7): no device found" "stderr"
TESSALINE_FAX_DEVICE='\\.\pipe\tessaline-none' run 7 --json count
json '.cause == "no_device" and (.error | contains("tessaline-none"))'
run 7 devices
contains "$out" "an operation would use: none"

# Every setting the device takes from its command line, in both spellings:
# each value reaches the device whatever follows it.
"${simd_program[@]}" --name "$name" --loopback --fax-number 5550100 --receive-settings 0x12345678 \
  --password bar-secret --any-job=x > "$work/simd-bad.log" 2>&1
[ $? = 2 ] && grep -q 'any-job takes no value' "$work/simd-bad.log" && ok || fail "simd --any-job=x: $(tr -d '\r' < "$work/simd-bad.log")"
start_device --name "$name" --loopback --fax-number 5550100 --receive-settings 0x12345678 --password bar-secret
export TESSALINE_FAX_DEVICE=$fax TESSALINE_EWS_DEVICE=$ews

run 0 list
[ -z "$out" ] && ok || fail "list of an empty device printed: $out"
# A fax image is told from another TIFF by what the Windows Imaging
# Component reads of its pages: fax-2pages.tif is two G4 pages written by
# tessaline-mktiff on Linux, and the command reports what the Linux one
# does. A TIFF that is no fax image would need converting, which this build
# cannot; one that cannot be read is refused.
cp "$(dirname "$0")/fax-2pages.tif" "$work/fax.tif"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=tiff24nc -r50 -o "$work/colour.tif" -c '0 0 1 setrgbcolor 50 50 200 200 rectfill showpage'
{ printf 'II*\0\010\0\0\0\0\0\0\0\0\0'; head -c 2986 /dev/urandom; } > "$work/damaged.tif"
head -c 3000 /dev/urandom > "$work/noise.bin"
printf '%%PDF-1.4\n' > "$work/doc.pdf"
run 64 send fax.tif 5550100 ""
run 0 send fax.tif 5550100
contains "$out" "sent 2 page(s) of fax.tif (a fax image, as it is) to 1 recipient(s)"
run 0 --json send --prefix 9 fax.tif 5550100
json '.status == 0 and .kind == "a fax image" and .pages == 2 and .converted == false'
# What this build cannot send is refused before the device is asked.
run 69 --json send colour.tif 5550100
json '.cause == "unavailable" and .kind == "a TIFF image" and (.error | contains("page 1 is not bilevel")) and (.error | contains("Ghostscript"))'
run 65 send damaged.tif 5550100
contains "$err" "a TIFF image that cannot be read" "stderr"
run 65 send noise.bin 5550100
run 69 --json send doc.pdf 5550100
json '.cause == "unavailable" and .exit_status == 69'
run 69 send --resolution=normal fax.tif 5550100
contains "$err" "converts nothing" "stderr"
run 0 count
[ "$out" = 2 ] && ok || fail "count: $out"
run 0 --json count --retry 2
json '.count == 2 and .more_may_exist == false and .status_name == "FAXSTATUS_OK"'
run 64 --retry=soon count
run 0 --json list
json '.faxes == ["fax0001.tif", "fax0002.tif"]'

# A file name in the ANSI code page (1252 here) reaches the file system as
# the interface takes it; one that the code page cannot hold is refused
# before anything happens.
run 0 get fax0001.tif -o 'Empfänger ä.tif'
cmp -s "$work/fax.tif" "$work/Empfänger ä.tif" && ok || fail "download to an ANSI file name: $(ls "$work")"
run 0 --json get fax0002.tif -o 'C:\windows\temp\second.tif'
json ".bytes == $(wc -c < "$work/fax.tif")"
# -o - writes the fax alone to standard output, byte for byte.
run 0 get fax0001.tif -o -
cmp -s "$work/fax.tif" "$work/out" && ok || fail "get -o - wrote $(wc -c < "$work/out") bytes, not the fax"
# Several at once, --no-clobber, and a document on standard input.
mkdir -p "$work/all"
run 0 get --all -d all
cmp -s "$work/fax.tif" "$work/all/fax0002.tif" && ok || fail "get --all -d all: $(ls "$work/all")"
run 73 get fax0001.tif -o 'Empfänger ä.tif' --no-clobber
contains "$err" "is there already (--no-clobber)" "stderr"
stdin_file=$work/fax.tif run 0 --json send - 5550199
json '.status == 0 and .file == "-" and .converted == false'
run 69 get fax0001.tif --pdf
contains "$err" "cannot write a PDF" "stderr"
[ ! -e "$work/fax0001.pdf" ] && ls "$work" | grep -vq '^\.tessaline-' && ok || fail "get --pdf left files: $(ls -a "$work")"
# The receive job stores what is on the device, once, and a second run
# finds it stored; its hook runs through cmd.exe with the fax's path.
mkdir -p "$work/inbox"
run 0 --json receive --once --exec 'echo hook' inbox
[ "$(jq -s '.[0].faxes | map(select(.path != null and .hook_status == 0 and .verified)) | length' "$work/out" 2>/dev/null)" = 2 ] &&
  ok || fail "receive --once: $out"
cmp -s "$work/fax.tif" "$work/inbox/fax0001.tif" && ok || fail "receive stored: $(ls -a "$work/inbox")"
contains "$err" 'hook "inbox\fax0001.tif"' "stderr"
run 0 --json receive --once inbox
json '.faxes == [] and .exit_status == 0'
# A read longer than the reply keeps what arrived when the time runs out.
printf 'GET /status.json HTTP/1.1\r\n\r\n' > "$work/request"
run 124 --json --timeout=0.3 ews --write request --read 5000
json '.exit_status == 124 and .timed_out == true and ((.data_base64 | @base64d) | startswith("HTTP/1.1 200 OK"))'
[ -z "$(ls -A "$work/inbox" | grep '^\.')" ] && ok || fail "receive left hidden files: $(ls -A "$work/inbox")"
run 0 receive --once inbox
# A failing hook has a status of its own; the fax stays stored.
mkdir -p "$work/inbox3"
run 76 receive --once --exec "exit 3" inbox3
contains "$out" 'fax0001.tif stored as inbox3\fax0001.tif'
contains "$out" "but the hook exited with 3"
run 0 receive --once --exec "exit 3" inbox3
mkdir -p "$work/inbox2"
run 0 receive --once inbox2
contains "$out" 'fax0001.tif stored as inbox2\fax0001.tif (from '
[[ $out != *"0 page(s)"* ]] && ok || fail "receive named an uncounted fax's pages: $out"
run 69 receive --once --pdf inbox
run 66 receive --once missing-dir
run 64 get fax0001.tif -o 'Fax Φ.tif'
contains "$err" "code page (1252) cannot hold" "stderr"
[ ! -e "$work/Fax Φ.tif" ] && [ ! -e "$work/Fax ?.tif" ] && ok || fail "a file was written for a refused name"

run 0 log fax0001.tif
contains "$out" "FileName    fax0001.tif"
run 0 --json log fax0001.tif
json '.FileName == "fax0001.tif" and (.Duration | type) == "number"'

# Device texts: human output in the ANSI code page (what the console is set
# to show), JSON in its characters.
run 0 settings set FaxName="Müller" RingPattern=triple
contains "$(iconv -f CP1252 -t UTF-8 < "$work/out")" "FaxName             Müller"
contains "$out" "RingPattern         3 (e_FaxRingTriple)"
run 0 --json settings
json '.FaxName == "Müller" and .FaxNumber == "5550100" and .RingPattern == 3'
contains "$out" '"FaxName":"Müller"'
# The hex: form is taken back as the code page's bytes, and a text that
# itself starts with hex: is written in it.
run 0 settings set FaxName=hex:4dfc
run 0 --json settings
json '.FaxName == "Mü"'
run 0 settings set FaxName=hex:6865783a31
run 0 --json settings
json '.FaxName == "hex:6865783a31"'

run 0 --json password is-set
json '.set == true'
printf 'bar-secret\r\n' > "$work/pw-given"
stdin_file=$work/pw-given run 0 --json password check
json '.passed == true'
printf 'open sesame\r\n' > "$work/pw"
stdin_file=$work/pw run 0 settings set Password=-
stdin_file=$work/pw run 0 --json password check
json '.passed == true'
printf 'open says me\r\n' > "$work/pw-wrong"
stdin_file=$work/pw-wrong run 12 --json password check
json '.passed == false and .exit_status == 12'
run 0 --json receive-settings
json '.value == 305419896'

# The EWS channel's bytes pass unchanged both ways (no line-end translation).
printf 'GET /status.json HTTP/1.1\r\n\r\n' > "$work/request"
run 0 ews --write request --read 17
[ "$(od -An -c "$work/out" | tr -s ' ')" = "$(printf 'HTTP/1.1 200 OK\r\n' | od -An -c | tr -s ' ')" ] && ok ||
  fail "ews bytes: $(od -An -c "$work/out")"
stdin_file=$work/request run 0 --json ews --write - --read 15
json '.written == 29 and (.data_base64 | @base64d) == "HTTP/1.1 200 OK"'

# A pipe takes no device-control request: the wait and the cancel fail.
run 2 wait
contains "$err" "FAXSTATUS_CMD_FAIL (2)" "stderr"
run 2 --json cancel
json '.status == 2'

run 0 devices
contains "$out" "an operation would use: $fax"
run 0 --json devices
json '(.channels | length) == 2 and all(.channels[]; .would_use != null)'

# The journal holds each send and each fax stored; history shows it.
jq -se 'map(select(.event == "send")) | length >= 3' "$work/journal.jsonl" > /dev/null && ok ||
  fail "journal: $(cat "$work/journal.jsonl" 2>&1)"
jq -se 'map(select(.event == "receive" and .name == "fax0001.tif")) | length >= 1' "$work/journal.jsonl" > /dev/null &&
  ok || fail "journal of receive: $(cat "$work/journal.jsonl" 2>&1)"
run 0 --json history --last 1
json '(.entries | length) == 1 and .journal == "journal.jsonl"'
TESSALINE_JOURNAL= run 0 --json history
json '.journal | endswith("\\Tessaline\\journal.jsonl")'

# The device's web pages through tessaline.exe web, reached from this side
# with curl: Wine's sockets are the host's.
if command -v curl > /dev/null; then
  (cd "$work" && exec "$wine" "$bin/tessaline.exe" web --port 0) > "$work/web.out" 2> "$work/web.err" &
  webpid=$!
  for _ in $(seq 300); do grep -q '^serving' "$work/web.out" 2>/dev/null && break; sleep 0.1; done
  port=$(tr -d '\r' < "$work/web.out" | sed -n 's|^serving the device.s web pages at http://localhost:\([0-9]*\)/$|\1|p')
  if [ -n "$port" ]; then
    ok
    url=http://127.0.0.1:$port
    page=$(curl -s "$url/")
    contains "$page" 'id="fax-name">' "the home page"
    contains "$(curl -s "$url/faxes")" 'href="/faxes/fax0001.tif"' "the fax list"
    curl -s -o "$work/web.tif" "$url/faxes/fax0001.tif"
    run 0 get fax0001.tif -o got-web.tif
    cmp -s "$work/web.tif" "$work/got-web.tif" && ok || fail "fax0001.tif through the proxy differs from get's"
    code=$(curl -s -o /dev/null -w '%{http_code}' -d 'FaxName=Through+Wine' "$url/settings")
    [ "$code" = 303 ] && ok || fail "POST /settings through tessaline.exe web: $code"
    run 0 --json settings
    json '.FaxName == "Through Wine"'
    code=$(curl -s -o /dev/null -w '%{http_code}' -H 'Host: rebound.example' -d 'FaxName=Rebound' "$url/settings")
    [ "$code" = 421 ] && ok || fail "a foreign Host through tessaline.exe web: $code"
    code=$(curl -s -o /dev/null -w '%{http_code}' -H 'Connection: Upgrade' -H 'Upgrade: websocket' "$url/")
    [ "$code" = 501 ] && ok || fail "Upgrade through tessaline.exe web: $code"
    curl -sv -o /dev/null -o /dev/null "$url/style.css" "$url/logo.png" 2> "$work/curl.err"
    grep -q 'Re-using existing connection' "$work/curl.err" && ok || fail "curl's two requests did not share a connection"
    contains "$(tr -d '\r' < "$work/web.err")" "GET /faxes/fax0001.tif 200 " "the request log"
  else
    fail "tessaline.exe web printed no port: $(cat "$work/web.out" "$work/web.err")"
  fi
  kill "$webpid" 2> /dev/null
  wait "$webpid" 2> /dev/null
else
  skip "curl is not installed (scripts/install-deps.sh): tessaline.exe web not reached"
fi

run 0 --json rm fax0001.tif fax0002.tif
json '(.faxes | map(.exit_status)) == [0, 0] and .exit_status == 0'
run 0 count
[ "$out" = 0 ] && ok || fail "count after removal: $out"
run 8 rm fax0001.tif

finish
