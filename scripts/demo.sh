#!/usr/bin/env bash
# The main job, on one machine with no printer: build Tessaline, start the
# simulated device in loopback mode, send a generated multi-page fax to the
# device's own number, wait for it to arrive, list, fetch and check it byte
# for byte, show the settings and the fax-log entry, and stop the device.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n== %s\n' "$*"; }

step "Building"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
bin=$PWD/build

work=$(mktemp -d /tmp/tessaline-demo-XXXXXX)
export TESSALINE_DEVICE_DIR=$work/devices
export TESSALINE_JOURNAL=$work/journal.jsonl  # the demo's faxes stay out of the user's journal
simd=
cleanup() {
  if [ -n "$simd" ] && kill -0 "$simd" 2>/dev/null; then kill "$simd"; wait "$simd" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

step "Starting the simulated device (loopback mode) in $TESSALINE_DEVICE_DIR"
"$bin/tessaline-simd" --loopback >"$work/simd.log" 2>&1 &
simd=$!
ready=
for _ in $(seq 100); do
  if grep -q '^ready' "$work/simd.log"; then ready=1; break; fi
  kill -0 "$simd" 2>/dev/null || break  # it ended without being ready
  sleep 0.05
done
cat "$work/simd.log"
if [ -z "$ready" ]; then
  echo "The simulated device never said it was ready." >&2
  exit 1
fi
"$bin/tessaline" devices

step "The device's fax settings"
"$bin/tessaline" settings
own=$("$bin/tessaline" --json settings | jq -r .FaxNumber)
echo "The device's own number is $own."

step "Generating a 3-page fax image"
"$bin/tessaline-mktiff" "$work/outgoing.tif" 3
echo "$work/outgoing.tif: $(stat -c %s "$work/outgoing.tif") bytes"

step "Waiting for a received fax (in the background) and sending the image to $own"
"$bin/tessaline" wait >"$work/wait.out" &
waiter=$!
"$bin/tessaline" send "$work/outgoing.tif" "$own"
wait "$waiter"
echo "The wait returned: $(cat "$work/wait.out")"

step "Listing the received faxes"
"$bin/tessaline" count
"$bin/tessaline" list
name=$("$bin/tessaline" --json list | jq -r '.faxes[-1]')

step "Fetching $name and checking it byte for byte"
"$bin/tessaline" get "$name" -o "$work/received.tif"
if cmp "$work/outgoing.tif" "$work/received.tif"; then
  echo "The received fax is identical to the one sent."
else
  echo "The received fax differs from the one sent." >&2
  exit 1
fi

step "The fax-log entry of $name"
"$bin/tessaline" log "$name"

step "Removing $name"
"$bin/tessaline" rm "$name"
"$bin/tessaline" count

step "Stopping the simulated device"
kill "$simd"
wait "$simd" || true
simd=
if find "$TESSALINE_DEVICE_DIR" -type s | grep -q .; then echo "sockets left behind" >&2; exit 1; fi
echo "Stopped; its sockets are gone."
